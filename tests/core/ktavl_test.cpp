#include "core/ktavl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <set>
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

// Records with a key and an identity, to tell equal items apart.
struct Rec {
  int key;
  int id;
};

int CompareRecs(const void* a, const void* b, void*) {
  int x = static_cast<const Rec*>(a)->key;
  int y = static_cast<const Rec*>(b)->key;
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

std::vector<intptr_t> Items(tavl_table* t) {
  std::vector<intptr_t> out;
  tavl_traverser trav;
  tavl_t_init(&trav, t);
  for (void* p = tavl_t_next(&trav); trav.node != nullptr; p = tavl_t_next(&trav))
    out.push_back(Value(p));
  return out;
}

TEST(TavlShape, SortedInsertsStayBalancedAndAnyDeletionOrderEmptiesTheTree) {
  const int n = 512;
  std::mt19937 rng(7);
  for (int descending = 0; descending < 2; descending++) {
    tavl_table* t = tavl_create(CompareInts, nullptr, nullptr);
    ASSERT_NE(t, nullptr);
    for (int i = 1; i <= n; i++) {
      ASSERT_EQ(tavl_insert(t, Item(descending ? n + 1 - i : i)), nullptr);
      ASSERT_TRUE(tavl_check::Valid(t)) << "after inserting item " << i;
    }
    std::vector<intptr_t> order(n);
    for (int i = 0; i < n; i++) order[i] = i + 1;
    std::shuffle(order.begin(), order.end(), rng);
    for (intptr_t v : order) {
      ASSERT_EQ(Value(tavl_delete(t, Item(v))), v);
      ASSERT_TRUE(tavl_check::Valid(t)) << "after deleting " << v;
    }
    EXPECT_EQ(t->count, 0u);
    EXPECT_EQ(t->root, nullptr);
    tavl_destroy(t, nullptr);
  }
}

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

TEST(TavlShape, RandomMixMatchesAnOrderedSet) {
  std::mt19937 rng(12345);
  tavl_table* t = tavl_create(CompareInts, nullptr, nullptr);
  std::set<intptr_t> model;
  for (int step = 0; step < 10000; step++) {
    intptr_t v = 1 + rng() % 150;
    if (rng() % 2) {
      uint32_t before = t->count;
      tavl_insert(t, Item(v));
      bool had = !model.insert(v).second;
      ASSERT_EQ(t->count == before, had);
    } else {
      void* removed = tavl_delete(t, Item(v));
      ASSERT_EQ(removed != nullptr, model.erase(v) == 1);
    }
    ASSERT_TRUE(tavl_check::Valid(t)) << "step " << step;
  }
  EXPECT_EQ(Items(t), std::vector<intptr_t>(model.begin(), model.end()));
  tavl_destroy(t, nullptr);
}

TEST(TavlOperations, ResultsTellWhatWasPresent) {
  Rec a = {5, 1}, b = {5, 2}, c = {5, 3}, other = {9, 4}, absent = {7, 0};
  tavl_table* t = tavl_create(CompareRecs, nullptr, nullptr);
  EXPECT_EQ(tavl_find(t, &a), nullptr);
  EXPECT_EQ(tavl_delete(t, &a), nullptr);

  EXPECT_EQ(tavl_insert(t, &a), nullptr);
  EXPECT_EQ(tavl_insert(t, &b), &a);  // equal item kept, tree unchanged
  EXPECT_EQ(t->count, 1u);
  void** slot = tavl_probe(t, &c);
  ASSERT_NE(slot, nullptr);
  EXPECT_EQ(*slot, &a);

  EXPECT_EQ(tavl_replace(t, &other), nullptr);  // absent: linked in
  EXPECT_EQ(tavl_replace(t, &b), &a);           // present: b takes a's node
  EXPECT_EQ(tavl_replace(t, &b), nullptr);      // b itself: nothing to free
  EXPECT_EQ(t->count, 2u);
  EXPECT_EQ(tavl_find(t, &c), &b);
  EXPECT_EQ(tavl_find(t, &absent), nullptr);

  EXPECT_EQ(tavl_delete(t, &absent), nullptr);
  EXPECT_EQ(tavl_delete(t, &c), &b);  // returns the stored item
  EXPECT_EQ(tavl_delete(t, &c), nullptr);
  EXPECT_EQ(t->count, 1u);
  EXPECT_TRUE(tavl_check::Valid(t));
  tavl_destroy(t, nullptr);
}

TEST(TavlTraverser, WalksInOrderAndRestartsWhenExhausted) {
  tavl_table* t = tavl_create(CompareInts, nullptr, nullptr);
  tavl_traverser trav;
  tavl_t_init(&trav, t);
  EXPECT_EQ(tavl_t_cur(&trav), nullptr);
  EXPECT_EQ(tavl_t_first(&trav, t), nullptr);
  EXPECT_EQ(tavl_t_next(&trav), nullptr);

  for (intptr_t v : {30, 10, 20, 50, 40}) tavl_insert(t, Item(v));
  EXPECT_EQ(Value(tavl_t_first(&trav, t)), 10);
  EXPECT_EQ(Value(tavl_t_cur(&trav)), 10);
  for (intptr_t v : {20, 30, 40, 50}) EXPECT_EQ(Value(tavl_t_next(&trav)), v);
  EXPECT_EQ(tavl_t_next(&trav), nullptr);
  EXPECT_EQ(tavl_t_cur(&trav), nullptr);
  EXPECT_EQ(Value(tavl_t_next(&trav)), 10);  // starts again at the first

  EXPECT_EQ(Value(tavl_t_find(&trav, t, Item(30))), 30);
  EXPECT_EQ(Value(tavl_t_next(&trav)), 40);
  EXPECT_EQ(tavl_t_find(&trav, t, Item(35)), nullptr);
  EXPECT_EQ(tavl_t_cur(&trav), nullptr);
  EXPECT_EQ(Value(tavl_t_next(&trav)), 10);

  // Deleting other items keeps a traverser on its node.
  tavl_t_find(&trav, t, Item(20));
  tavl_delete(t, Item(30));
  tavl_delete(t, Item(10));
  EXPECT_EQ(Value(tavl_t_next(&trav)), 40);
  tavl_destroy(t, nullptr);
}

TEST(TavlAllocation, FailureLeavesTheTreeAsItWas) {
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
  EXPECT_EQ(Items(t), (std::vector<intptr_t>{1, 2, 3}));

  EXPECT_EQ(Value(tavl_delete(t, Item(2))), 2);
  tavl_destroy(t, nullptr);
  EXPECT_EQ(gLive, 0);
}

std::vector<intptr_t> gDestroyed;
void* gDestroyParam = nullptr;
void RecordDestroy(void* item, void* param) {
  gDestroyed.push_back(Value(item));
  gDestroyParam = param;
}

TEST(TavlDestroy, VisitsEveryNonNullItemInOrderAndFreesAll) {
  int param = 0;
  gBudget = 1000;
  tavl_table* t = tavl_create(CompareInts, &param, &kBudgetAllocator);
  for (intptr_t v : {8, 3, 0, 12, 5, 1, 9}) tavl_insert(t, Item(v));
  tavl_destroy(t, RecordDestroy);
  EXPECT_EQ(gDestroyed, (std::vector<intptr_t>{1, 3, 5, 8, 9, 12}));
  EXPECT_EQ(gDestroyParam, &param);
  EXPECT_EQ(gLive, 0);
}

}  // namespace
