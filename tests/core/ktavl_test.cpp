#include "core/ktavl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "core/tavl_check.h"

namespace {

// Items are small integers carried in the pointer itself.
void* Item(intptr_t v) { return reinterpret_cast<void*>(v); }
intptr_t Value(const void* p) { return reinterpret_cast<intptr_t>(p); }

int CompareInts(const void* a, const void* b, void*) {
  intptr_t x = Value(a);
  intptr_t y = Value(b);
  return (x > y) - (x < y);
}

// Heap allocator that fails once its budget of blocks is spent.
int gBudget = 0;
int gLive = 0;
void* BudgetAllocate(size_t size) {
  if (gBudget <= 0) return nullptr;
  gBudget--;
  gLive++;
  return malloc(size);
}
void BudgetRelease(void* block) {
  gLive--;
  free(block);
}
const tavl_allocator kBudgetAllocator = {BudgetAllocate, BudgetRelease};

std::vector<intptr_t> gDestroyed;
void RecordDestroy(void* item, void*) { gDestroyed.push_back(Value(item)); }

// Every insertion order of 7 items gives the small shapes in which each
// deletion case and rotation occurs; each tree is then emptied in an order
// that varies with the permutation.
TEST(TavlShape, EverySmallShapeSurvivesDeletions) {
  std::vector<intptr_t> perm = {1, 2, 3, 4, 5, 6, 7};
  int round = 0;
  do {
    tavl_table* t = tavl_create(CompareInts, nullptr, nullptr);
    for (intptr_t v : perm) ASSERT_EQ(tavl_insert(t, Item(v)), nullptr);
    ASSERT_TRUE(tavl_check::Valid(t));
    std::vector<intptr_t> del = perm;
    std::rotate(del.begin(), del.begin() + round % 7, del.end());
    if (round % 2) std::reverse(del.begin(), del.end());
    for (intptr_t v : del) {
      ASSERT_EQ(Value(tavl_delete(t, Item(v))), v);
      ASSERT_TRUE(tavl_check::Valid(t)) << "round " << round << " deleting " << v;
    }
    EXPECT_EQ(t->root, nullptr);
    tavl_destroy(t, nullptr);
    round++;
  } while (std::next_permutation(perm.begin(), perm.end()));
}

TEST(TavlAllocation, FailureLeavesTheTreeAsItWasAndDestroyFreesAll) {
  gBudget = 0;
  EXPECT_EQ(tavl_create(CompareInts, nullptr, &kBudgetAllocator), nullptr);

  gBudget = 1;  // the table only: the first node fails
  tavl_table* t = tavl_create(CompareInts, nullptr, &kBudgetAllocator);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(tavl_probe(t, Item(1)), nullptr);
  EXPECT_EQ(t->root, nullptr);
  EXPECT_EQ(t->count, 0u);

  gBudget = 3;
  for (intptr_t v : {1, 2, 3}) ASSERT_EQ(tavl_insert(t, Item(v)), nullptr);
  EXPECT_EQ(tavl_probe(t, Item(4)), nullptr);
  EXPECT_EQ(tavl_insert(t, Item(4)), nullptr);  // "linked" but not there
  EXPECT_EQ(tavl_replace(t, Item(4)), nullptr);
  EXPECT_EQ(tavl_find(t, Item(4)), nullptr);
  void** slot = tavl_probe(t, Item(2));  // finding an equal item needs no node
  ASSERT_NE(slot, nullptr);
  EXPECT_EQ(Value(*slot), 2);
  EXPECT_EQ(t->count, 3u);
  EXPECT_TRUE(tavl_check::Valid(t));

  // Destroy hands every item but a null one, in order, to the callback.
  gBudget = 1;
  tavl_insert(t, Item(0));
  gDestroyed.clear();
  tavl_destroy(t, RecordDestroy);
  EXPECT_EQ(gDestroyed, (std::vector<intptr_t>{1, 2, 3}));
  EXPECT_EQ(gLive, 0);
}

}  // namespace
