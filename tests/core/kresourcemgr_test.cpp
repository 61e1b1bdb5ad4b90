#include "core/kresourcemgr.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/child.h"
#include "support/files.h"
#include "support/log_capture.h"

namespace {

namespace fs = std::filesystem;

const int kStamp = 1300000000;  // 2011-03-13

class ResourceStore : public ::testing::Test {
 protected:
  void Put(const std::string& name, const std::string& bytes, int mtime = kStamp) {
    const std::string path = web_ + "/" + name;
    fs::create_directories(fs::path(path).parent_path());
    pvtest::WriteFile(path, bytes);
    struct timeval times[2] = {{mtime, 0}, {mtime, 0}};
    utimes(path.c_str(), times);
  }
  // Runs the build's packing tool on the web folder; its exit code.
  int Pack() {
    const char* build = getenv("PV_BUILD_DIR");
    return pvtest::RunChild(
        {std::string(build != nullptr ? build : ".") + "/tools/respack", web_, store_});
  }

  pvtest::TempDir dir_;
  std::string web_ = dir_.File("web"), store_ = dir_.File("res/postvane.res");
  LogCapture log_{dir_.File("postvane.log")};
};

TEST_F(ResourceStore, FindsPackedResourcesIgnoringLetterCase) {
  const std::string binary("\x89PNG\0\0\x01\xFF", 8);
  Put("index.html", "<html>index</html>");
  Put("images/sub/pic.png", binary, kStamp + 60);
  Put("empty.txt", "");
  Put(".hidden", "editor leftover");
  ASSERT_EQ(Pack(), 0);
  koResourceMgr res(store_.c_str(), gLog);
  ASSERT_EQ(res.Open(), 1);

  int length = -1;
  const char* page = res.GetResource("Index.HTML", &length);
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(length, 18);
  EXPECT_STREQ(page, "<html>index</html>");  // zero byte behind the content
  const char* png = res.GetResource("IMAGES/Sub/pic.png", &length);
  ASSERT_NE(png, nullptr);
  EXPECT_EQ(std::string(png, length), binary);

  // Empty and missing differ: a buffer with only the zero byte, or none.
  const char* empty = res.GetResource("empty.txt", &length);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(length, 0);
  EXPECT_EQ(empty[0], '\0');
  for (const char* missing : {"missing.html", ".hidden", "index.htm", ""}) {
    length = -1;
    EXPECT_EQ(res.GetResource(missing, &length), nullptr) << missing;
    EXPECT_EQ(length, 0);
  }
  EXPECT_EQ(res.GetLastWriteTime("images/sub/PIC.png"), kStamp + 60);
  EXPECT_EQ(res.GetLastWriteTime("missing.html"), 0);
  EXPECT_EQ(log_.Text(), "");

  const struct {
    const char* validator;
    bool newer;
  } cases[] = {
      {"1300000000", false},  {"1299999999", true}, {"0", true},
      {"abc", true},          // no leading digits: 0
      {"1300000000-gzip", false},
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

TEST_F(ResourceStore, MissingOrTablelessStoreGivesNothing) {
  koResourceMgr missing(store_.c_str(), gLog);
  EXPECT_EQ(missing.Open(), 0);
  EXPECT_FALSE(fs::exists(store_));
  EXPECT_TRUE(log_.Has("ErrCode:14 ErrMsg:[DB: " + store_ + "] unable to open database file\n"));
  EXPECT_TRUE(log_.Has("ErrCode:-1 ErrMsg:" + store_ + "\n")) << log_.Text();
  int length = -1;
  EXPECT_EQ(missing.GetResource("index.html", &length), nullptr);
  EXPECT_EQ(length, 0);
  EXPECT_TRUE(
      log_.Has("ErrMsg:SELECT res_content FROM resources WHERE lower(res_name) = lower(?)"));

  fs::create_directories(dir_.File("res"));
  pvtest::WriteFile(store_, "");  // an empty file is an empty database
  koResourceMgr tableless(store_.c_str(), gLog);
  ASSERT_EQ(tableless.Open(), 1);
  EXPECT_EQ(tableless.GetResource("index.html", &length), nullptr);
  EXPECT_EQ(tableless.GetLastWriteTime("index.html"), 0);
  EXPECT_TRUE(log_.Has("no such table: resources")) << log_.Text();
}

TEST_F(ResourceStore, PackingRefusesNamesThatDifferOnlyInCase) {
  Put("page.html", "one");
  ASSERT_EQ(Pack(), 0);
  Put("Page.html", "two");
  EXPECT_NE(Pack(), 0);
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
  koResourceMgr res((std::string(build) + "/res/postvane.res").c_str(), nullptr);
  ASSERT_EQ(res.Open(), 1);
  for (const char* name :
       {"acrosssession.html", "pv-one-pixel.png", "images/pv-contact-default-image.png"}) {
    std::string file = std::string(source) + "/web/" + name;
    std::string bytes = pvtest::ReadFile(file);
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
