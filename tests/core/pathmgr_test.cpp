#include "core/pathmgr.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/klog.h"
#include "support/private_home.h"

namespace fs = std::filesystem;

namespace {

class PathMgrTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(home_.path().empty());
    log_path_ = home_.path() + "/test.log";
    log_.SetFileName(log_path_.c_str());
    gLog = &log_;
  }
  void TearDown() override { gLog = nullptr; }

  std::string LogText() const {
    std::ifstream in(log_path_);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  // The permission bits, or -1 when the path is not a folder.
  int FolderMode(const std::string& path) const {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return -1;
    return static_cast<int>(st.st_mode & 0777);
  }

  PrivateHome home_;
  koLog log_{"test"};
  std::string log_path_;
};

TEST_F(PathMgrTest, FirstRunMakesThePerUserFoldersPrivate) {
  const std::string& h = home_.path();
  koString out;
  const int n = PathMgr::GetConfigDir(out);
  ASSERT_EQ(n, static_cast<int>(out.GetLength()));
  EXPECT_EQ(std::string(out.GetString()), h + "/.config/Brantlow/Postvane");
  ASSERT_GT(PathMgr::GetLowIntegrityDataDir(out), 0);
  EXPECT_EQ(std::string(out.GetString()), h + "/.local/state/Brantlow/Postvane");
  ASSERT_GT(PathMgr::GetAttachmentsDir(out), 0);
  EXPECT_EQ(std::string(out.GetString()), h + "/Postvane Attachments");

  for (const char* made : {"/.config", "/.config/Brantlow", "/.config/Brantlow/Postvane", "/.local",
                           "/.local/state", "/.local/state/Brantlow", "/.local/state/Brantlow/Postvane",
                           "/Postvane Attachments"}) {
    EXPECT_EQ(FolderMode(h + made), 0700) << made;
  }

  // A second call finds the folders and leaves them as the user set them.
  chmod((h + "/.config/Brantlow/Postvane").c_str(), 0750);
  ASSERT_GT(PathMgr::GetConfigDir(out), 0);
  EXPECT_EQ(FolderMode(h + "/.config/Brantlow/Postvane"), 0750);

  // Local application data is only named, not made.
  ASSERT_GT(PathMgr::GetLocalAppDataDirPath(out), 0);
  EXPECT_EQ(std::string(out.GetString()), h + "/.local/share");
  EXPECT_FALSE(fs::exists(h + "/.local/share"));
  EXPECT_EQ(LogText(), "");
}

TEST_F(PathMgrTest, FollowsAbsoluteXdgVariablesAndIgnoresRelativeOnes) {
  const std::string& h = home_.path();
  setenv("XDG_CONFIG_HOME", (h + "/cfg/").c_str(), 1);
  setenv("XDG_STATE_HOME", "relative/state", 1);
  setenv("XDG_DATA_HOME", (h + "/data").c_str(), 1);
  koString out;
  ASSERT_GT(PathMgr::GetConfigDir(out), 0);
  EXPECT_EQ(std::string(out.GetString()), h + "/cfg/Brantlow/Postvane");
  ASSERT_GT(PathMgr::GetLowIntegrityDataDir(out), 0);
  EXPECT_EQ(std::string(out.GetString()), h + "/.local/state/Brantlow/Postvane");
  ASSERT_GT(PathMgr::GetLocalAppDataDirPath(out), 0);
  EXPECT_EQ(std::string(out.GetString()), h + "/data");
}

TEST_F(PathMgrTest, WithoutHomeThePasswordDatabaseNamesTheHome) {
  struct passwd* entry = getpwuid(getuid());
  ASSERT_NE(entry, nullptr);
  koString out;
  for (bool unset : {true, false}) {
    if (unset) {
      unsetenv("HOME");
    } else {
      setenv("HOME", "relative/home", 1);
    }
    ASSERT_GT(PathMgr::GetLocalAppDataDirPath(out), 0);
    EXPECT_EQ(fs::path(out.GetString()), fs::path(entry->pw_dir) / ".local/share");
  }
}

TEST_F(PathMgrTest, APlainFileWhereAFolderBelongsFailsAndLogs) {
  const std::string& h = home_.path();
  fs::create_directories(h + "/.config");
  { std::ofstream(h + "/.config/Brantlow") << "not a folder"; }
  { std::ofstream(h + "/Postvane Attachments") << "not a folder"; }

  koString out("stale");
  EXPECT_EQ(PathMgr::GetConfigDir(out), 0);
  EXPECT_EQ(out.GetLength(), 0u);
  EXPECT_EQ(PathMgr::GetAttachmentsDir(out), 0);
  std::string log = LogText();
  const std::string record = "ErrCode:" + std::to_string(ENOTDIR) + " ErrMsg:CreateDirectory\n";
  size_t first = log.find(record);
  ASSERT_NE(first, std::string::npos) << log;
  EXPECT_NE(log.find(record, first + 1), std::string::npos) << log;

  // The copy under the state folder is independent of the broken one.
  EXPECT_GT(PathMgr::GetLowIntegrityDataDir(out), 0);
}

TEST_F(PathMgrTest, ConcurrentFirstCallsAllSucceed) {
  std::vector<std::thread> threads;
  std::vector<int> results(8, 0);
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&results, i] {
      koString out;
      results[i] = PathMgr::GetConfigDir(out) > 0 && PathMgr::GetLowIntegrityDataDir(out) > 0;
    });
  }
  for (auto& t : threads) t.join();
  for (int r : results) EXPECT_EQ(r, 1);
  EXPECT_EQ(LogText(), "");
}

TEST_F(PathMgrTest, ProgramFolderAndResourceFile) {
  const fs::path program = fs::read_symlink("/proc/self/exe");
  koString out;
  ASSERT_GT(PathMgr::GetModuleFileName(out), 0);
  EXPECT_EQ(fs::path(out.GetString()), program);
  ASSERT_GT(PathMgr::GetExeDir(out), 0);
  const std::string dir = program.parent_path().string() + "/";
  EXPECT_EQ(std::string(out.GetString()), dir);
  ASSERT_GT(PathMgr::GetResourceFilePath(out), 0);
  EXPECT_EQ(std::string(out.GetString()), dir + "../res/postvane.res");
}

TEST(PathMgrStripExtension, DropsOnlyTheFileNamesLastExtension) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"/a/b.tar.gz", "/a/b.tar"}, {"/a/b", "/a/b"},       {"/a.d/b", "/a.d/b"},
      {"/a/.profile", "/a/.profile"}, {"/a/.b.c", "/a/.b"}, {"name.", "name"},
      {"Отчёт.pdf", "Отчёт"},      {"", ""},
  };
  for (const auto& c : cases) {
    koString path(c.in);
    EXPECT_EQ(PathMgr::StripExtension(path), static_cast<int>(strlen(c.out))) << c.in;
    EXPECT_STREQ(path.GetString(), c.out) << c.in;
  }
}

}  // namespace
