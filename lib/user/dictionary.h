// A configuration dictionary: the entries of one file plus the lines that
// define nothing, kept in file order so the file can be written back.
//
// Load reads a file (or standard input for "-") line by line; messages about
// the file go to the caller's MessageFn. A dictionary is not locked; its
// owner serialises access.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "lib/dict/dictll.h"
#include "lib/user/dictionary_core.h"

namespace dict {

// More repeated names than this end a load at once.
inline constexpr int kMaxDuplicates = 100;

class Dictionary {
 public:
  struct LoadOptions {
    // Names the dictionary in per-line messages ("<label>: "<file>" line n").
    std::string label = "dictionary";
    // A file that does not exist fails the load without a message (the
    // caller reports missing optional files itself).
    bool quietIfMissing = false;
  };

  // Empties the dictionary and loads `path`. False on any failure; the lines
  // read before the failure stay.
  bool Load(const std::string& path, const MessageFn& report, const LoadOptions& options);
  // The same from any byte source; `fileName` is used in messages.
  bool LoadFrom(ReadFn read, const std::string& fileName, const MessageFn& report,
                const LoadOptions& options);

  void Clear();
  Entry* Find(std::string_view name);
  const Entry* Find(std::string_view name) const;
  // Defines `name` (replacing an existing definition in place).
  Entry& Set(std::string_view name, Value value, bool fromDefault, bool untyped);
  // Drops the definition of `name`; false when there was none.
  bool Remove(std::string_view name);
  // Entries in file order, for dumps.
  std::vector<const Entry*> Entries() const;

  // The file text: uninterpreted lines as read, entries as written lines in
  // the encoding in force where they stand. Entries created from a lookup's
  // default are not written.
  std::string Serialize() const;
  bool Save(const std::string& path, const MessageFn& report) const;

 private:
  struct Item {
    bool isEntry = false;
    std::string line;      // uninterpreted line, as read
    std::string encoding;  // set when the line selects the encoding of later values
    Entry entry;
  };

  void AddLine(std::string_view line, std::string_view encoding = {});
  struct LoadState;
  // Handles one entry line; false when it ends the load.
  bool LoadEntry(const ParsedLine& parsed, const std::string& line, LoadState& st);

  std::vector<Item> items_;
  std::map<std::string, size_t, std::less<>> index_;  // name -> position in items_
};

}  // namespace dict
