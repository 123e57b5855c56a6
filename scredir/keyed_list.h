// KeyedList: a small locked FIFO of {32-bit key, owned data block}.
//
// Two of them carry the work in flight of one open channel: the channel
// request list (every buffer handed to the host's Send, key 0, released when
// the host reports the send complete) and the daemon message list (every
// daemon message sent on as a request, keyed by the message id, taken out by
// its completion). Items are appended at the tail; the oldest of several
// items sharing a key is the one a take by key finds. Appending, taking the
// first and taking by key cost the same however many items are listed (a
// table by key inside the list), so a daemon that answers its messages in
// any order never pays for the length of the list.
//
// Ownership: the list owns every data block it holds; whoever takes an item
// out owns its data and releases it. Destroy releases what is left with the
// function the caller names (g_free for packets, free for daemon messages).
//
// Threads: every operation takes the list's own mutex for its whole
// duration and calls nothing outside the list while holding it, except the
// "Not enough memory" log line. All operations accept a null list and then
// do nothing (Count returns -1, the takes return null, appends fail).
#pragma once

#include <cstddef>
#include <cstdint>

struct KeyedList;

// Logs "Not enough memory" (ERROR, 0xC0000017) and returns null when the
// list cannot be allocated.
KeyedList* KeyedList_Create();
// Appends with key 0. 0 on success; negative on failure (null list, or no
// memory for the node, logged as above), in which case the data stays with
// the caller.
int KeyedList_Append(KeyedList* list, void* data);
int KeyedList_AppendWithKey(KeyedList* list, uint32_t key, void* data);
// Number of items, -1 for a null list.
int32_t KeyedList_Count(KeyedList* list);
// Unlinks the oldest item and hands its data to the caller; null when empty.
void* KeyedList_TakeFirst(KeyedList* list);
// Unlinks the oldest item whose key matches; null when none does.
void* KeyedList_TakeByKey(KeyedList* list, uint32_t key);
// Unlinks the item holding exactly `data`; false when none does.
bool KeyedList_TakeData(KeyedList* list, const void* data);
// Releases every remaining item with freeData (null: the data is not
// released), frees the list and clears *list. Null or *list null: no-op.
void KeyedList_Destroy(KeyedList** list, void (*freeData)(void*));

// Tests: replaces the allocator of nodes and of the key table (null
// restores malloc) so the out-of-memory paths can be driven. While one is
// set, every append asks it (no node the list kept for reuse is taken).
using KeyedListAllocFn = void* (*)(size_t size);
void KeyedList_SetNodeAllocatorForTest(KeyedListAllocFn alloc);
