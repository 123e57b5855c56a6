// Locked keyed list; see keyed_list.h for the contract.
//
// The items form a doubly linked chain in arrival order (TakeFirst takes the
// head). Items that share a key also form a chain of their own, oldest
// first, whose ends sit in an open-addressing table by key (linear probing,
// deletion by backward shift), so a take by key finds its item without a
// scan. Nodes taken out are kept for reuse, up to a bound, so a list in
// steady use allocates nothing. The mutex is the only lock.
#include "scredir/keyed_list.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

#include "scredir/qrn_log.h"

namespace {

struct Node {
  uint32_t key;
  void* data;
  Node* prev;  // arrival order
  Node* next;
  Node* keyPrev;  // the items with the same key, oldest first
  Node* keyNext;
};

// One key's chain; free while head is null.
struct Slot {
  Node* head;
  Node* tail;
};

constexpr size_t kFirstSlots = 16;  // a power of two
constexpr int32_t kSpareNodes = 64;

std::atomic<KeyedListAllocFn> g_alloc{nullptr};

void* Alloc(size_t size) {
  KeyedListAllocFn alloc = g_alloc.load(std::memory_order_relaxed);
  return alloc ? alloc(size) : std::malloc(size);
}

void LogNoMemory() {
  ScRedirQrn_Log(kQrnLogError, kStatusNoMemory, "Not enough memory");
}

size_t Hash(uint32_t key, size_t mask) {
  return static_cast<size_t>((key * 0x9E3779B1u) ^ (key >> 16)) & mask;
}

}  // namespace

struct KeyedList {
  std::mutex mutex;
  // All guarded by mutex.
  int32_t count = 0;
  Node* head = nullptr;
  Node* tail = nullptr;
  Slot* slots = nullptr;
  size_t mask = 0;  // slot count - 1; no table yet while slots is null
  size_t keys = 0;  // slots in use
  Node* spare = nullptr;
  int32_t spareCount = 0;

  ~KeyedList() {
    while (spare) std::free(std::exchange(spare, spare->next));
    std::free(slots);
  }

  // The slot holding `key`'s chain, or the free slot where it would go.
  Slot* Find(uint32_t key) {
    for (size_t i = Hash(key, mask);; i = (i + 1) & mask) {
      if (slots[i].head == nullptr || slots[i].head->key == key) return &slots[i];
    }
  }

  // Room for one more key: the table stays at most half full. False when a
  // larger table cannot be allocated (the old one stays).
  bool Reserve() {
    if (slots != nullptr && (keys + 1) * 2 <= mask + 1) return true;
    const size_t size = slots ? (mask + 1) * 2 : kFirstSlots;
    auto* fresh = static_cast<Slot*>(Alloc(size * sizeof(Slot)));
    if (fresh == nullptr) return false;
    std::memset(fresh, 0, size * sizeof(Slot));
    Slot* old = slots;
    const size_t oldSize = slots ? mask + 1 : 0;
    slots = fresh;
    mask = size - 1;
    for (size_t i = 0; i < oldSize; ++i)
      if (old[i].head) *Find(old[i].head->key) = old[i];
    std::free(old);
    return true;
  }

  // Frees `slot` and moves the entries after it that probed past it back,
  // so every remaining key is still found from its home slot.
  void Erase(Slot* slot) {
    size_t hole = static_cast<size_t>(slot - slots);
    slots[hole] = Slot{};
    --keys;
    for (size_t i = (hole + 1) & mask; slots[i].head != nullptr; i = (i + 1) & mask) {
      const size_t home = Hash(slots[i].head->key, mask);
      // Moves when its home is not in (hole, i], cyclically.
      if (((i - home) & mask) >= ((i - hole) & mask)) {
        slots[hole] = slots[i];
        slots[i] = Slot{};
        hole = i;
      }
    }
  }

  Node* NewNode() {
    if (spare != nullptr && g_alloc.load(std::memory_order_relaxed) == nullptr) {
      --spareCount;
      return std::exchange(spare, spare->next);
    }
    return static_cast<Node*>(Alloc(sizeof(Node)));
  }

  int Append(uint32_t key, void* data) {
    Node* node = NewNode();
    if (node == nullptr || !Reserve()) {
      if (node) Recycle(node);
      LogNoMemory();
      return -1;
    }
    Slot* slot = Find(key);
    if (slot->head == nullptr) ++keys;
    *node = Node{key, data, tail, nullptr, slot->tail, nullptr};
    (tail ? tail->next : head) = node;
    tail = node;
    (slot->tail ? slot->tail->keyNext : slot->head) = node;
    slot->tail = node;
    ++count;
    return 0;
  }

  void* Unlink(Node* node) {
    (node->prev ? node->prev->next : head) = node->next;
    (node->next ? node->next->prev : tail) = node->prev;
    Slot* slot = Find(node->key);
    (node->keyPrev ? node->keyPrev->keyNext : slot->head) = node->keyNext;
    (node->keyNext ? node->keyNext->keyPrev : slot->tail) = node->keyPrev;
    if (slot->head == nullptr) Erase(slot);
    --count;
    void* data = node->data;
    Recycle(node);
    return data;
  }

  void Recycle(Node* node) {
    if (spareCount >= kSpareNodes) {
      std::free(node);
      return;
    }
    node->next = spare;
    spare = node;
    ++spareCount;
  }
};

KeyedList* KeyedList_Create() {
  auto* list = new (std::nothrow) KeyedList;
  if (list == nullptr) LogNoMemory();
  return list;
}

int KeyedList_Append(KeyedList* list, void* data) {
  return KeyedList_AppendWithKey(list, 0, data);
}

int KeyedList_AppendWithKey(KeyedList* list, uint32_t key, void* data) {
  if (list == nullptr) return -1;
  std::lock_guard<std::mutex> lock(list->mutex);
  return list->Append(key, data);
}

int32_t KeyedList_Count(KeyedList* list) {
  if (list == nullptr) return -1;
  std::lock_guard<std::mutex> lock(list->mutex);
  return list->count;
}

void* KeyedList_TakeFirst(KeyedList* list) {
  if (list == nullptr) return nullptr;
  std::lock_guard<std::mutex> lock(list->mutex);
  return list->head ? list->Unlink(list->head) : nullptr;
}

void* KeyedList_TakeByKey(KeyedList* list, uint32_t key) {
  if (list == nullptr) return nullptr;
  std::lock_guard<std::mutex> lock(list->mutex);
  if (list->slots == nullptr) return nullptr;
  Node* node = list->Find(key)->head;
  return node ? list->Unlink(node) : nullptr;
}

bool KeyedList_TakeData(KeyedList* list, const void* data) {
  if (list == nullptr) return false;
  std::lock_guard<std::mutex> lock(list->mutex);
  // Only the rare path of a failed Send takes by data: a scan will do.
  for (Node* node = list->head; node != nullptr; node = node->next) {
    if (node->data != data) continue;
    list->Unlink(node);
    return true;
  }
  return false;
}

void KeyedList_Destroy(KeyedList** list, void (*freeData)(void*)) {
  if (list == nullptr || *list == nullptr) return;
  KeyedList* victim = *list;
  *list = nullptr;
  {
    std::lock_guard<std::mutex> lock(victim->mutex);
    while (victim->head != nullptr) {
      void* data = victim->Unlink(victim->head);
      if (freeData) freeData(data);
    }
  }
  delete victim;
}

void KeyedList_SetNodeAllocatorForTest(KeyedListAllocFn alloc) {
  g_alloc.store(alloc, std::memory_order_relaxed);
}
