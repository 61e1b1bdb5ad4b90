// koMap: ordered map from koString keys to untyped values over a threaded AVL tree.
//
// Keys compare byte-wise with ASCII letters folded to lower case ("Host" and
// "host" are one key); a key without text is the empty string, before every
// other key. With duplicates allowed, the values of one key keep the order in
// which they were stored; each carries a sequence number (0 for the first).
//
// Ownership: from Set on, an item, its key and its value belong to the map and
// leave it only through the item destructor (on replacement, Erase, a refused
// Set, or Destroy). Items are malloc'ed; a destructor frees the item block.
// Lifetime: created in its owner's constructor, destroyed in its destructor.
// Not thread-safe: used by one thread, or under the owner's lock.
#ifndef PV_CORE_KMAP_H
#define PV_CORE_KMAP_H

#include <cstdint>

#include "core/ktavl.h"

class koString;
class koMap;

// One entry; one allocation.
struct koMapItem {
  koString* key;      // owned by the item
  uint32_t sequence;  // position among equal keys, 0..65535
  void* value;        // owned as the item destructor decides
};

// Receives an item leaving the map. arg is 0 from Set and Erase, the map from Destroy.
typedef void (*koMapItemDestructor)(void* item, void* arg);

// Position in a map: before the first item or after the last when the
// traverser's node is null. Erasing the current item invalidates it; other
// changes keep it valid.
struct koMapIter {
  koMap* map;
  tavl_traverser trav;
};

class koMap {
 public:
  // Empty map. destructor null: FreeItem.
  koMap(int allowDuplicates, koMapItemDestructor destructor);
  ~koMap();
  koMap(const koMap&) = delete;
  koMap& operator=(const koMap&) = delete;

  // Passes every item, in key order, to the item destructor (arg = this) and
  // frees the tree. Afterwards the map is empty and unusable; a second call
  // does nothing.
  void Destroy();

  // Stores (key, value); key and value now belong to the map. Returns 0 when
  // stored. Without duplicates an item of an equal key is replaced and goes
  // through the destructor. With duplicates the value goes after the ones
  // stored under the key; a key holding sequence 65535 refuses it. A refused
  // item (or one whose node could not be allocated) goes through the
  // destructor at once and Set returns 1.
  int Set(koString* key, void* value);

  // Value stored under key with sequence `index` (index 0: the first value
  // stored; maps without duplicates ignore the index), or null. A null key
  // text is the empty key.
  void* Get(const char* key, uint32_t index = 0) const;
  void* Get(const koString& key, uint32_t index = 0) const;

  // Removes the item (key, sequence 0) through the destructor: 1, or 0 when
  // there is none. With duplicates only the first value goes; the others keep
  // their sequence numbers.
  int Erase(const char* key);
  int Erase(const koString& key);

  // 1 when Set would refuse another value under key: the key holds the last
  // sequence number. Costs one descent of the tree.
  int IsFull(const koString& key) const;

  // Number of items now stored under key.
  uint32_t NextSequence(const char* key) const;
  uint32_t NextSequence(const koString& key) const;

  // Tree order of two koMapItem; `map` is the koMap (comparison parameter).
  static int CompareItems(const void* a, const void* b, void* map);
  // Default destructor: deletes the key, free()s the value, frees the item.
  static void FreeItem(void* item, void* arg);
  // Deletes key and value as koString objects, frees the item.
  static void FreeStringItem(void* item, void* arg);

  // Iterator at the first item (at its end when the map is empty).
  koMapIter IterFirst();
  // 1 when the iterator has no current item.
  int IterAtEnd(const koMapIter* it) const;
  // Back to the first item; returns it (null for an empty map).
  koMapItem* IterRewind(koMapIter* it);
  // Advances and returns the new current item, or null after the last; from
  // there the next call starts again at the first item.
  koMapItem* IterNext(koMapIter* it);
  // Key / value of the current item, or null.
  koString* IterKey(const koMapIter* it) const;
  void* IterValue(const koMapIter* it) const;

  // The tree, for inspection; null after Destroy.
  const tavl_table* GetTable() const { return table_; }

 private:
  void* GetItem(const koString& key, uint32_t index) const;
  int EraseItem(const koString& key);
  uint32_t CountKey(const koString& key) const;

  tavl_table* table_;
  int allowDuplicates_;
  koMapItemDestructor destructor_;
};

#endif  // PV_CORE_KMAP_H
