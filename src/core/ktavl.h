// Threaded AVL tree: the one ordered structure behind every in-memory table.
//
// Items are untyped pointers ordered by a caller-supplied comparison; the tree
// never copies or frees them. Empty links are threads (a left thread points to
// the in-order predecessor, a right thread to the successor, null at the two
// extremes), so traversal needs no stack and nodes carry no parent pointer.
//
// Ownership: the table owns its nodes; items stay the caller's. Pointers to
// items and slots stay valid until that item's node is deleted.
// Not thread-safe: no locking inside; one thread at a time per table.
#ifndef PV_CORE_KTAVL_H
#define PV_CORE_KTAVL_H

#include <cstddef>
#include <cstdint>

// Negative, zero or positive for a before, equal to, after b. `param` is the
// comparison parameter given to tavl_create.
typedef int tavl_comparison_func(const void* a, const void* b, void* param);
// Called for each item by tavl_destroy with the comparison parameter.
typedef void tavl_item_func(void* item, void* param);

// Where the table record and the nodes come from. allocate returns null on failure.
struct tavl_allocator {
  void* (*allocate)(size_t size);
  void (*release)(void* block);
};

// Takes blocks from the process heap (malloc/free).
extern const tavl_allocator tavl_allocator_default;

// Link tags: a link either leads to a child or is a thread.
enum { TAVL_CHILD = 0, TAVL_THREAD = 1 };

struct tavl_node {
  tavl_node* link[2];     // [0] left, [1] right: a child or a thread, see tag
  void* item;
  unsigned char tag[2];   // TAVL_CHILD or TAVL_THREAD, one per link
  signed char balance;    // height(right) - height(left); -1..+1 at rest
};

struct tavl_table {
  tavl_node* root;                 // null while the tree is empty
  tavl_comparison_func* compare;
  void* param;                     // handed to every comparison
  const tavl_allocator* alloc;
  uint32_t count;                  // items in the tree
};

// A position in a table: node null means before the first item or after the
// last. Deleting the current item's node invalidates the traverser; any other
// change keeps it valid (nodes keep their items when the tree is rebalanced).
struct tavl_traverser {
  tavl_table* table;
  tavl_node* node;
};

// New empty table, or null when the allocator fails. alloc null: the default one.
tavl_table* tavl_create(tavl_comparison_func* compare, void* param, const tavl_allocator* alloc);

// The stored item that compares equal to `item`, or null.
void* tavl_find(const tavl_table* table, const void* item);

// Slot of the equal item: the one present, or `item` newly linked in.
// Null when a node could not be allocated (the tree is then unchanged).
void** tavl_probe(tavl_table* table, void* item);

// Null when `item` was linked in, and also when the node allocation failed
// (the caller keeps the item then). Otherwise the equal item already present;
// the tree is unchanged. `item` itself already present also gives null.
void* tavl_insert(tavl_table* table, void* item);

// Links `item` in. When an equal item was present, `item` takes its node and
// the old item is returned; otherwise null (also on allocation failure, and
// when the item present is `item` itself, so a caller never frees a live item).
void* tavl_replace(tavl_table* table, void* item);

// Removes the node of the equal item and returns that item; null when none.
void* tavl_delete(tavl_table* table, const void* item);

// Calls destroy(item, param) for every non-null item in ascending order (when
// destroy is given), frees every node and then the table.
void tavl_destroy(tavl_table* table, tavl_item_func* destroy);

// Traverser. Init sets position none; First moves to the smallest item;
// Find moves to the equal item (position none and null when absent); Next
// moves to the successor (from none: as First; after the largest: null and
// position none); Cur gives the item at the position or null.
void tavl_t_init(tavl_traverser* trav, tavl_table* table);
void* tavl_t_first(tavl_traverser* trav, tavl_table* table);
void* tavl_t_find(tavl_traverser* trav, tavl_table* table, const void* item);
void* tavl_t_next(tavl_traverser* trav);
void* tavl_t_cur(const tavl_traverser* trav);

#endif  // PV_CORE_KTAVL_H
