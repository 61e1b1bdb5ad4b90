#include "core/kmap.h"

#include <cassert>
#include <cstdlib>

#include "core/klog.h"
#include "core/kstring.h"

namespace {

// Sequence numbers are 16-bit.
const uint32_t kLastSequence = 0xFFFF;

const char* KeyText(const koString* key) { return key != nullptr ? key->GetString() : ""; }

// Byte-wise comparison with only A-Z folded (to a-z), so the order does not
// depend on the process locale.
int CompareKeys(const koString* a, const koString* b) {
  const unsigned char* x = reinterpret_cast<const unsigned char*>(KeyText(a));
  const unsigned char* y = reinterpret_cast<const unsigned char*>(KeyText(b));
  for (;; x++, y++) {
    int cx = *x;
    int cy = *y;
    if (cx >= 'A' && cx <= 'Z') cx += 'a' - 'A';
    if (cy >= 'A' && cy <= 'Z') cy += 'a' - 'A';
    if (cx != cy || cx == 0) return cx - cy;
  }
}

koMapItem* ItemOf(const tavl_node* node) { return static_cast<koMapItem*>(node->item); }

// The first (last = 0) or last (last = 1) node whose key equals `key`, or null.
tavl_node* FindKeyEnd(const tavl_table* table, const koString* key, int last) {
  tavl_node* found = nullptr;
  tavl_node* p = table->root;
  while (p != nullptr) {
    int cmp = CompareKeys(key, ItemOf(p)->key);
    int dir;
    if (cmp == 0) {
      found = p;
      dir = last;
    } else {
      dir = cmp > 0;
    }
    if (p->tag[dir] == TAVL_THREAD) break;
    p = p->link[dir];
  }
  return found;
}

}  // namespace

koMap::koMap(int allowDuplicates, koMapItemDestructor destructor)
    : table_(nullptr), allowDuplicates_(allowDuplicates),
      destructor_(destructor != nullptr ? destructor : FreeItem) {
  table_ = tavl_create(CompareItems, this, nullptr);
  // A constructor cannot report failure; a map without its tree is unusable.
  if (table_ == nullptr) koOutOfMemory(__FILE__, __LINE__);
}

koMap::~koMap() { Destroy(); }

void koMap::Destroy() {
  if (table_ == nullptr) return;
  tavl_table* table = table_;
  table_ = nullptr;
  tavl_destroy(table, destructor_);
}

int koMap::CompareItems(const void* a, const void* b, void* map) {
  const koMapItem* x = static_cast<const koMapItem*>(a);
  const koMapItem* y = static_cast<const koMapItem*>(b);
  int cmp = CompareKeys(x->key, y->key);
  if (cmp != 0) return cmp;
  if (!static_cast<const koMap*>(map)->allowDuplicates_) return 0;
  if (x->sequence < y->sequence) return -1;
  return x->sequence > y->sequence ? 1 : 0;
}

void koMap::FreeItem(void* item, void* /*arg*/) {
  koMapItem* it = static_cast<koMapItem*>(item);
  delete it->key;
  free(it->value);
  free(it);
}

void koMap::FreeStringItem(void* item, void* /*arg*/) {
  koMapItem* it = static_cast<koMapItem*>(item);
  delete it->key;
  delete static_cast<koString*>(it->value);
  free(it);
}

int koMap::Set(koString* key, void* value) {
  koMapItem* item = static_cast<koMapItem*>(malloc(sizeof(koMapItem)));
  if (item == nullptr) koOutOfMemory(__FILE__, __LINE__);
  item->key = key;
  item->sequence = 0;
  item->value = value;
  if (table_ == nullptr) {
    KO_LOG(-1, "koMap::Set: map destroyed");
    destructor_(item, nullptr);
    return 1;
  }

  if (allowDuplicates_) {
    // After the last value of the key, not at the count of values: an Erase
    // leaves a gap at sequence 0, and refilling it would put the newest value
    // first.
    tavl_node* last = FindKeyEnd(table_, key, 1);
    if (last != nullptr) {
      uint32_t sequence = ItemOf(last)->sequence;
      if (sequence >= kLastSequence) {
        KO_LOG(-1, "koMap::Set: no sequence number left for the key");
        destructor_(item, nullptr);
        return 1;
      }
      item->sequence = sequence + 1;
    }
  }

  void** slot = tavl_probe(table_, item);
  if (slot == nullptr) {
    KO_LOG(-1, "tavl_probe");
    destructor_(item, nullptr);
    return 1;
  }
  if (*slot != item) {
    // An equal key without duplicates: the new item takes the old one's node.
    assert(!allowDuplicates_);
    void* old = *slot;
    *slot = item;
    destructor_(old, nullptr);
  }
  return 0;
}

void* koMap::GetItem(const koString& key, uint32_t index) const {
  if (table_ == nullptr) return nullptr;
  koMapItem probe = {const_cast<koString*>(&key), index, nullptr};
  koMapItem* found = static_cast<koMapItem*>(tavl_find(table_, &probe));
  return found != nullptr ? found->value : nullptr;
}

void* koMap::Get(const char* key, uint32_t index) const {
  koString k(key != nullptr ? key : "");
  return GetItem(k, index);
}

void* koMap::Get(const koString& key, uint32_t index) const { return GetItem(key, index); }

int koMap::EraseItem(const koString& key) {
  if (table_ == nullptr) return 0;
  koMapItem probe = {const_cast<koString*>(&key), 0, nullptr};
  void* found = tavl_delete(table_, &probe);
  if (found == nullptr) return 0;
  destructor_(found, nullptr);
  return 1;
}

int koMap::Erase(const char* key) {
  koString k(key != nullptr ? key : "");
  return EraseItem(k);
}

int koMap::Erase(const koString& key) { return EraseItem(key); }

int koMap::IsFull(const koString& key) const {
  if (table_ == nullptr || !allowDuplicates_) return 0;
  tavl_node* last = FindKeyEnd(table_, &key, 1);
  return last != nullptr && ItemOf(last)->sequence >= kLastSequence ? 1 : 0;
}

uint32_t koMap::CountKey(const koString& key) const {
  if (table_ == nullptr) return 0;
  tavl_traverser trav = {table_, FindKeyEnd(table_, &key, 0)};
  if (trav.node == nullptr) return 0;
  uint32_t n = 1;
  for (void* item = tavl_t_next(&trav); item != nullptr; item = tavl_t_next(&trav)) {
    if (CompareKeys(&key, static_cast<koMapItem*>(item)->key) != 0) break;
    n++;
  }
  return n;
}

uint32_t koMap::NextSequence(const char* key) const {
  koString k(key != nullptr ? key : "");
  return CountKey(k);
}

uint32_t koMap::NextSequence(const koString& key) const { return CountKey(key); }

koMapIter koMap::IterFirst() {
  koMapIter it;
  it.map = this;
  tavl_t_init(&it.trav, table_);
  if (table_ != nullptr) tavl_t_first(&it.trav, table_);
  return it;
}

int koMap::IterAtEnd(const koMapIter* it) const { return it->trav.node == nullptr ? 1 : 0; }

koMapItem* koMap::IterRewind(koMapIter* it) {
  if (table_ == nullptr) return nullptr;
  return static_cast<koMapItem*>(tavl_t_first(&it->trav, table_));
}

koMapItem* koMap::IterNext(koMapIter* it) {
  if (table_ == nullptr) return nullptr;
  return static_cast<koMapItem*>(tavl_t_next(&it->trav));
}

koString* koMap::IterKey(const koMapIter* it) const {
  const koMapItem* item = static_cast<const koMapItem*>(tavl_t_cur(&it->trav));
  return item != nullptr ? item->key : nullptr;
}

void* koMap::IterValue(const koMapIter* it) const {
  const koMapItem* item = static_cast<const koMapItem*>(tavl_t_cur(&it->trav));
  return item != nullptr ? item->value : nullptr;
}
