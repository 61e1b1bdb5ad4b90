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
  void* arg;
};
std::vector<Gone> gGone;

void RecordingDestructor(void* item, void* arg) {
  koMapItem* it = static_cast<koMapItem*>(item);
  Val* v = static_cast<Val*>(it->value);
  gGone.push_back({v != nullptr ? v->id : -1, arg});
  delete it->key;
  delete v;
  free(it);
}

int IdOf(void* value) { return value != nullptr ? static_cast<Val*>(value)->id : -1; }

int Set(koMap& map, const char* key, int id) { return map.Set(new koString(key), new Val{id}); }

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

// The destructor received exactly item `id` (-1: none), without the map as argument.
bool GoneAlone(int id) {
  return id < 0 ? gGone.empty() : gGone.size() == 1 && gGone[0].id == id && gGone[0].arg == nullptr;
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
  SCOPED_TRACE("PV_MAP_SEED=" + std::to_string(seed) +
               " duplicates=" + std::to_string(allowDuplicates));
  std::mt19937_64 rng(seed);
  std::vector<std::string> pool = KeyPool(rng);
  std::unique_ptr<koMap> map(new koMap(allowDuplicates, RecordingDestructor));
  Model model;
  int nextId = 0;
  gGone.clear();

  for (int step = 0; step < steps; step++) {
    SCOPED_TRACE("step " + std::to_string(step));
    const std::string& key = pool[rng() % pool.size()];
    unsigned op = rng() % 100;
    auto range = model.equal_range(key);
    gGone.clear();

    if (model.size() > 80 || op == 99) {
      // Destroy: every item, in order, with the map as argument; a second call does nothing.
      map->Destroy();
      map->Destroy();
      ASSERT_EQ(gGone.size(), model.size());
      size_t i = 0;
      for (const auto& e : model) {
        ASSERT_EQ(gGone[i].id, e.second.id);
        ASSERT_EQ(gGone[i++].arg, map.get());
      }
      map.reset(new koMap(allowDuplicates, RecordingDestructor));
      model.clear();
      continue;
    }

    if (op < 45) {  // Set: a duplicate goes last; without duplicates it replaces
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
      ASSERT_EQ(Set(*map, key.c_str(), id), 0);
      ASSERT_TRUE(GoneAlone(replaced));
    } else if (op < 65) {  // Erase: only the item with sequence 0
      int expected = -1;
      if (range.first != range.second && range.first->second.sequence == 0) {
        expected = range.first->second.id;
        model.erase(range.first);
      }
      int erased = op % 2 ? map->Erase(key.c_str()) : map->Erase(koString(key.c_str()));
      ASSERT_EQ(erased, expected >= 0 ? 1 : 0) << "key '" << key << "'";
      ASSERT_TRUE(GoneAlone(expected));
    } else if (op < 90) {  // Get
      uint32_t index = static_cast<uint32_t>(rng() % 4);
      int expected = -1;
      for (auto e = range.first; e != range.second; ++e)
        if (!allowDuplicates || e->second.sequence == index) expected = e->second.id;
      void* got = op % 2 ? map->Get(key.c_str(), index) : map->Get(koString(key.c_str()), index);
      ASSERT_EQ(IdOf(got), expected) << "key '" << key << "' index " << index;
    } else {
      ASSERT_EQ(map->NextSequence(key.c_str()), model.count(key));
    }

    ::testing::AssertionResult valid = tavl_check::Valid(map->GetTable());
    if (!valid) map.release();  // a broken tree cannot be destroyed safely
    ASSERT_TRUE(valid);
    ASSERT_EQ(map->GetTable()->count, model.size());
    ASSERT_TRUE(SameOrder(*map, model)) << "order differs";
  }
}

TEST(KMapDifferential, MatchesMultimapWithAndWithoutDuplicates) {
  uint64_t seed = Seed();
  RunDifferential(1, seed, 50000);
  if (HasFatalFailure()) return;
  RunDifferential(0, seed + 1, 50000);
}

// ---- edges the random walk does not reach ----

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
  EXPECT_EQ(map.Get("same", 0xFFFF), reinterpret_cast<void*>(0x10000));
  EXPECT_EQ(map.Set(new koString("other"), nullptr), 0);
}

TEST(KMapIterator, AnExhaustedIteratorStartsAgainAndLateSetsAreRefused) {
  koMap map(1, RecordingDestructor);
  koMapIter it = map.IterFirst();
  EXPECT_EQ(map.IterNext(&it), nullptr);  // empty
  for (int id : {2, 1, 3}) Set(map, std::string(1, static_cast<char>('a' + id - 1)).c_str(), id);
  it = map.IterFirst();
  EXPECT_STREQ(map.IterKey(&it)->GetString(), "a");
  EXPECT_EQ(IdOf(map.IterNext(&it)->value), 2);
  EXPECT_EQ(IdOf(map.IterNext(&it)->value), 3);
  EXPECT_EQ(map.IterNext(&it), nullptr);
  EXPECT_EQ(map.IterAtEnd(&it), 1);
  EXPECT_EQ(IdOf(map.IterNext(&it)->value), 1);

  map.Destroy();
  gGone.clear();
  EXPECT_NE(Set(map, "late", 4), 0);  // refused, and freed
  EXPECT_EQ(gGone.size(), 1u);
  EXPECT_EQ(map.Get("late"), nullptr);
  EXPECT_EQ(map.Get(static_cast<const char*>(nullptr)), nullptr);
}

TEST(KMapDestroy, StockDestructorsFreeWhatTheyOwn) {
  // The leak checker watches.
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
