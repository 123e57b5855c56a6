// Locked keyed list; see keyed_list.h for the contract.
//
// The chain is a plain singly linked list of malloc'd nodes with a tail
// pointer, so appends are O(1) and takes search from the head. The mutex is
// the only lock; it is taken through a scoped guard for every operation.
#include "scredir/keyed_list.h"

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <new>

#include "scredir/qrn_log.h"

namespace {

struct Node {
  uint32_t key;
  Node* next;
  void* data;
};

std::atomic<KeyedListAllocFn> g_nodeAlloc{nullptr};

void* AllocNode() {
  KeyedListAllocFn alloc = g_nodeAlloc.load(std::memory_order_relaxed);
  return alloc ? alloc(sizeof(Node)) : std::malloc(sizeof(Node));
}

void LogNoMemory() {
  ScRedirQrn_Log(kQrnLogError, kStatusNoMemory, "Not enough memory");
}

}  // namespace

struct KeyedList {
  std::mutex mutex;
  int32_t count = 0;     // guarded by mutex
  Node* head = nullptr;  // guarded by mutex
  Node* tail = nullptr;  // guarded by mutex

  // Unlinks `node`, whose predecessor is `prev` (null for the head).
  void* Unlink(Node* prev, Node* node) {
    (prev ? prev->next : head) = node->next;
    if (tail == node) tail = prev;
    --count;
    void* data = node->data;
    std::free(node);
    return data;
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
  auto* node = static_cast<Node*>(AllocNode());
  if (node == nullptr) {
    LogNoMemory();
    return -1;
  }
  *node = Node{key, nullptr, data};
  (list->tail ? list->tail->next : list->head) = node;
  list->tail = node;
  ++list->count;
  return 0;
}

int32_t KeyedList_Count(KeyedList* list) {
  if (list == nullptr) return -1;
  std::lock_guard<std::mutex> lock(list->mutex);
  return list->count;
}

void* KeyedList_TakeFirst(KeyedList* list) {
  if (list == nullptr) return nullptr;
  std::lock_guard<std::mutex> lock(list->mutex);
  return list->head ? list->Unlink(nullptr, list->head) : nullptr;
}

void* KeyedList_TakeByKey(KeyedList* list, uint32_t key) {
  if (list == nullptr) return nullptr;
  std::lock_guard<std::mutex> lock(list->mutex);
  Node* prev = nullptr;
  for (Node* node = list->head; node != nullptr; prev = node, node = node->next) {
    if (node->key == key) return list->Unlink(prev, node);
  }
  return nullptr;
}

bool KeyedList_TakeData(KeyedList* list, const void* data) {
  if (list == nullptr) return false;
  std::lock_guard<std::mutex> lock(list->mutex);
  Node* prev = nullptr;
  for (Node* node = list->head; node != nullptr; prev = node, node = node->next) {
    if (node->data != data) continue;
    list->Unlink(prev, node);
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
      void* data = victim->Unlink(nullptr, victim->head);
      if (freeData) freeData(data);
    }
  }
  delete victim;
}

void KeyedList_SetNodeAllocatorForTest(KeyedListAllocFn alloc) {
  g_nodeAlloc.store(alloc, std::memory_order_relaxed);
}
