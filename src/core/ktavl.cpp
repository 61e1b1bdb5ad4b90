#include "core/ktavl.h"

#include <cassert>
#include <cstdlib>

namespace {

void* HeapAllocate(size_t size) { return malloc(size); }
void HeapRelease(void* block) { free(block); }

// Tallest AVL tree of 2^32 - 1 nodes is 46 levels; the direction record of an
// insertion never needs more.
const int kMaxHeight = 64;

// Points the link that holds a subtree (parent->link[dir], or the root field
// when parent is null) at `node`.
void SetChild(tavl_table* table, tavl_node* parent, int dir, tavl_node* node) {
  if (parent == nullptr)
    table->root = node;
  else
    parent->link[dir] = node;
}

// The in-order neighbour of p on side dir that lies inside p's subtree
// (the rightmost node of the left subtree for dir 0); p must have that child.
tavl_node* InnerNeighbour(tavl_node* p, int dir) {
  assert(p->tag[dir] == TAVL_CHILD);
  tavl_node* t = p->link[dir];
  while (t->tag[!dir] == TAVL_CHILD) t = t->link[!dir];
  return t;
}

// Parent of `node` found through threads; null for the root, which hangs from
// the table's root field. *dir receives the side of the parent that holds node.
// The rightmost node of node's subtree threads to the subtree's successor and
// the leftmost to its predecessor; one of the two is the parent. Walking both
// paths in step stops at the shorter one first.
tavl_node* FindParent(const tavl_table* table, tavl_node* node, int* dir) {
  *dir = 0;
  if (node == table->root) return nullptr;
  tavl_node* x = node;  // leftmost path
  tavl_node* y = node;  // rightmost path
  for (;;) {
    if (y->tag[1] == TAVL_THREAD) {
      tavl_node* p = y->link[1];
      if (p != nullptr && p->tag[0] == TAVL_CHILD && p->link[0] == node) return p;
      while (x->tag[0] == TAVL_CHILD) x = x->link[0];
      p = x->link[0];
      assert(p != nullptr && p->tag[1] == TAVL_CHILD && p->link[1] == node);
      *dir = 1;
      return p;
    }
    if (x->tag[0] == TAVL_THREAD) {
      tavl_node* p = x->link[0];
      if (p != nullptr && p->tag[1] == TAVL_CHILD && p->link[1] == node) {
        *dir = 1;
        return p;
      }
      while (y->tag[1] == TAVL_CHILD) y = y->link[1];
      p = y->link[1];
      assert(p != nullptr && p->tag[0] == TAVL_CHILD && p->link[0] == node);
      return p;
    }
    x = x->link[0];
    y = y->link[1];
  }
}

// Rebalances the subtree of y whose balance reached 2 * s (s = +1 or -1, the
// heavy side being d = s > 0). Returns the new subtree root. *stop is set when
// the subtree kept its height (possible only after a deletion, when the heavy
// child was balanced).
tavl_node* Rotate(tavl_node* y, int* stop) {
  const int d = y->balance > 0;           // heavy side
  const signed char s = d ? 1 : -1;
  tavl_node* x = y->link[d];
  *stop = 0;
  if (x->balance == -s) {
    // Double rotation through x's inner child w.
    tavl_node* w = x->link[!d];
    x->link[!d] = w->link[d];
    w->link[d] = x;
    y->link[d] = w->link[!d];
    w->link[!d] = y;
    if (w->balance == s) {
      y->balance = static_cast<signed char>(-s);
      x->balance = 0;
    } else if (w->balance == -s) {
      y->balance = 0;
      x->balance = s;
    } else {
      y->balance = x->balance = 0;
    }
    w->balance = 0;
    // Links that w handed over but did not have become threads back to w.
    if (w->tag[!d] == TAVL_THREAD) {
      y->tag[d] = TAVL_THREAD;
      y->link[d] = w;
      w->tag[!d] = TAVL_CHILD;
    }
    if (w->tag[d] == TAVL_THREAD) {
      x->tag[!d] = TAVL_THREAD;
      x->link[!d] = w;
      w->tag[d] = TAVL_CHILD;
    }
    return w;
  }
  // Single rotation: x rises.
  if (x->tag[!d] == TAVL_THREAD) {
    // y->link[d] already points at x, its successor (or predecessor).
    y->tag[d] = TAVL_THREAD;
    x->tag[!d] = TAVL_CHILD;
  } else {
    y->link[d] = x->link[!d];
  }
  x->link[!d] = y;
  if (x->balance == 0) {
    x->balance = static_cast<signed char>(-s);
    y->balance = s;
    *stop = 1;
  } else {
    x->balance = y->balance = 0;
  }
  return x;
}

}  // namespace

const tavl_allocator tavl_allocator_default = {HeapAllocate, HeapRelease};

tavl_table* tavl_create(tavl_comparison_func* compare, void* param, const tavl_allocator* alloc) {
  assert(compare != nullptr);
  if (alloc == nullptr) alloc = &tavl_allocator_default;
  tavl_table* table = static_cast<tavl_table*>(alloc->allocate(sizeof(tavl_table)));
  if (table == nullptr) return nullptr;
  table->root = nullptr;
  table->compare = compare;
  table->param = param;
  table->alloc = alloc;
  table->count = 0;
  return table;
}

void* tavl_find(const tavl_table* table, const void* item) {
  tavl_node* p = table->root;
  while (p != nullptr) {
    int cmp = table->compare(item, p->item, table->param);
    if (cmp == 0) return p->item;
    int dir = cmp > 0;
    if (p->tag[dir] == TAVL_THREAD) return nullptr;
    p = p->link[dir];
  }
  return nullptr;
}

void** tavl_probe(tavl_table* table, void* item) {
  tavl_node* n;
  if (table->root == nullptr) {
    n = static_cast<tavl_node*>(table->alloc->allocate(sizeof(tavl_node)));
    if (n == nullptr) return nullptr;
    n->link[0] = n->link[1] = nullptr;
    n->tag[0] = n->tag[1] = TAVL_THREAD;
    n->item = item;
    n->balance = 0;
    table->root = n;
    table->count++;
    return &n->item;
  }

  // y: the deepest node on the path with a non-zero balance (the only place
  // that can go out of balance), z its parent, zdir the side of z holding y.
  tavl_node* y = table->root;
  tavl_node* z = nullptr;
  int zdir = 0;
  unsigned char da[kMaxHeight];  // directions taken from y down
  int k = 0;

  tavl_node* q = nullptr;  // parent of p
  int qdir = 0;
  tavl_node* p = table->root;
  int dir;
  for (;;) {
    int cmp = table->compare(item, p->item, table->param);
    if (cmp == 0) return &p->item;
    if (p->balance != 0) {
      z = q;
      zdir = qdir;
      y = p;
      k = 0;
    }
    dir = cmp > 0;
    assert(k < kMaxHeight);
    da[k++] = static_cast<unsigned char>(dir);
    if (p->tag[dir] == TAVL_THREAD) break;
    q = p;
    qdir = dir;
    p = p->link[dir];
  }

  n = static_cast<tavl_node*>(table->alloc->allocate(sizeof(tavl_node)));
  if (n == nullptr) return nullptr;
  table->count++;
  n->item = item;
  n->tag[0] = n->tag[1] = TAVL_THREAD;
  n->link[dir] = p->link[dir];  // takes over p's thread
  n->link[!dir] = p;            // and threads back to p
  n->balance = 0;
  p->tag[dir] = TAVL_CHILD;
  p->link[dir] = n;

  k = 0;
  for (tavl_node* t = y; t != n; t = t->link[da[k]], k++) {
    if (da[k] == 0)
      t->balance--;
    else
      t->balance++;
  }

  if (y->balance == 2 || y->balance == -2) {
    int stop;
    tavl_node* w = Rotate(y, &stop);
    SetChild(table, z, zdir, w);
  }
  return &n->item;
}

void* tavl_insert(tavl_table* table, void* item) {
  void** slot = tavl_probe(table, item);
  return slot == nullptr || *slot == item ? nullptr : *slot;
}

void* tavl_replace(tavl_table* table, void* item) {
  void** slot = tavl_probe(table, item);
  if (slot == nullptr || *slot == item) return nullptr;
  void* old = *slot;
  *slot = item;
  return old;
}

void* tavl_delete(tavl_table* table, const void* item) {
  tavl_node* p = table->root;
  tavl_node* q = nullptr;  // parent of p (null: p is the root)
  int dir = 0;             // side of q holding p
  if (p == nullptr) return nullptr;
  for (;;) {
    int cmp = table->compare(item, p->item, table->param);
    if (cmp == 0) break;
    int d = cmp > 0;
    if (p->tag[d] == TAVL_THREAD) return nullptr;
    q = p;
    dir = d;
    p = p->link[d];
  }
  void* found = p->item;

  // Unlink p. Afterwards `q`'s `dir` subtree is one level shorter; rebalancing
  // starts there.
  if (p->tag[1] == TAVL_THREAD) {
    if (p->tag[0] == TAVL_CHILD) {
      InnerNeighbour(p, 0)->link[1] = p->link[1];
      SetChild(table, q, dir, p->link[0]);
    } else {
      // A leaf: the parent's link becomes p's thread on that side.
      SetChild(table, q, dir, p->link[dir]);
      if (q != nullptr) q->tag[dir] = TAVL_THREAD;
    }
  } else {
    tavl_node* r = p->link[1];
    if (r->tag[0] == TAVL_THREAD) {
      r->link[0] = p->link[0];
      r->tag[0] = p->tag[0];
      if (r->tag[0] == TAVL_CHILD) InnerNeighbour(r, 0)->link[1] = r;
      r->balance = p->balance;
      SetChild(table, q, dir, r);
      q = r;
      dir = 1;
    } else {
      // Successor s, the leftmost node of r's subtree, takes p's place.
      tavl_node* s;
      for (;;) {
        s = r->link[0];
        if (s->tag[0] == TAVL_THREAD) break;
        r = s;
      }
      if (s->tag[1] == TAVL_CHILD) {
        r->link[0] = s->link[1];
      } else {
        r->link[0] = s;
        r->tag[0] = TAVL_THREAD;
      }
      s->link[0] = p->link[0];
      if (p->tag[0] == TAVL_CHILD) {
        InnerNeighbour(p, 0)->link[1] = s;
        s->tag[0] = TAVL_CHILD;
      }
      s->link[1] = p->link[1];
      s->tag[1] = TAVL_CHILD;
      s->balance = p->balance;
      SetChild(table, q, dir, s);
      q = r;
      dir = 0;
    }
  }
  table->alloc->release(p);
  table->count--;

  // Walk up while the shortened subtree changes its parent's height.
  tavl_node* y = q;
  while (y != nullptr) {
    y->balance = static_cast<signed char>(y->balance + (dir == 0 ? 1 : -1));
    if (y->balance == 1 || y->balance == -1) break;  // height unchanged
    // The parent must be found before a rotation reshapes y's subtree.
    int pdir;
    tavl_node* parent = FindParent(table, y, &pdir);
    if (y->balance != 0) {
      int stop;
      tavl_node* w = Rotate(y, &stop);
      SetChild(table, parent, pdir, w);
      if (stop) break;
    }
    y = parent;
    dir = pdir;
  }
  return found;
}

void tavl_destroy(tavl_table* table, tavl_item_func* destroy) {
  if (table == nullptr) return;
  tavl_node* p = table->root;
  if (p != nullptr)
    while (p->tag[0] == TAVL_CHILD) p = p->link[0];
  while (p != nullptr) {
    tavl_node* next = p->link[1];
    if (p->tag[1] == TAVL_CHILD)
      while (next->tag[0] == TAVL_CHILD) next = next->link[0];
    if (destroy != nullptr && p->item != nullptr) destroy(p->item, table->param);
    table->alloc->release(p);
    p = next;
  }
  table->alloc->release(table);
}

void tavl_t_init(tavl_traverser* trav, tavl_table* table) {
  trav->table = table;
  trav->node = nullptr;
}

void* tavl_t_first(tavl_traverser* trav, tavl_table* table) {
  trav->table = table;
  tavl_node* p = table->root;
  if (p != nullptr)
    while (p->tag[0] == TAVL_CHILD) p = p->link[0];
  trav->node = p;
  return p != nullptr ? p->item : nullptr;
}

void* tavl_t_find(tavl_traverser* trav, tavl_table* table, const void* item) {
  trav->table = table;
  trav->node = nullptr;
  tavl_node* p = table->root;
  while (p != nullptr) {
    int cmp = table->compare(item, p->item, table->param);
    if (cmp == 0) {
      trav->node = p;
      return p->item;
    }
    int dir = cmp > 0;
    if (p->tag[dir] == TAVL_THREAD) return nullptr;
    p = p->link[dir];
  }
  return nullptr;
}

void* tavl_t_next(tavl_traverser* trav) {
  tavl_node* p = trav->node;
  if (p == nullptr) return tavl_t_first(trav, trav->table);
  if (p->tag[1] == TAVL_THREAD) {
    p = p->link[1];
  } else {
    p = p->link[1];
    while (p->tag[0] == TAVL_CHILD) p = p->link[0];
  }
  trav->node = p;
  return p != nullptr ? p->item : nullptr;
}

void* tavl_t_cur(const tavl_traverser* trav) {
  return trav->node != nullptr ? trav->node->item : nullptr;
}
