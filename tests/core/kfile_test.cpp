#include "core/kfile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>

#include "support/files.h"
#include "support/private_home.h"

namespace fs = std::filesystem;

namespace {

class FileTest : public ::testing::Test {
 protected:
  std::string At(const std::string& name) const { return home_.path() + "/" + name; }

  // name -> type of every entry but "." and "..", through the reader.
  static std::map<std::string, int> List(const std::string& dir) {
    std::map<std::string, int> seen;
    koDirReader reader;
    reader.SetFlags(PR_SKIP_DOT | PR_SKIP_DOT_DOT);
    EXPECT_EQ(reader.Open(dir.c_str()), 1);
    koString name;
    while (reader.NextEntry(name)) {
      PRFileType type = PR_FILE_FILE;
      EXPECT_EQ(reader.GetInfo(&type), 1) << name.GetString();
      seen[name.GetString()] = type;
    }
    return seen;
  }
  static int Mode(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 0777) : -1;
  }

  PrivateHome home_;
};

TEST_F(FileTest, NonAsciiPathRoundTripsThroughCreateStatListDelete) {
  const std::string dir = At("Юлия Ñandú 東京");
  const std::string file = dir + "/résumé ✓.txt";
  int err = 0;
  ASSERT_EQ(MakeDirectory(dir.c_str(), &err), 0);
  EXPECT_EQ(Mode(dir), 0700);
  EXPECT_EQ(MakeDirectory(dir.c_str(), &err), -1);
  EXPECT_EQ(err, EEXIST);

  koFile f;
  ASSERT_EQ(f.Open(file.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600), 1);
  ASSERT_EQ(f.Write("hello, world", 12), 12);
  EXPECT_EQ(f.Seek(7, SEEK_SET), 7);
  char buffer[16] = {};
  EXPECT_EQ(f.Read(buffer, sizeof buffer), 5);
  EXPECT_STREQ(buffer, "world");
  koFileStat st;
  ASSERT_EQ(f.Stat(&st), 0);
  EXPECT_EQ(st.size, 12);
  EXPECT_EQ(f.Close(), 0);
  EXPECT_EQ(Mode(file), 0600);
  EXPECT_EQ(FileExists(file.c_str()), 1);
  EXPECT_EQ(List(dir), (std::map<std::string, int>{{"résumé ✓.txt", PR_FILE_FILE}}));

  EXPECT_EQ(RemoveDirectory(dir.c_str(), &err), -1);
  EXPECT_EQ(err, ENOTEMPTY);
  EXPECT_EQ(DeleteFileUtf8(file.c_str(), &err), 0);
  EXPECT_EQ(DeleteFileUtf8(file.c_str(), &err), -1);
  EXPECT_EQ(err, ENOENT);
  EXPECT_EQ(RemoveDirectory(dir.c_str(), nullptr), 0);
  EXPECT_EQ(FileExists(dir.c_str()), 0);

  EXPECT_EQ(f.Open(At("missing/x").c_str(), O_RDONLY, 0600), -1);
  EXPECT_EQ(f.GetDescriptor(), -1);
}

TEST_F(FileTest, ReaderTellsFilesFoldersAndOtherWithoutFollowingLinks) {
  const std::string dir = At("list");
  fs::create_directories(dir + "/sub");
  pvtest::WriteFile(dir + "/plain", "x");
  fs::create_directory_symlink(dir + "/sub", dir + "/link-to-sub");
  fs::create_symlink(dir + "/plain", dir + "/link-to-file");
  fs::create_symlink(dir + "/nowhere", dir + "/dangling");
  ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
  EXPECT_EQ(List(dir), (std::map<std::string, int>{{"sub", PR_FILE_DIRECTORY},
                                                   {"plain", PR_FILE_FILE},
                                                   {"link-to-sub", PR_FILE_OTHER},
                                                   {"link-to-file", PR_FILE_OTHER},
                                                   {"dangling", PR_FILE_OTHER},
                                                   {"fifo", PR_FILE_OTHER}}));
  koDirReader reader;
  EXPECT_EQ(reader.Open(At("missing").c_str()), 0);
  koString name;
  EXPECT_EQ(reader.NextEntry(name), 0);
}

TEST_F(FileTest, SetFileTimeKeepsTheCreationTime) {
  const std::string path = At("made-now");
  koFile f;
  ASSERT_EQ(f.Open(path.c_str(), O_WRONLY | O_CREAT, 0600), 1);
  koFileStat made;
  ASSERT_EQ(f.Stat(&made), 0);
  f.Close();
  if (made.createTime == 0)
    GTEST_SKIP() << "the file system under " << path << " keeps no birth time";

  const int64_t k2010 = 1262304000;  // 2010-01-01 00:00:00 UTC
  ASSERT_EQ(SetFileTime(path.c_str(), k2010), 1);
  ASSERT_EQ(f.Open(path.c_str(), O_RDONLY, 0600), 1);
  koFileStat later;
  ASSERT_EQ(f.Stat(&later), 0);
  f.Close();
  EXPECT_EQ(later.modifyTime, k2010);
  EXPECT_EQ(later.createTime, made.createTime);
  EXPECT_GE(later.createTime, time(nullptr) - 60);
  EXPECT_EQ(SetFileTime(At("missing").c_str(), k2010), 0);
}

TEST_F(FileTest, TempDirectoryIsTmpdirOrTheUsersCache) {
  koString out;
  ASSERT_EQ(GetTempDirectory(out, 1), 1);
  EXPECT_EQ(std::string(out.GetString()), home_.path() + "/.cache/");
  EXPECT_EQ(Mode(home_.path() + "/.cache"), 0700);

  const std::string tmp = At("tmp");
  fs::create_directory(tmp);
  for (const std::string& value :
       {tmp, std::string("relative/tmp"), std::string("/nonexistent/pv")}) {
    setenv("TMPDIR", value.c_str(), 1);
    ASSERT_EQ(GetTempDirectory(out, 0), 1);
    EXPECT_EQ(std::string(out.GetString()), value == tmp ? tmp + "/" : home_.path() + "/.cache/")
        << value;
  }
}

TEST(ExePath, NamesThisTestProgramOrFailsWithoutRoomForTheZero) {
  char buffer[4096];
  int n = GetExePath(buffer, sizeof buffer);
  ASSERT_GT(n, 0);
  EXPECT_EQ(fs::path(buffer).filename(), "test_kfile");
  EXPECT_EQ(GetExePath(buffer, static_cast<size_t>(n)), 0);
}

TEST(SanitizeFileName, DropsEveryForbiddenByteAndKeepsUtf8) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"a:b*c?.txt", "abc.txt"},
      {"\\/:*?\"<>|\t\n\r\b\v", ""},
      {std::string("nul\0byte", 8), "nulbyte"},
      {"Отчёт 2024 – final.pdf", "Отчёт 2024 – final.pdf"},
  };
  for (const auto& c : cases) {
    koString s;
    s.SetAs(c.in.data(), static_cast<int>(c.in.size()));
    SanitizeFileName(s);
    EXPECT_EQ(std::string(s.GetString(), s.GetLength()), c.out) << c.in;
  }
}

}  // namespace
