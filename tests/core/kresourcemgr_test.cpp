#include "core/kresourcemgr.h"

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/klog.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

const int kStamp = 1300000000;  // 2011-03-13

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const std::string& path, const std::string& bytes, int mtime) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
  struct timeval times[2] = {{mtime, 0}, {mtime, 0}};
  utimes(path.c_str(), times);
}

// Runs the build's packing tool; its exit status.
int Pack(const std::string& folder, const std::string& store) {
  const char* build = getenv("PV_BUILD_DIR");
  std::string tool = std::string(build != nullptr ? build : ".") + "/tools/respack";
  std::vector<char*> argv = {const_cast<char*>(tool.c_str()), const_cast<char*>(folder.c_str()),
                             const_cast<char*>(store.c_str()), nullptr};
  pid_t pid;
  if (posix_spawn(&pid, tool.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class ResourceStore : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/pvresXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    web_ = dir_ + "/web";
    store_ = dir_ + "/res/postvane.res";
    log_path_ = dir_ + "/postvane.log";
    log_ = new koLog("test");
    log_->SetFileName(log_path_.c_str());
    gLog = log_;
  }
  void TearDown() override {
    gLog = nullptr;
    delete log_;
    fs::remove_all(dir_);
  }
  std::string Log() const { return ReadFile(log_path_); }

  std::string dir_, web_, store_, log_path_;
  koLog* log_ = nullptr;
};

TEST_F(ResourceStore, FindsPackedResourcesIgnoringLetterCase) {
  const std::string binary("\x89PNG\0\0\x01\xFF", 8);
  WriteFile(web_ + "/index.html", "<html>index</html>", kStamp);
  WriteFile(web_ + "/images/sub/pic.png", binary, kStamp + 60);
  WriteFile(web_ + "/empty.txt", "", kStamp);
  WriteFile(web_ + "/.hidden", "editor leftover", kStamp);
  ASSERT_EQ(Pack(web_, store_), 0);

  koResourceMgr res(store_.c_str(), gLog);
  ASSERT_EQ(res.Open(), 1);

  int length = -1;
  const char* page = res.GetResource("Index.HTML", &length);
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(length, 18);
  EXPECT_STREQ(page, "<html>index</html>");  // zero byte behind the content

  const char* png = res.GetResource("IMAGES/Sub/pic.png", &length);
  ASSERT_NE(png, nullptr);
  ASSERT_EQ(length, 8);
  EXPECT_EQ(std::string(png, 8), binary);
  EXPECT_EQ(png[8], '\0');

  // Empty and missing differ: a buffer with only the zero byte, or none.
  const char* empty = res.GetResource("empty.txt", &length);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(length, 0);
  EXPECT_EQ(empty[0], '\0');
  length = -1;
  EXPECT_EQ(res.GetResource("missing.html", &length), nullptr);
  EXPECT_EQ(length, 0);
  EXPECT_EQ(res.GetResource(".hidden", &length), nullptr);
  EXPECT_EQ(res.GetResource("index.htm", &length), nullptr);
  EXPECT_EQ(res.GetResource("", &length), nullptr);
  // Statements are reused across lookups.
  for (int i = 0; i < 3; ++i) EXPECT_NE(res.GetResource("index.html", &length), nullptr);

  EXPECT_EQ(res.GetLastWriteTime("INDEX.html"), kStamp);
  EXPECT_EQ(res.GetLastWriteTime("images/sub/pic.png"), kStamp + 60);
  EXPECT_EQ(res.GetLastWriteTime("missing.html"), 0);
  EXPECT_EQ(Log(), "");
}

TEST_F(ResourceStore, IsNewerThanComparesWithTheClientsValidator) {
  WriteFile(web_ + "/index.html", "x", kStamp);
  ASSERT_EQ(Pack(web_, store_), 0);
  koResourceMgr res(store_.c_str(), gLog);
  ASSERT_EQ(res.Open(), 1);

  const struct {
    const char* validator;
    bool newer;
  } cases[] = {
      {"1300000000", false},      // the stored time itself
      {"1299999999", true},       {"1300000001", false},
      {"0", true},                {"", true},
      {"abc", true},              // no leading digits: 0
      {"1300000000-gzip", false}, // leading digits only
      {"-5", true},               // a sign is not a digit: 0
      {"99999999999999999999999", false},
  };
  for (const auto& c : cases) {
    int time = -1;
    EXPECT_EQ(res.IsNewerThan("index.html", c.validator, &time), c.newer) << c.validator;
    EXPECT_EQ(time, kStamp) << c.validator;
  }
  int time = -1;
  EXPECT_TRUE(res.IsNewerThan("index.html", nullptr, &time));
  EXPECT_FALSE(res.IsNewerThan("missing.html", "0", &time));
  EXPECT_EQ(time, 0);
}

TEST_F(ResourceStore, MissingStoreFailsToOpenAndCreatesNothing) {
  koResourceMgr res(store_.c_str(), gLog);
  EXPECT_EQ(res.Open(), 0);
  EXPECT_FALSE(fs::exists(store_));
  std::string log = Log();
  EXPECT_NE(log.find("ErrCode:14 ErrMsg:[DB: " + store_ + "] unable to open database file\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("ErrCode:-1 ErrMsg:" + store_ + "\n"), std::string::npos) << log;

  // Questions to an unopened store give nothing and are recorded.
  int length = -1;
  EXPECT_EQ(res.GetResource("index.html", &length), nullptr);
  EXPECT_EQ(length, 0);
  EXPECT_EQ(res.GetLastWriteTime("index.html"), 0);
  EXPECT_NE(Log().find("ErrMsg:SELECT res_content FROM resources WHERE lower(res_name) = lower(?)"),
            std::string::npos);
}

TEST_F(ResourceStore, StoreWithoutTheTableGivesNothing) {
  WriteFile(dir_ + "/res/postvane.res", "", kStamp);  // an empty file is an empty database
  koResourceMgr res(store_.c_str(), gLog);
  ASSERT_EQ(res.Open(), 1);
  int length = -1;
  EXPECT_EQ(res.GetResource("index.html", &length), nullptr);
  EXPECT_EQ(res.GetLastWriteTime("index.html"), 0);
  EXPECT_NE(Log().find("no such table: resources"), std::string::npos) << Log();
}

TEST_F(ResourceStore, PackingRefusesNamesThatDifferOnlyInCase) {
  WriteFile(web_ + "/page.html", "one", kStamp);
  ASSERT_EQ(Pack(web_, store_), 0);
  WriteFile(web_ + "/Page.html", "two", kStamp);
  EXPECT_NE(Pack(web_, store_), 0);
  // The earlier store is left as it was.
  koResourceMgr res(store_.c_str(), gLog);
  ASSERT_EQ(res.Open(), 1);
  int length = 0;
  EXPECT_STREQ(res.GetResource("PAGE.HTML", &length), "one");
  EXPECT_FALSE(fs::exists(store_ + ".tmp"));
}

// The build packs web/ into <build>/res/postvane.res beside bin/.
TEST(BuiltResourceStore, HoldsTheWebFolder) {
  const char* build = getenv("PV_BUILD_DIR");
  const char* source = getenv("PV_SOURCE_DIR");
  ASSERT_NE(build, nullptr);
  ASSERT_NE(source, nullptr);
  std::string store = std::string(build) + "/res/postvane.res";
  koResourceMgr res(store.c_str(), nullptr);
  ASSERT_EQ(res.Open(), 1);
  for (const char* name :
       {"acrosssession.html", "pv-one-pixel.png", "images/pv-contact-default-image.png"}) {
    std::string file = std::string(source) + "/web/" + name;
    std::string bytes = ReadFile(file);
    ASSERT_FALSE(bytes.empty()) << file;
    int length = 0;
    const char* got = res.GetResource(name, &length);
    ASSERT_NE(got, nullptr) << name;
    EXPECT_EQ(std::string(got, length), bytes) << name;
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(res.GetLastWriteTime(name), static_cast<int>(st.st_mtime)) << name;
  }
}

}  // namespace
