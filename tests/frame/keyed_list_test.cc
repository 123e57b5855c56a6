// The locked keyed list: FIFO order, key matching from the head, null
// lists, release of what is left, allocation failures, concurrent use.
#include "scredir/keyed_list.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/frame/frame_test_util.h"

namespace {

void* Item(uintptr_t n) {
  return reinterpret_cast<void*>(n);
}

struct ListHolder {
  KeyedList* list = KeyedList_Create();
  ~ListHolder() { KeyedList_Destroy(&list, nullptr); }
};

// One step of a scripted session on a list.
struct Step {
  enum Kind { kAppend, kTakeFirst, kTakeByKey } kind;
  uint32_t key;
  uintptr_t item;  // appended, or expected back (0: nothing)
};

TEST(KeyedListTest, ScriptedSessionsKeepOrderAndTail) {
  struct Case {
    const char* name;
    std::vector<Step> steps;
    int32_t finalCount;
  } cases[] = {
      {"fifo",
       {{Step::kAppend, 0, 1},
        {Step::kAppend, 0, 2},
        {Step::kTakeFirst, 0, 1},
        {Step::kTakeFirst, 0, 2},
        {Step::kTakeFirst, 0, 0}},
       0},
      {"oldest of a shared key first, others keep their order",
       {{Step::kAppend, 7, 1},
        {Step::kAppend, 9, 2},
        {Step::kAppend, 7, 3},
        {Step::kTakeByKey, 7, 1},
        {Step::kTakeFirst, 0, 2},
        {Step::kTakeFirst, 0, 3}},
       0},
      {"no match leaves everything", {{Step::kAppend, 1, 1}, {Step::kTakeByKey, 2, 0}}, 1},
      // Taking the tail must move the tail back, or the next append is lost.
      {"take tail then append",
       {{Step::kAppend, 1, 1},
        {Step::kAppend, 2, 2},
        {Step::kTakeByKey, 2, 2},
        {Step::kAppend, 3, 3},
        {Step::kTakeFirst, 0, 1},
        {Step::kTakeFirst, 0, 3}},
       0},
      {"empty then reuse",
       {{Step::kAppend, 5, 1},
        {Step::kTakeByKey, 5, 1},
        {Step::kTakeByKey, 5, 0},
        {Step::kAppend, 5, 2},
        {Step::kTakeByKey, 5, 2}},
       0},
      {"key zero is an ordinary key",
       {{Step::kAppend, 4, 1}, {Step::kAppend, 0, 2}, {Step::kTakeByKey, 0, 2}},
       1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ListHolder h;
    int32_t expected = 0;
    for (const auto& s : c.steps) {
      switch (s.kind) {
        case Step::kAppend:
          ASSERT_EQ(KeyedList_AppendWithKey(h.list, s.key, Item(s.item)), 0);
          ++expected;
          break;
        case Step::kTakeFirst:
          EXPECT_EQ(KeyedList_TakeFirst(h.list), Item(s.item));
          if (s.item) --expected;
          break;
        case Step::kTakeByKey:
          EXPECT_EQ(KeyedList_TakeByKey(h.list, s.key), Item(s.item));
          if (s.item) --expected;
          break;
      }
      EXPECT_EQ(KeyedList_Count(h.list), expected);
    }
    EXPECT_EQ(KeyedList_Count(h.list), c.finalCount);
  }
}

std::vector<void*> g_released;
void Record(void* p) {
  g_released.push_back(p);
}

TEST(KeyedListTest, DestroyReleasesWhatIsLeftOnceAndClearsTheReference) {
  KeyedList* list = KeyedList_Create();
  ASSERT_EQ(KeyedList_AppendWithKey(list, 1, Item(10)), 0);
  ASSERT_EQ(KeyedList_Append(list, Item(11)), 0);
  ASSERT_EQ(KeyedList_Append(list, Item(12)), 0);
  EXPECT_EQ(KeyedList_TakeFirst(list), Item(10));  // the caller owns this one now
  g_released.clear();
  KeyedList_Destroy(&list, Record);
  EXPECT_EQ(list, nullptr);
  EXPECT_EQ(KeyedList_Count(list), -1);  // an absent list
  KeyedList_Destroy(&list, Record);      // twice is harmless
  EXPECT_EQ(g_released, (std::vector<void*>{Item(11), Item(12)}));
}

TEST(KeyedListTest, NodeAllocationFailureLeavesDataWithCallerAndLogs) {
  frame_test::LogCapture log;
  ListHolder h;
  ASSERT_EQ(KeyedList_Append(h.list, Item(1)), 0);
  KeyedList_SetNodeAllocatorForTest([](size_t) -> void* { return nullptr; });
  EXPECT_LT(KeyedList_AppendWithKey(h.list, 9, Item(2)), 0);
  KeyedList_SetNodeAllocatorForTest(nullptr);
  EXPECT_EQ(KeyedList_Count(h.list), 1);
  EXPECT_EQ(KeyedList_TakeByKey(h.list, 9), nullptr);
  EXPECT_EQ(log.PluginLines(),
            std::vector<std::string>{"SCQRN: ERROR(c0000017) |TID|: Not enough memory"});
  // The list still works after the failure.
  ASSERT_EQ(KeyedList_Append(h.list, Item(3)), 0);
  EXPECT_EQ(KeyedList_TakeFirst(h.list), Item(1));
  EXPECT_EQ(KeyedList_TakeFirst(h.list), Item(3));
}

}  // namespace
