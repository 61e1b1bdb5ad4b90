#include "core/pathmgr.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/files.h"
#include "support/log_capture.h"
#include "support/private_home.h"

namespace fs = std::filesystem;

namespace {

class PathMgrTest : public ::testing::Test {
 protected:
  // The permission bits, or -1 when the path is not a folder.
  static int FolderMode(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return -1;
    return static_cast<int>(st.st_mode & 0777);
  }
  // What the call answers in out, or "<failed>".
  static std::string Get(int (*call)(koString&)) {
    koString out;
    return call(out) > 0 ? out.GetString() : "<failed>";
  }

  PrivateHome home_;
  const std::string& h = home_.path();
  LogCapture log_{h + "/test.log"};
};

TEST_F(PathMgrTest, FirstRunMakesThePerUserFoldersPrivate) {
  EXPECT_EQ(Get(PathMgr::GetConfigDir), h + "/.config/Brantlow/Postvane");
  EXPECT_EQ(Get(PathMgr::GetLowIntegrityDataDir), h + "/.local/state/Brantlow/Postvane");
  EXPECT_EQ(Get(PathMgr::GetAttachmentsDir), h + "/Postvane Attachments");
  for (const char* made :
       {"/.config", "/.config/Brantlow", "/.config/Brantlow/Postvane", "/.local", "/.local/state",
        "/.local/state/Brantlow", "/.local/state/Brantlow/Postvane", "/Postvane Attachments"}) {
    EXPECT_EQ(FolderMode(h + made), 0700) << made;
  }
  // A second call finds the folders and leaves them as the user set them.
  chmod((h + "/.config/Brantlow/Postvane").c_str(), 0750);
  EXPECT_EQ(Get(PathMgr::GetConfigDir), h + "/.config/Brantlow/Postvane");
  EXPECT_EQ(FolderMode(h + "/.config/Brantlow/Postvane"), 0750);
  // Local application data is only named, not made.
  EXPECT_EQ(Get(PathMgr::GetLocalAppDataDirPath), h + "/.local/share");
  EXPECT_FALSE(fs::exists(h + "/.local/share"));
  EXPECT_EQ(log_.Text(), "");
}

TEST_F(PathMgrTest, FollowsAbsoluteXdgVariablesAndFallsBackForTheRest) {
  setenv("XDG_CONFIG_HOME", (h + "/cfg/").c_str(), 1);
  setenv("XDG_STATE_HOME", "relative/state", 1);
  setenv("XDG_DATA_HOME", (h + "/data").c_str(), 1);
  EXPECT_EQ(Get(PathMgr::GetConfigDir), h + "/cfg/Brantlow/Postvane");
  EXPECT_EQ(Get(PathMgr::GetLowIntegrityDataDir), h + "/.local/state/Brantlow/Postvane");
  EXPECT_EQ(Get(PathMgr::GetLocalAppDataDirPath), h + "/data");

  // Without a usable HOME the password database names it.
  struct passwd* entry = getpwuid(getuid());
  ASSERT_NE(entry, nullptr);
  unsetenv("XDG_DATA_HOME");
  for (const char* home : {"", "relative/home"}) {
    if (*home == '\0') {
      unsetenv("HOME");
    } else {
      setenv("HOME", home, 1);
    }
    EXPECT_EQ(fs::path(Get(PathMgr::GetLocalAppDataDirPath)),
              fs::path(entry->pw_dir) / ".local/share");
  }
}

TEST_F(PathMgrTest, APlainFileWhereAFolderBelongsFailsAndLogs) {
  fs::create_directories(h + "/.config");
  pvtest::WriteFile(h + "/.config/Brantlow", "not a folder");
  pvtest::WriteFile(h + "/Postvane Attachments", "not a folder");
  koString out("stale");
  EXPECT_EQ(PathMgr::GetConfigDir(out), 0);
  EXPECT_EQ(out.GetLength(), 0u);
  EXPECT_EQ(PathMgr::GetAttachmentsDir(out), 0);
  const std::string log = log_.Text();
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
  EXPECT_EQ(results, std::vector<int>(8, 1));
  EXPECT_EQ(log_.Text(), "");
}

TEST(PathMgr, StripExtensionDropsOnlyTheFileNamesLastExtension) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {{"/a/b.tar.gz", "/a/b.tar"}, {"/a.d/b", "/a.d/b"}, {"/a/.profile", "/a/.profile"},
               {"/a/.b.c", "/a/.b"},        {"name.", "name"},    {"Отчёт.pdf", "Отчёт"}};
  for (const auto& c : cases) {
    koString path(c.in);
    EXPECT_EQ(PathMgr::StripExtension(path), static_cast<int>(strlen(c.out))) << c.in;
    EXPECT_STREQ(path.GetString(), c.out) << c.in;
  }
}

}  // namespace
