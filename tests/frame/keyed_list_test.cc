// The locked keyed list: FIFO order, key matching from the head, release of
// what is left on destroy. A failed node allocation and concurrent use are
// exercised by the engine's tests, which drive both lists of a session.
#include "scredir/keyed_list.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

void* Item(uintptr_t n) {
  return reinterpret_cast<void*>(n);
}

std::vector<void*> g_released;
void Record(void* p) {
  g_released.push_back(p);
}

// One step of a scripted session: append `item` under `key`, or take the
// first / the oldest with `key` and expect `item` back (0: nothing).
struct Step {
  enum Kind { kAppend, kTakeFirst, kTakeByKey } kind;
  uint32_t key;
  uintptr_t item;
};
Step Add(uint32_t key, uintptr_t item) {
  return {Step::kAppend, key, item};
}
Step First(uintptr_t item) {
  return {Step::kTakeFirst, 0, item};
}
Step ByKey(uint32_t key, uintptr_t item) {
  return {Step::kTakeByKey, key, item};
}

// Each session ends with a destroy that releases what is left, in order,
// once, and clears the caller's reference.
TEST(KeyedListTest, ScriptedSessionsKeepOrderAndTailAndReleaseTheRest) {
  struct Case {
    const char* name;
    std::vector<Step> steps;
    std::vector<void*> left;
  } cases[] = {
      {"fifo", {Add(0, 1), Add(0, 2), First(1), First(2), First(0)}, {}},
      {"shared key: oldest first",
       {Add(7, 1), Add(9, 2), Add(7, 3), ByKey(7, 1), First(2)},
       {Item(3)}},
      {"no match leaves everything", {Add(1, 1), Add(3, 2), ByKey(2, 0)}, {Item(1), Item(2)}},
      // Taking the tail must move the tail back, or the next append is lost.
      {"take tail, append", {Add(1, 1), Add(2, 2), ByKey(2, 2), Add(3, 3), First(1)}, {Item(3)}},
      {"empty then reuse", {Add(5, 1), ByKey(5, 1), ByKey(5, 0), Add(5, 2), ByKey(5, 2)}, {}},
      {"key zero is an ordinary key", {Add(4, 1), Add(0, 2), ByKey(0, 2)}, {Item(1)}},
  };
  KeyedList* list = nullptr;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    list = KeyedList_Create();
    int32_t expected = 0;
    for (const auto& s : c.steps) {
      if (s.kind == Step::kAppend) {
        ASSERT_EQ(KeyedList_AppendWithKey(list, s.key, Item(s.item)), 0);
        ++expected;
      } else {
        void* got = s.kind == Step::kTakeFirst ? KeyedList_TakeFirst(list)
                                               : KeyedList_TakeByKey(list, s.key);
        EXPECT_EQ(got, Item(s.item));
        if (s.item) --expected;
      }
      EXPECT_EQ(KeyedList_Count(list), expected);
    }
    g_released.clear();
    KeyedList_Destroy(&list, Record);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(g_released, c.left);
  }
  EXPECT_EQ(KeyedList_Count(list), -1);  // an absent list
  g_released.clear();
  KeyedList_Destroy(&list, Record);  // twice is harmless
  EXPECT_EQ(g_released, std::vector<void*>{});
}

}  // namespace
