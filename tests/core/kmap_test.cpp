#include "core/kmap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/kstring.h"
#include "core/tavl_check.h"

namespace {

// Values are numbered; the recording destructor notes every item it receives.
struct Val {
  int id;
};

struct Gone {
  int id;
  std::string key;
  void* arg;
};
std::vector<Gone> gGone;

void RecordingDestructor(void* item, void* arg) {
  koMapItem* it = static_cast<koMapItem*>(item);
  Val* v = static_cast<Val*>(it->value);
  gGone.push_back({v != nullptr ? v->id : -1, it->key->GetString(), arg});
  delete it->key;
  delete v;
  free(it);
}

int IdOf(void* value) { return value != nullptr ? static_cast<Val*>(value)->id : -1; }

int Set(koMap& map, const char* key, int id) { return map.Set(new koString(key), new Val{id}); }

// Keys, values and sequences in iteration order.
struct Seen {
  std::string key;
  int id;
  uint32_t sequence;
  bool operator==(const Seen& o) const { return key == o.key && id == o.id && sequence == o.sequence; }
};
std::vector<Seen> Walk(koMap& map) {
  std::vector<Seen> out;
  koMapIter it = map.IterFirst();
  for (koMapItem* item = map.IterRewind(&it); item != nullptr; item = map.IterNext(&it)) {
    if (map.IterKey(&it) != item->key || map.IterValue(&it) != item->value) return {};
    out.push_back({item->key->GetString(), IdOf(item->value), item->sequence});
  }
  return out;
}

// ---- differential test against std::multimap ----

unsigned char Fold(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return u >= 'A' && u <= 'Z' ? static_cast<unsigned char>(u - 'A' + 'a') : u;
}
struct FoldLess {
  bool operator()(const std::string& a, const std::string& b) const {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](char x, char y) { return Fold(x) < Fold(y); });
  }
};
struct Entry {
  std::string text;
  uint32_t sequence;
  int id;
};
typedef std::multimap<std::string, Entry, FoldLess> Model;  // equal keys stay in insertion order

// The map's items in iteration order are exactly the model's entries.
bool SameOrder(koMap& map, const Model& model) {
  koMapIter it = map.IterFirst();
  koMapItem* item = map.IterRewind(&it);
  for (const auto& e : model) {
    if (item == nullptr || map.IterKey(&it) != item->key || map.IterValue(&it) != item->value ||
        e.second.text != item->key->GetString() || e.second.id != IdOf(item->value) ||
        e.second.sequence != item->sequence)
      return false;
    item = map.IterNext(&it);
  }
  return item == nullptr;
}

std::vector<Seen> Expected(const Model& model) {
  std::vector<Seen> out;
  for (const auto& e : model) out.push_back({e.second.text, e.second.id, e.second.sequence});
  return out;
}

// Short keys over letters and the bytes next to them ('@' before 'A', "[_`"
// between 'Z' and 'a', '{' after 'z'), plus a two-byte letter whose cases must
// stay distinct; each in random letter case so that equal keys differ in case.
std::vector<std::string> KeyPool(std::mt19937_64& rng) {
  const char alphabet[] = "abcxyz@[_`{";
  std::vector<std::string> bases;
  for (int i = 0; i < 40; i++) {
    std::string b;
    int len = static_cast<int>(rng() % 5);
    for (int j = 0; j < len; j++) b += alphabet[rng() % (sizeof(alphabet) - 1)];
    if (rng() % 10 == 0) b += rng() % 2 ? "\xC3\xA9" : "\xC3\x89";
    bases.push_back(b);
  }
  std::vector<std::string> pool;
  for (int i = 0; i < 300; i++) {
    std::string k = bases[rng() % bases.size()];
    for (char& c : k)
      if (c >= 'a' && c <= 'z' && rng() % 2) c = static_cast<char>(c - 'a' + 'A');
    pool.push_back(k);
  }
  return pool;
}

uint64_t Seed() {
  const char* env = getenv("PV_MAP_SEED");
  uint64_t seed = env != nullptr ? strtoull(env, nullptr, 10) : std::random_device()();
  printf("koMap differential seed %llu (re-run with PV_MAP_SEED=%llu)\n",
         static_cast<unsigned long long>(seed), static_cast<unsigned long long>(seed));
  return seed;
}

void RunDifferential(int allowDuplicates, uint64_t seed, int steps) {
  SCOPED_TRACE("PV_MAP_SEED=" + std::to_string(seed) + " duplicates=" + std::to_string(allowDuplicates));
  std::mt19937_64 rng(seed);
  std::vector<std::string> pool = KeyPool(rng);
  std::unique_ptr<koMap> map(new koMap(allowDuplicates, RecordingDestructor));
  Model model;
  int nextId = 0;
  gGone.clear();

  for (int step = 0; step < steps; step++) {
    const std::string& key = pool[rng() % pool.size()];
    unsigned op = rng() % 100;
    auto range = model.equal_range(key);
    gGone.clear();

    if (model.size() > 80 || op == 99) {
      // Destroy: every item, in order, with the map as argument.
      std::vector<Seen> before = Expected(model);
      map->Destroy();
      map->Destroy();
      ASSERT_EQ(gGone.size(), before.size()) << "step " << step;
      for (size_t i = 0; i < before.size(); i++) {
        ASSERT_EQ(gGone[i].id, before[i].id) << "step " << step;
        ASSERT_EQ(gGone[i].arg, map.get()) << "step " << step;
      }
      map.reset(new koMap(allowDuplicates, RecordingDestructor));
      model.clear();
      continue;
    }

    if (op < 45) {  // Set
      int id = nextId++;
      int replaced = -1;
      uint32_t sequence = 0;
      if (allowDuplicates) {
        if (range.first != range.second) sequence = std::prev(range.second)->second.sequence + 1;
      } else if (range.first != range.second) {
        replaced = range.first->second.id;
        model.erase(range.first);
      }
      model.insert({key, Entry{key, sequence, id}});
      ASSERT_EQ(Set(*map, key.c_str(), id), 0) << "step " << step;
      if (replaced >= 0) {
        ASSERT_EQ(gGone.size(), 1u) << "step " << step;
        ASSERT_EQ(gGone[0].id, replaced) << "step " << step;
        ASSERT_EQ(gGone[0].arg, nullptr) << "step " << step;
      } else {
        ASSERT_TRUE(gGone.empty()) << "step " << step;
      }
    } else if (op < 65) {  // Erase: only the item with sequence 0
      int expected = -1;
      if (range.first != range.second && range.first->second.sequence == 0) {
        expected = range.first->second.id;
        model.erase(range.first);
      }
      int erased = op % 2 ? map->Erase(key.c_str()) : map->Erase(koString(key.c_str()));
      ASSERT_EQ(erased, expected >= 0 ? 1 : 0) << "step " << step << " key '" << key << "'";
      if (expected >= 0) {
        ASSERT_EQ(gGone.size(), 1u) << "step " << step;
        ASSERT_EQ(gGone[0].id, expected) << "step " << step;
        ASSERT_EQ(gGone[0].arg, nullptr) << "step " << step;
      }
    } else if (op < 90) {  // Get
      uint32_t index = static_cast<uint32_t>(rng() % 4);
      int expected = -1;
      for (auto e = range.first; e != range.second; ++e)
        if (!allowDuplicates || e->second.sequence == index) expected = e->second.id;
      void* got = op % 2 ? map->Get(key.c_str(), index) : map->Get(koString(key.c_str()), index);
      ASSERT_EQ(IdOf(got), expected) << "step " << step << " key '" << key << "' index " << index;
    } else {  // NextSequence
      ASSERT_EQ(map->NextSequence(key.c_str()), model.count(key)) << "step " << step;
    }

    ::testing::AssertionResult valid = tavl_check::Valid(map->GetTable());
    if (!valid) map.release();  // a broken tree cannot be destroyed safely
    ASSERT_TRUE(valid) << "step " << step;
    ASSERT_EQ(map->GetTable()->count, model.size()) << "step " << step;
    ASSERT_TRUE(SameOrder(*map, model)) << "step " << step << ": order differs";
  }
}

TEST(KMapDifferential, MatchesMultimapWithAndWithoutDuplicates) {
  uint64_t seed = Seed();
  RunDifferential(1, seed, 50000);
  if (HasFatalFailure()) return;
  RunDifferential(0, seed + 1, 50000);
}

// ---- grouped edge cases ----

TEST(KMapDuplicates, KeysDifferingInCaseAreOneKeyInStoringOrder) {
  koMap map(1, RecordingDestructor);
  ASSERT_EQ(Set(map, "Host", 1), 0);
  ASSERT_EQ(Set(map, "host", 2), 0);
  EXPECT_EQ(IdOf(map.Get("HOST", 1)), 2);
  EXPECT_EQ(IdOf(map.Get(koString("hOsT"), 0)), 1);
  EXPECT_EQ(map.Get("host", 2), nullptr);
  EXPECT_EQ(map.NextSequence("HOST"), 2u);
  EXPECT_EQ(Walk(map), (std::vector<Seen>{{"Host", 1, 0}, {"host", 2, 1}}));
}

TEST(KMapDuplicates, EraseRemovesOnlyTheFirstValueAndLaterValuesGoLast) {
  koMap map(1, RecordingDestructor);
  for (int id = 1; id <= 3; id++) Set(map, "k", id);
  gGone.clear();
  EXPECT_EQ(map.Erase("K"), 1);
  ASSERT_EQ(gGone.size(), 1u);
  EXPECT_EQ(gGone[0].id, 1);
  EXPECT_EQ(gGone[0].arg, nullptr);
  EXPECT_EQ(map.Get("k", 0), nullptr);
  EXPECT_EQ(IdOf(map.Get("k", 1)), 2);
  EXPECT_EQ(IdOf(map.Get("k", 2)), 3);
  EXPECT_EQ(map.NextSequence("k"), 2u);  // the values still stored
  EXPECT_EQ(map.Erase("k"), 0);          // no sequence 0 any more

  // A value stored after the Erase comes after the remaining ones.
  ASSERT_EQ(Set(map, "k", 4), 0);
  EXPECT_EQ(IdOf(map.Get("k", 3)), 4);
  EXPECT_EQ(Walk(map), (std::vector<Seen>{{"k", 2, 1}, {"k", 3, 2}, {"k", 4, 3}}));
}

int gRefused = 0;
void CountingDestructor(void* item, void* arg) {
  koMapItem* it = static_cast<koMapItem*>(item);
  if (arg == nullptr) gRefused++;
  delete it->key;
  free(it);
}

TEST(KMapDuplicates, AKeyOutOfSequenceNumbersRefusesAndFreesTheItem) {
  koMap map(1, CountingDestructor);
  for (intptr_t i = 0; i <= 0xFFFF; i++)
    ASSERT_EQ(map.Set(new koString("Same"), reinterpret_cast<void*>(i + 1)), 0) << i;
  gRefused = 0;
  EXPECT_NE(map.Set(new koString("SAME"), reinterpret_cast<void*>(-1)), 0);
  EXPECT_EQ(gRefused, 1);  // freed at once, nothing leaks
  EXPECT_EQ(map.GetTable()->count, 0x10000u);
  EXPECT_EQ(map.Get("same", 0), reinterpret_cast<void*>(1));
  EXPECT_EQ(map.Get("same", 0xFFFF), reinterpret_cast<void*>(0x10000));
  // Other keys are unaffected.
  EXPECT_EQ(map.Set(new koString("other"), nullptr), 0);
}

TEST(KMapReplace, WithoutDuplicatesASecondSetDestroysTheFirstItem) {
  koMap map(0, RecordingDestructor);
  Set(map, "Key", 1);
  gGone.clear();
  ASSERT_EQ(Set(map, "KEY", 2), 0);
  ASSERT_EQ(gGone.size(), 1u);
  EXPECT_EQ(gGone[0].id, 1);
  EXPECT_EQ(gGone[0].key, "Key");
  EXPECT_EQ(gGone[0].arg, nullptr);
  EXPECT_EQ(map.GetTable()->count, 1u);
  EXPECT_EQ(IdOf(map.Get("key")), 2);
  EXPECT_EQ(IdOf(map.Get("key", 3)), 2);  // no sequences without duplicates
  EXPECT_EQ(map.NextSequence("key"), 1u);
  EXPECT_EQ(Walk(map), (std::vector<Seen>{{"KEY", 2, 0}}));
}

TEST(KMapKeys, EmptyKeySortsFirstAndOnlyAsciiLettersFold) {
  koMap map(0, RecordingDestructor);
  for (const char* k : {"B", "{", "a", "_", "[", "\xC3\xA9", "\xC3\x89"}) Set(map, k, static_cast<unsigned char>(k[0]));
  ASSERT_EQ(map.Set(new koString(), new Val{0}), 0);  // a key without text
  std::vector<std::string> keys;
  for (const Seen& s : Walk(map)) keys.push_back(s.key);
  // '_' and '[' lie between 'Z' and 'a': folding to lower case puts them first.
  EXPECT_EQ(keys, (std::vector<std::string>{"", "[", "_", "a", "B", "{", "\xC3\x89", "\xC3\xA9"}));
  EXPECT_EQ(IdOf(map.Get("")), 0);
  EXPECT_EQ(IdOf(map.Get(static_cast<const char*>(nullptr))), 0);
  EXPECT_EQ(map.Erase(""), 1);
  EXPECT_EQ(map.Get(""), nullptr);
}

TEST(KMapEmpty, GetEraseAndIterationFindNothing) {
  koMap map(1, nullptr);
  EXPECT_EQ(map.Get("x"), nullptr);
  EXPECT_EQ(map.Erase("x"), 0);
  EXPECT_EQ(map.NextSequence("x"), 0u);
  koMapIter it = map.IterFirst();
  EXPECT_EQ(map.IterAtEnd(&it), 1);
  EXPECT_EQ(map.IterKey(&it), nullptr);
  EXPECT_EQ(map.IterValue(&it), nullptr);
  EXPECT_EQ(map.IterNext(&it), nullptr);
  EXPECT_EQ(map.IterRewind(&it), nullptr);
}

TEST(KMapIterator, ExhaustedIteratorStartsAgainAtTheFirstItem) {
  koMap map(1, RecordingDestructor);
  Set(map, "b", 2);
  Set(map, "a", 1);
  Set(map, "c", 3);
  koMapIter it = map.IterFirst();
  ASSERT_EQ(map.IterAtEnd(&it), 0);
  EXPECT_STREQ(map.IterKey(&it)->GetString(), "a");
  EXPECT_EQ(IdOf(map.IterValue(&it)), 1);
  EXPECT_EQ(IdOf(map.IterNext(&it)->value), 2);
  EXPECT_EQ(IdOf(map.IterNext(&it)->value), 3);
  EXPECT_EQ(map.IterNext(&it), nullptr);
  EXPECT_EQ(map.IterAtEnd(&it), 1);
  EXPECT_EQ(map.IterKey(&it), nullptr);
  EXPECT_EQ(IdOf(map.IterNext(&it)->value), 1);
  map.IterNext(&it);
  EXPECT_EQ(IdOf(map.IterRewind(&it)->value), 1);
}

TEST(KMapDestroy, EveryItemGoesThroughTheDestructorOnce) {
  {
    koMap map(1, RecordingDestructor);
    Set(map, "b", 2);
    Set(map, "A", 1);
    Set(map, "B", 3);
    gGone.clear();
    map.Destroy();
    ASSERT_EQ(gGone.size(), 3u);
    EXPECT_EQ(gGone[0].id, 1);
    EXPECT_EQ(gGone[1].id, 2);
    EXPECT_EQ(gGone[2].id, 3);
    EXPECT_EQ(gGone[0].arg, &map);
    EXPECT_EQ(map.GetTable(), nullptr);
    EXPECT_NE(Set(map, "late", 4), 0);  // refused, and freed
    EXPECT_EQ(gGone.size(), 4u);
    EXPECT_EQ(map.Get("b"), nullptr);
  }  // the destructor's second Destroy does nothing
  EXPECT_EQ(gGone.size(), 4u);

  // The stock destructors free what they own (the leak checker watches).
  koMap strings(1, koMap::FreeStringItem);
  strings.Set(new koString("Content-Type"), new koString("text/html"));
  strings.Set(new koString("content-type"), new koString("text/xml"));
  EXPECT_STREQ(static_cast<koString*>(strings.Get("CONTENT-TYPE", 1))->GetString(), "text/xml");
  koMap plain(0, nullptr);
  plain.Set(new koString("k"), strdup("one"));
  plain.Set(new koString("K"), strdup("two"));
  EXPECT_STREQ(static_cast<char*>(plain.Get("k")), "two");
}

}  // namespace
