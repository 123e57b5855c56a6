// Process-wide configuration store: six layers of key/value dictionaries
// loaded from files and consulted in a fixed order.
//
// The store is created once per process by the first caller of
// ConfigStoreInit (published with a compare-and-swap) and lives until the
// process ends; tests may tear it down with ConfigStoreResetForTest. Every
// operation here is safe to call from any thread.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <string>

// Where the store finds its files and whose files it may read. The defaults
// are the production locations; tests point them into a temporary directory.
struct ConfigStoreOptions {
  std::string hostDir = "/etc/nimbrel";            // layer 4 is hostDir + "/config"
  std::string defaultLibDir = "/usr/lib/nimbrel";  // when layer 4 has no `libdir`
  std::string homeDir;                             // "~"; empty: $HOME, else passwd entry
  uid_t realUid = getuid();
  uid_t effectiveUid = geteuid();
};

// Builds and publishes the store with the production options unless one
// exists already. Returns true when a store is published afterwards.
bool ConfigStoreInit();
bool ConfigStoreInitWith(const ConfigStoreOptions& options);
// Destroys the published store so a test can build another one.
void ConfigStoreResetForTest();

// Typed lookups. The key is formatted with printf rules into a 1024-byte
// buffer. ConfigGetString returns a g_malloc'd copy for the caller to g_free
// (null when the default is null and no layer has a value).
char* ConfigGetString(const char* def, const char* keyFormat, ...)
    __attribute__((format(printf, 2, 3)));
bool ConfigGetBool(bool def, const char* keyFormat, ...) __attribute__((format(printf, 2, 3)));
int32_t ConfigGetInt(int32_t def, const char* keyFormat, ...) __attribute__((format(printf, 2, 3)));
int64_t ConfigGetLong(int64_t def, const char* keyFormat, ...)
    __attribute__((format(printf, 2, 3)));

// The lookup interface handed to the log facility so it can read its own
// variables without depending on how the store is built.
struct ConfigAccessor {
  char* (*getString)(const char* def, const char* keyFormat, ...);
  bool (*getBool)(bool def, const char* keyFormat, ...);
  int32_t (*getInt)(int32_t def, const char* keyFormat, ...);
};
const ConfigAccessor* ConfigGetAccessor();

// Where the store's own messages ("PREF ..." and conversion messages) go.
// Null (the default) writes them to standard error.
using ConfigMessageSink = void (*)(const char* text);
void ConfigSetMessageSink(ConfigMessageSink sink);

// Sets (or, with a null value, removes) `key` in the in-memory layer that
// no file backs ("NON PERSISTENT"). The value is stored as text and
// converted by typed lookups like a file value. False before the store exists.
bool ConfigSetNonPersistent(const char* key, const char* value);

// The whole store as text, one header line per layer and one line per entry.
std::string ConfigDump();
