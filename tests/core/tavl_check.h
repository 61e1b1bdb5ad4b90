// Test helper: full structural check of a threaded AVL tree.
#ifndef PV_TESTS_CORE_TAVL_CHECK_H
#define PV_TESTS_CORE_TAVL_CHECK_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/ktavl.h"

namespace tavl_check {

// Height of p's subtree (0 for none); appends its nodes in order and records
// the first balance fault into *error.
inline int Walk(const tavl_node* p, int depth, std::vector<const tavl_node*>* order,
                std::string* error) {
  if (depth > 64) {
    if (error->empty()) *error = "child links form a cycle";
    return 0;
  }
  int heights[2] = {0, 0};
  for (int dir = 0; dir < 2; dir++) {
    if (p->tag[dir] != TAVL_CHILD && p->tag[dir] != TAVL_THREAD && error->empty())
      *error = "tag neither child nor thread";
    if (p->tag[dir] == TAVL_CHILD) {
      if (p->link[dir] == nullptr) {
        if (error->empty()) *error = "child tag with a null link";
        continue;
      }
      if (dir == 1) order->push_back(p);
      heights[dir] = Walk(p->link[dir], depth + 1, order, error);
    } else if (dir == 1) {
      order->push_back(p);
    }
  }
  int diff = heights[1] - heights[0];
  if (error->empty() && (p->balance != diff || diff < -1 || diff > 1))
    *error = "balance " + std::to_string(p->balance) + " but heights differ by " +
             std::to_string(diff);
  return 1 + (heights[0] > heights[1] ? heights[0] : heights[1]);
}

// Balances in -1..+1 and equal to the real height difference; items strictly
// ascending; every left thread the in-order predecessor and every right thread
// the successor (null at the extremes); count matching; the stackless
// traversal visits exactly the in-order nodes.
inline ::testing::AssertionResult Valid(const tavl_table* table) {
  std::vector<const tavl_node*> order;
  order.reserve(table->count);
  std::string error;
  if (table->root != nullptr) Walk(table->root, 0, &order, &error);
  if (!error.empty()) return ::testing::AssertionFailure() << error;
  if (order.size() != table->count)
    return ::testing::AssertionFailure()
           << "count " << table->count << " but " << order.size() << " nodes";
  for (size_t i = 0; i < order.size(); i++) {
    const tavl_node* p = order[i];
    const tavl_node* pred = i > 0 ? order[i - 1] : nullptr;
    const tavl_node* succ = i + 1 < order.size() ? order[i + 1] : nullptr;
    if (p->tag[0] == TAVL_THREAD && p->link[0] != pred)
      return ::testing::AssertionFailure() << "left thread of node " << i << " is not its predecessor";
    if (p->tag[1] == TAVL_THREAD && p->link[1] != succ)
      return ::testing::AssertionFailure() << "right thread of node " << i << " is not its successor";
    if (succ != nullptr && table->compare(p->item, succ->item, table->param) >= 0)
      return ::testing::AssertionFailure() << "items " << i << " and " << i + 1 << " out of order";
  }
  tavl_traverser trav;
  tavl_t_init(&trav, const_cast<tavl_table*>(table));
  size_t i = 0;
  for (tavl_t_next(&trav); trav.node != nullptr; tavl_t_next(&trav), i++)
    if (i >= order.size() || trav.node != order[i])
      return ::testing::AssertionFailure() << "traversal strays at step " << i;
  if (i != order.size()) return ::testing::AssertionFailure() << "traversal stops early at " << i;
  return ::testing::AssertionSuccess();
}

}  // namespace tavl_check

#endif  // PV_TESTS_CORE_TAVL_CHECK_H
