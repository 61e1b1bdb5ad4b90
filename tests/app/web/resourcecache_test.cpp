#include "app/web/resourcecache.h"

#include <sys/stat.h>
#include <sys/time.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/child.h"
#include "support/files.h"

namespace {

namespace fs = std::filesystem;

class Cache : public ::testing::Test {
 protected:
  void Put(const std::string& name, const std::string& bytes, int mtime) {
    const std::string path = dir_.File("web/" + name);
    fs::create_directories(fs::path(path).parent_path());
    pvtest::WriteFile(path, bytes);
    struct timeval times[2] = {{mtime, 0}, {mtime, 0}};
    utimes(path.c_str(), times);
  }
  // Packs web/ into `store` with the build's tool.
  void Pack(const std::string& store) {
    const char* build = getenv("PV_BUILD_DIR");
    ASSERT_EQ(0, pvtest::RunChild({std::string(build != nullptr ? build : ".") + "/tools/respack",
                                   dir_.File("web"), store}));
  }
  std::string Text(const std::shared_ptr<const ResourceCache::Page>& page) {
    return page == nullptr ? "<none>"
                           : std::string(page->content.GetString(), page->content.GetLength());
  }

  static constexpr int kRecheckMs = 100;
  // Counts the heads made, and writes the name and length into each.
  static void CountingHead(const char* name, ResourceCache::Page* page) {
    ++heads_made_;
    page->head.Format("%s:%u", name, page->content.GetLength());
  }
  static inline std::atomic<int> heads_made_{0};
  // The cache's clock: it moves only when a test moves it.
  static int64_t Now() { return now_ms_; }
  static inline std::atomic<int64_t> now_ms_{1000};

  pvtest::TempDir dir_;
  std::string store_ = dir_.File("postvane.res");
  ResourceCache cache_{&CountingHead, kRecheckMs, &Now};
};

TEST_F(Cache, ServesPagesIgnoringLetterCaseAndReadsAReplacedStoreAfterAWhile) {
  heads_made_ = 0;
  const std::string binary("\x89PNG\0\0\x01\xFF", 8);
  Put("index.html", "<html>old</html>", 1300000000);
  Put("images/Pic.png", binary, 1300000060);
  Pack(store_);
  auto page = cache_.Find(store_.c_str(), "index.html");
  EXPECT_EQ("<html>old</html>", Text(page));
  EXPECT_EQ(1300000000, page->modified);
  EXPECT_EQ(binary, Text(cache_.Find(store_.c_str(), "IMAGES/pic.PNG")));
  EXPECT_EQ(nullptr, cache_.Find(store_.c_str(), "nosuch.html"));
  EXPECT_EQ(nullptr, cache_.Find(dir_.File("missing.res").c_str(), "index.html"));
  EXPECT_EQ(nullptr, cache_.Find(nullptr, "index.html"));
  // A cached page is the same object on the next request, its head made once.
  EXPECT_EQ(page.get(), cache_.Find(store_.c_str(), "INDEX.html").get());
  EXPECT_EQ("index.html:16", std::string(page->head.GetString()));
  EXPECT_EQ(2, heads_made_.load());

  // An update writes a new store and renames it over the old one: the old
  // pages are served until the store is looked at again.
  Put("index.html", "<html>new</html>", 1300000100);
  Pack(dir_.File("next.res"));
  ASSERT_EQ(0, rename(dir_.File("next.res").c_str(), store_.c_str()));
  EXPECT_EQ(page.get(), cache_.Find(store_.c_str(), "index.html").get());
  now_ms_ += kRecheckMs - 1;
  EXPECT_EQ(page.get(), cache_.Find(store_.c_str(), "index.html").get());
  now_ms_ += 1;
  EXPECT_EQ("<html>new</html>", Text(cache_.Find(store_.c_str(), "index.html")));
  EXPECT_EQ(1300000100, cache_.Find(store_.c_str(), "index.html")->modified);
  // What a request still holds stays whole.
  EXPECT_EQ("<html>old</html>", Text(page));
}

TEST_F(Cache, ManyThreadsGetTheSamePages) {
  for (int i = 0; i < 20; ++i) Put("p" + std::to_string(i) + ".html", std::string(1000 + i, 'a'), 1300000000);
  Pack(store_);
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 200; ++round) {
        int i = (round + t) % 20;
        auto page = cache_.Find(store_.c_str(), ("p" + std::to_string(i) + ".html").c_str());
        wrong += page == nullptr || page->content.GetLength() != static_cast<uint32_t>(1000 + i);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(0, wrong.load());
}

}  // namespace
