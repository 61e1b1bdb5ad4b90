#include "core/kinifile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/files.h"
#include "support/log_capture.h"

namespace {

class IniFileTest : public ::testing::Test {
 protected:
  std::string Read(const char* section, const char* key) {
    koString out;
    int length = IniReadString(section, key, "DEF", out, path_.c_str());
    EXPECT_EQ(length, static_cast<int>(out.GetLength()));
    return std::string(out.GetString(), out.GetLength());
  }
  int Write(const char* section, const char* key, const char* value) {
    return IniWriteString(section, key, value, path_.c_str());
  }
  std::string Content() const { return pvtest::ReadFile(path_); }
  void SetContent(const std::string& bytes) const { pvtest::WriteFile(path_, bytes); }
  size_t Entries() const {
    size_t n = 0;
    for (auto& e : std::filesystem::directory_iterator(dir_.Path())) n += e.path() != log_.path();
    return n;
  }

  pvtest::TempDir dir_;
  std::string path_ = dir_.File("postvane.ini");
  LogCapture log_{dir_.File("log.txt")};
};

TEST_F(IniFileTest, WriteToMissingFileCreatesHeaderAndKeyLineOnly) {
  ASSERT_EQ(Write("GENERAL", "Port", "40000"), 1);
  EXPECT_EQ(Content(), "[GENERAL]\nPort=40000\n");
  EXPECT_EQ(IniReadInt("GENERAL", "Port", 1, path_.c_str()), 40000);
  EXPECT_EQ(Entries(), 1u);  // no temporary left behind

  // The default file as it is first created has no final line end.
  SetContent("[GENERAL]\nPort=40000");
  ASSERT_EQ(Write("GENERAL", "App_Version", "1.89 Beta"), 1);
  EXPECT_EQ(Content(), "[GENERAL]\nPort=40000\nApp_Version=1.89 Beta\n");
}

TEST_F(IniFileTest, ReadsWhatTheFileHolds) {
  const std::string longValue(3000, 'x');
  const struct {
    const char* what;
    std::string content;
    const char* section;
    const char* key;
    std::string expected;
  } cases[] = {
      {"bom and crlf", "\xEF\xBB\xBF[GENERAL]\r\nPort=40001\r\nApp_Version=1.89 Beta\r\n",
       "GENERAL", "App_Version", "1.89 Beta"},
      {"blanks belong to the value", "[GENERAL]\nPort = 40001\n", "GENERAL", "Port ", " 40001"},
      {"section case counts", "[general]\nPort=1\n[GENERAL]\nPort=2\n", "GENERAL", "Port", "2"},
      {"repeated header adds keys", "[A]\nx=1\n[B]\ny=2\n[A]\nk=3\n", "A", "k", "3"},
      {"keys before any header", "k=0\n[A]\nk=1\n", "", "k", "0"},
      {"header without ] is no header", "[A] ; note\n[B\nk=1\n", "A", "k", "1"},
      {"comment lines", "[A]\n#k=1\n;k=2\n", "A", "k", "DEF"},
      {"empty value is a value", "[A]\nk=\n", "A", "k", ""},
      {"long line read whole", "[A]\nk=" + longValue + "\nj=1\n", "A", "k", longValue},
  };
  for (const auto& c : cases) {
    SetContent(c.content);
    EXPECT_EQ(Read(c.section, c.key), c.expected) << c.what;
  }
  SetContent("[A]\nmixed=-42abc\n");
  EXPECT_EQ(IniReadInt("A", "mixed", 7, path_.c_str()), -42);
  EXPECT_EQ(IniReadInt("A", "none", 7, path_.c_str()), 7);
  std::filesystem::remove(path_);
  EXPECT_EQ(Read("A", "k"), "DEF") << "missing file";
}

TEST_F(IniFileTest, APortIsAWholeNumberThatASocketCanHave) {
  const struct {
    const char* line;
    int expected;
  } cases[] = {
      {"Port=41005", 41005}, {"Port=1", 1}, {"Port=65535", 65535}, {"Port=04000", 4000},
      // A number that would wrap into range, or one with more behind it.
      {"Port=4294967297", 40000}, {"Port=41005x", 40000}, {"Port=65536", 40000}, {"Port=0", 40000},
      {"Port=-5", 40000}, {"Port= 41005", 40000}, {"Port=+41005", 40000}, {"Port=", 40000},
      {"Other=1", 40000},
  };
  for (const auto& c : cases) {
    SetContent(std::string("[GENERAL]\n") + c.line + "\n");
    EXPECT_EQ(c.expected, IniReadPort("GENERAL", "Port", 40000, path_.c_str())) << c.line;
  }
}

TEST_F(IniFileTest, WritingAKeyKeepsTheRestByteForByte) {
  const std::string head = "# Postvane settings\n; second comment\n\n[GENERAL] ; main\n";
  const std::string mid = "# the version\nApp_Version=1.89 Beta\n";
  const std::string rest = "\n[OTHER]\nx=1\n\n# end\n";
  SetContent(head + "Port=40000\n" + mid + rest);
  ASSERT_EQ(Write("GENERAL", "Port", "40001"), 1);
  EXPECT_EQ(Content(), head + "Port=40001\n" + mid + rest);
  ASSERT_EQ(Write("GENERAL", "Passcode", "abc"), 1);
  EXPECT_EQ(Content(), head + "Port=40001\n" + mid + "Passcode=abc\n" + rest);
  ASSERT_EQ(Write("NEW", "k", "v"), 1);
  EXPECT_EQ(Content(), head + "Port=40001\n" + mid + "Passcode=abc\n" +
                           "\n[OTHER]\nx=1\n[NEW]\nk=v\n\n# end\n");
}

TEST_F(IniFileTest, WritingNormalisesWhatReadingMerges) {
  const struct {
    const char* what;
    const char* before;
    const char* section;
    const char* key;
    const char* after;
  } cases[] = {
      {"bom dropped, lf written", "\xEF\xBB\xBF[GENERAL]\r\nPort=40000\r\n# c\r\n", "GENERAL",
       "Port", "[GENERAL]\nPort=1\n# c\n"},
      {"second line of a key folds into the first", "[A]\nk=1\nj=0\nk=2\n", "A", "j",
       "[A]\nk=2\nj=1\n"},
      {"repeated header merges", "[A]\nx=1\n[B]\ny=2\n[A]\nz=3\n", "B", "y",
       "[A]\nx=1\nz=3\n[B]\ny=1\n"},
      {"unnamed section added later gets a header", "[A]\nk=1\n", "", "n", "[A]\nk=1\n[]\nn=1\n"},
      {"lone cr inside a line is kept", "[A]\nk=a\rb\n# x\ry\n", "A", "j",
       "[A]\nk=a\rb\nj=1\n# x\ry\n"},
      // Carriage returns that end a line are part of its end, so a rewrite is read back alike.
      {"crs before the line end go", "[A]\r\r\nk=2\r\r\n# x\r\r\nm=3\r", "A", "j",
       "[A]\nk=2\n# x\nm=3\nj=1\n"},
  };
  for (const auto& c : cases) {
    SetContent(c.before);
    ASSERT_EQ(Write(c.section, c.key, "1"), 1) << c.what;
    EXPECT_EQ(Content(), c.after) << c.what;
  }
}

TEST_F(IniFileTest, RefusesWhatWouldNotReadBackAsWritten) {
  const std::string original = "[GENERAL]\nPort=40000\n";
  const char* const cases[][3] = {
      {"GENERAL", "Passcode", "YWJj\r\n"},
      {"GENERAL", "k", "x\n[OTHER]"},
      {"GENERAL", "a=b", "1"},
      {"GENERAL", "", "1"},
      {"GENERAL", "[x", "1"},
      {"GENERAL", ";x", "1"},
      {"A]B", "k", "1"},
      {"A\nB", "k", "1"},
      {"GENERAL", nullptr, "1"},
  };
  SetContent(original);
  for (const auto& c : cases) {
    EXPECT_EQ(Write(c[0], c[1], c[2]), 0) << (c[1] ? c[1] : "(null)");
    EXPECT_EQ(Content(), original);
  }
  EXPECT_EQ(IniWriteString("GENERAL", "Port", "1", nullptr), 0);
  EXPECT_EQ(IniReadInt("GENERAL", "Port", -3, nullptr), -3);
}

TEST_F(IniFileTest, FileThatCannotBeReadWholeIsNeverSavedOver) {
  // Something else in the file's place: a device and a folder.
  ASSERT_EQ(symlink("/dev/null", path_.c_str()), 0);
  EXPECT_EQ(Write("GENERAL", "Port", "1"), 0);
  EXPECT_TRUE(std::filesystem::is_symlink(path_));
  EXPECT_TRUE(log_.Has("koIniFile::Load"));
  unlink(path_.c_str());
  ASSERT_EQ(mkdir(path_.c_str(), 0700), 0);
  EXPECT_EQ(Write("GENERAL", "Port", "1"), 0);
  EXPECT_TRUE(std::filesystem::is_directory(path_));
  rmdir(path_.c_str());

  // A document read through filters holds only part of the file.
  const std::string original = "[GENERAL]\nPort=40000\n[OTHER]\nx=1\n";
  SetContent(original);
  koIniFile ini;
  ASSERT_EQ(ini.Open(path_.c_str(), "GENERAL", nullptr), 1);
  ASSERT_EQ(ini.SetValue("GENERAL", "Port", "2"), 1);
  EXPECT_EQ(ini.Save(), 0);
  EXPECT_EQ(Content(), original);
  EXPECT_TRUE(log_.Has("koIniFile::Save refused"));

  EXPECT_EQ(IniWriteString("GENERAL", "Port", "1", dir_.File("missing/postvane.ini").c_str()), 0);
  EXPECT_TRUE(log_.Has("koIniFile::Save create"));
}

TEST_F(IniFileTest, ReplacingKeepsModeAndSymbolicLink) {
  std::string real = dir_.File("real.ini");
  pvtest::WriteFile(real, "[GENERAL]\nPort=40000\n");
  ASSERT_EQ(chmod(real.c_str(), 0640), 0);
  ASSERT_EQ(symlink("real.ini", path_.c_str()), 0);
  ASSERT_EQ(Write("GENERAL", "Port", "40001"), 1);
  EXPECT_TRUE(std::filesystem::is_symlink(path_));
  struct stat st;
  ASSERT_EQ(stat(real.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(pvtest::ReadFile(real), "[GENERAL]\nPort=40001\n");
  EXPECT_EQ(Entries(), 2u);
}

TEST_F(IniFileTest, ReaderNeverSeesAPartlyWrittenFile) {
  ASSERT_EQ(Write("GENERAL", "Port", "40000"), 1);
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 0; i < 1000; ++i) {
      std::string value = std::to_string(i) + std::string(static_cast<size_t>(i % 7) * 500, 'v');
      if (Write("GENERAL", "Count", value.c_str()) != 1) ADD_FAILURE() << "write " << i;
    }
    done = true;
  });
  int reads = 0, bad = 0;
  while (!done) {
    // Straight from the file, so no lock of ours can hide a partial write.
    if (Content().find("[GENERAL]\nPort=40000\n") != 0) ++bad;
    if (Read("GENERAL", "Port") != "40000") ++bad;
    ++reads;
  }
  writer.join();
  EXPECT_EQ(bad, 0);
  EXPECT_GT(reads, 0);
  EXPECT_EQ(IniReadInt("GENERAL", "Count", -1, path_.c_str()), 999);
  EXPECT_EQ(Entries(), 1u);
}

TEST_F(IniFileTest, ConcurrentWritersLoseNoUpdate) {
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([this, t] {
      for (int i = 0; i < 40; ++i) {
        std::string key = "K" + std::to_string(t) + "_" + std::to_string(i);
        if (Write("GENERAL", key.c_str(), std::to_string(i).c_str()) != 1) ADD_FAILURE() << key;
      }
    });
  }
  for (auto& w : writers) w.join();
  for (int t = 0; t < 4; ++t)
    for (int i = 0; i < 40; ++i)
      EXPECT_EQ(Read("GENERAL", ("K" + std::to_string(t) + "_" + std::to_string(i)).c_str()),
                std::to_string(i));
}

}  // namespace
