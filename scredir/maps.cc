// Context and handle maps (see maps.h for the contract).
//
// Each map is a fixed table of 4096 bucket chains, new entries at the head.
// A value is one malloc block holding the client's bytes; its length is kept
// beside it so that a later copy never reads past what was stored, even when
// the current length has since grown. Everything, the current lengths
// included, sits behind one mutex; log lines are written after it is
// released.
#include "scredir/maps.h"

#include <glib.h>

#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>

#include "scredir/alloc_seam.h"
#include "scredir/qrn_log.h"

// Thread-safety annotations, checked by clang's -Wthread-safety.
#if defined(__clang__)
#define MAPS_TSA(x) __attribute__((x))
#else
#define MAPS_TSA(x)
#endif

namespace {

class MAPS_TSA(capability("mutex")) MapsMutex {
 public:
  void Lock() MAPS_TSA(acquire_capability()) { mu_.lock(); }
  void Unlock() MAPS_TSA(release_capability()) { mu_.unlock(); }

 private:
  std::mutex mu_;
};

class MAPS_TSA(scoped_lockable) MapsLock {
 public:
  explicit MapsLock(MapsMutex& mu) MAPS_TSA(acquire_capability(mu)) : mu_(mu) { mu_.Lock(); }
  ~MapsLock() MAPS_TSA(release_capability()) { mu_.Unlock(); }
  MapsLock(const MapsLock&) = delete;
  MapsLock& operator=(const MapsLock&) = delete;

 private:
  MapsMutex& mu_;
};

constexpr uint32_t kBuckets = 4096;

struct MapNode {
  uint64_t key;
  MapNode* next;
  uint8_t* value;  // malloc; null for an empty value
  uint32_t length;
};

uint32_t BucketOf(uint64_t key) {
  uint32_t h = static_cast<uint32_t>((key >> 32) ^ key) * 48271u;
  while (h > kBuckets - 1) h = (h >> 12) ^ (h & (kBuckets - 1));
  return h;
}

class IdMap {
 public:
  IdMap() = default;
  IdMap(const IdMap&) = delete;
  IdMap& operator=(const IdMap&) = delete;
  ~IdMap() {
    for (MapNode*& head : buckets_) {
      while (head) {
        MapNode* next = head->next;
        std::free(head->value);
        std::free(head);
        head = next;
      }
    }
  }

  const MapNode* Find(uint64_t key) const {
    for (const MapNode* n = buckets_[BucketOf(key)]; n; n = n->next)
      if (n->key == key) return n;
    return nullptr;
  }
  // Takes ownership of value on success only; an existing key is left alone.
  bool Insert(uint64_t key, uint8_t* value, uint32_t length) {
    if (Find(key)) return false;
    auto* node = static_cast<MapNode*>(std::malloc(sizeof(MapNode)));
    if (!node) return false;
    MapNode*& head = buckets_[BucketOf(key)];
    *node = MapNode{key, head, value, length};
    head = node;
    ++count_;
    return true;
  }
  bool Remove(uint64_t key) {
    for (MapNode** link = &buckets_[BucketOf(key)]; *link; link = &(*link)->next) {
      if ((*link)->key != key) continue;
      MapNode* dead = *link;
      *link = dead->next;
      std::free(dead->value);
      std::free(dead);
      --count_;
      return true;
    }
    return false;
  }
  uint32_t count() const { return count_; }

 private:
  MapNode* buckets_[kBuckets] = {};
  uint32_t count_ = 0;
};

struct Maps {
  IdMap contexts;
  IdMap handles;
};

MapsMutex g_mutex;
Maps* g_maps MAPS_TSA(guarded_by(g_mutex)) = nullptr;
uint32_t g_contextLength MAPS_TSA(guarded_by(g_mutex)) = 0;
uint32_t g_handleLength MAPS_TSA(guarded_by(g_mutex)) = 0;

// A fresh id not in use in `map` (when there is one): rand() may repeat a
// live key, and an id naming two contexts would hand the daemon the wrong
// one. Caller holds g_mutex.
uint32_t DrawId(const IdMap* map) MAPS_TSA(requires_capability(g_mutex)) {
  for (;;) {
    auto id = static_cast<uint32_t>(rand());
    if (!map || !map->Find(id)) return id;
  }
}

uint8_t* NewBlock(uint32_t length, const uint8_t* bytes) {
  // A zero length still yields a block, so "empty" is not "out of memory".
  auto* block = ScRedir_AllocFails(ScRedirAllocSite::kMapBlock)
                    ? nullptr
                    : static_cast<uint8_t*>(std::calloc(length ? length : 1, 1));
  if (block && length && bytes) std::memcpy(block, bytes, length);
  return block;
}

// The first 8 bytes of a value as the pairing trace prints them; a shorter
// value is zero-padded rather than read past its end.
uint64_t TraceValue(const uint8_t* bytes, uint32_t length) {
  uint64_t v = 0;
  if (bytes) std::memcpy(&v, bytes, length < 8 ? length : 8);
  return v;
}

void LogPairing(const char* what, uint32_t id, uint64_t value, uint32_t length) {
  if (!ScRedirQrn_DebugOn()) return;
  if (length == 4) {
    ScRedirQrn_Logf(kQrnLogDebug, 0, "%s Map: %d<->%x", what, static_cast<int>(id),
                    static_cast<uint32_t>(value));
  } else {
    ScRedirQrn_Logf(kQrnLogDebug, 0, "%s Map: %d<->%llx", what, static_cast<int>(id),
                    static_cast<unsigned long long>(value));
  }
}

enum class Kind { kContext, kHandle };

struct Registered {
  uint32_t id;
  uint64_t traced;  // the first bytes of the value, for the pairing line
};

// The common part of a registration: copies `bytes` into a new block, draws
// a fresh id and, when `keep`, stores the block under it. Every registration
// sets the current context length; a handle's only changes when kept. Logs
// "Generate fake ..." and frees the block when the map did not take it.
// Null when out of memory (logged).
std::optional<Registered> DrawAndStore(Kind kind, bool keep, uint32_t length,
                                       const uint8_t* bytes) {
  const bool context = kind == Kind::kContext;
  uint8_t* block = NewBlock(length, keep ? bytes : nullptr);
  if (!block) {
    ScRedirQrn_Log(kQrnLogError, kStatusNoMemory, "Out of memory\n");
    return std::nullopt;
  }
  // Read for the trace now: once in the map the block may be deleted by
  // the other thread.
  Registered reg{0, TraceValue(block, length)};
  bool stored = false;
  {
    MapsLock lock(g_mutex);
    IdMap* map = g_maps ? (context ? &g_maps->contexts : &g_maps->handles) : nullptr;
    reg.id = DrawId(map);
    if (keep && map) stored = map->Insert(reg.id, block, length);
    // A zero length never becomes the current one: every later request
    // would go out with an empty context and fail before it is sent.
    if (context) {
      if (length != 0) g_contextLength = length;
    } else if (keep) {
      g_handleLength = length;
    }
  }
  if (ScRedirQrn_DebugOn())
    ScRedirQrn_Logf(kQrnLogDebug, 0, "Generate fake %s %d", context ? "context" : "handle",
                    static_cast<int>(reg.id));
  if (!stored) std::free(block);
  return reg;
}

ScRedirMapBytes CopyBytes(bool context, uint32_t id) {
  ScRedirMapBytes out{nullptr, 0, false};
  MapsLock lock(g_mutex);
  out.length = context ? g_contextLength : g_handleLength;
  out.bytes = static_cast<uint8_t*>(g_malloc0(out.length));
  const MapNode* node = nullptr;
  if (g_maps) node = context ? g_maps->contexts.Find(id) : g_maps->handles.Find(id);
  if (!node) return out;
  out.found = true;
  uint32_t n = node->length < out.length ? node->length : out.length;
  if (n && out.bytes) std::memcpy(out.bytes, node->value, n);
  return out;
}

}  // namespace

void ScRedirQrn_MapsCreate() {
  MapsLock lock(g_mutex);
  if (g_maps) return;
  g_maps = new Maps();
  g_contextLength = 0;
  g_handleLength = 0;
}

void ScRedirQrn_MapsDestroy() {
  Maps* dead;
  {
    MapsLock lock(g_mutex);
    dead = g_maps;
    g_maps = nullptr;
  }
  delete dead;
}

uint32_t ScRedirQrn_ContextLength() {
  MapsLock lock(g_mutex);
  return g_contextLength;
}

uint32_t ScRedirQrn_HandleLength() {
  MapsLock lock(g_mutex);
  return g_handleLength;
}

uint32_t ScRedirQrn_RegisterContext(int32_t returnCode, uint32_t cbContext,
                                    const uint8_t* pbContext, uint32_t* hContext) {
  bool keep = cbContext != 0 && returnCode == 0 && pbContext != nullptr;
  std::optional<Registered> reg = DrawAndStore(Kind::kContext, keep, cbContext, pbContext);
  if (!reg) return kStatusNoMemory;
  if (keep) *hContext = reg->id;
  LogPairing("Context", reg->id, reg->traced, cbContext);
  return kStatusSuccess;
}

uint32_t ScRedirQrn_RegisterHandle(int32_t returnCode, uint32_t cbHandle, const uint8_t* pbHandle,
                                   uint32_t dwActiveProtocol, uint32_t* hCard,
                                   uint32_t* activeProtocolOut) {
  bool keep = returnCode == 0;
  std::optional<Registered> reg = DrawAndStore(Kind::kHandle, keep, cbHandle, pbHandle);
  if (!reg) return kStatusNoMemory;
  if (keep) {
    *hCard = reg->id;
    *activeProtocolOut = dwActiveProtocol;
    LogPairing("Handle", reg->id, reg->traced, cbHandle);
  } else {
    *hCard = 0;
  }
  return kStatusSuccess;
}

ScRedirMapBytes ScRedirQrn_CopyContextBytes(uint32_t hContext) {
  return CopyBytes(true, hContext);
}

ScRedirMapBytes ScRedirQrn_CopyHandleBytes(uint32_t hCard) {
  return CopyBytes(false, hCard);
}

bool ScRedirQrn_DeleteHandle(uint32_t hCard) {
  MapsLock lock(g_mutex);
  return g_maps && g_maps->handles.Remove(hCard);
}

uint32_t ScRedirQrn_ContextCount() {
  MapsLock lock(g_mutex);
  return g_maps ? g_maps->contexts.count() : 0;
}

uint32_t ScRedirQrn_HandleCount() {
  MapsLock lock(g_mutex);
  return g_maps ? g_maps->handles.count() : 0;
}
