// The locked keyed list against a plain model: arrival order for TakeFirst,
// the oldest item of a key for TakeByKey, exactly the named item for
// TakeData, and what is left released in order on destroy. A failed node
// allocation and concurrent use are exercised by the engine's tests, which
// drive the lists of a session.
#include "scredir/keyed_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <utility>
#include <vector>

namespace {

std::vector<void*> g_released;
void Record(void* p) {
  g_released.push_back(p);
}

// Keys from a narrow range share chains; keys spread wide (many of them a
// multiple of the table size) grow the table and make long probe runs, so
// taking from the middle of a run must leave every other key findable.
TEST(KeyedListTest, AgreesWithAPlainListUnderRandomUse) {
  std::mt19937 rng(20261206);
  for (uint32_t spread : {3u, 1u << 20}) {
    SCOPED_TRACE(spread);
    KeyedList* list = KeyedList_Create();
    std::vector<std::pair<uint32_t, void*>> model;
    uintptr_t next = 1;
    for (int step = 0; step < 6000; ++step) {
      const uint32_t roll = rng() % 6;
      uint32_t key = rng() % spread * (roll % 2 ? 1 : 64);
      if (!model.empty() && rng() % 2) key = model[rng() % model.size()].first;
      auto it = std::find_if(model.begin(), model.end(), [&](auto& m) { return m.first == key; });
      if (roll < 3) {
        auto* item = reinterpret_cast<void*>(next++);
        ASSERT_EQ(KeyedList_AppendWithKey(list, key, item), 0);
        model.emplace_back(key, item);
      } else if (roll == 3) {
        EXPECT_EQ(KeyedList_TakeFirst(list), model.empty() ? nullptr : model.front().second);
        if (!model.empty()) model.erase(model.begin());
      } else if (roll == 4) {
        ASSERT_EQ(KeyedList_TakeByKey(list, key), it == model.end() ? nullptr : it->second);
        if (it != model.end()) model.erase(it);
      } else if (!model.empty()) {
        it = model.begin() + static_cast<ptrdiff_t>(rng() % model.size());
        ASSERT_TRUE(KeyedList_TakeData(list, it->second));
        EXPECT_FALSE(KeyedList_TakeData(list, it->second));
        model.erase(it);
      }
      ASSERT_EQ(KeyedList_Count(list), static_cast<int32_t>(model.size()));
    }
    g_released.clear();
    KeyedList_Destroy(&list, Record);
    EXPECT_EQ(list, nullptr);
    std::vector<void*> left;
    for (auto& m : model) left.push_back(m.second);
    EXPECT_EQ(g_released, left);
  }
  KeyedList* list = nullptr;
  EXPECT_EQ(KeyedList_Count(list), -1);  // an absent list
  EXPECT_EQ(KeyedList_TakeByKey(list, 1), nullptr);
  KeyedList_Destroy(&list, Record);  // harmless
}

}  // namespace
