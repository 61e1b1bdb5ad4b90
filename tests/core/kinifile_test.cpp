#include "core/kinifile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/klog.h"

namespace {

class IniFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = ::testing::TempDir() + "pvini.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/postvane.ini";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  static void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
  }
  std::string Read(const char* section, const char* key) {
    koString out;
    int length = IniReadString(section, key, "DEF", out, path_.c_str());
    EXPECT_EQ(length, static_cast<int>(out.GetLength()));
    return std::string(out.GetString(), out.GetLength());
  }
  int Write(const char* section, const char* key, const char* value) {
    return IniWriteString(section, key, value, path_.c_str());
  }
  std::vector<std::string> Entries() {
    std::vector<std::string> names;
    for (auto& e : std::filesystem::directory_iterator(dir_)) names.push_back(e.path().filename());
    return names;
  }

  std::string dir_;
  std::string path_;
};

TEST_F(IniFileTest, WriteToMissingFileCreatesHeaderAndKeyLineOnly) {
  ASSERT_EQ(Write("GENERAL", "Port", "40000"), 1);
  EXPECT_EQ(ReadFile(path_), "[GENERAL]\nPort=40000\n");
  EXPECT_EQ(IniReadInt("GENERAL", "Port", 1, path_.c_str()), 40000);
  EXPECT_EQ(Entries(), std::vector<std::string>{"postvane.ini"});  // no temporary left behind

  // The default file as it is first created has no final line end.
  WriteFile(path_, "[GENERAL]\nPort=40000");
  ASSERT_EQ(Write("GENERAL", "App_Version", "1.89 Beta"), 1);
  EXPECT_EQ(ReadFile(path_), "[GENERAL]\nPort=40000\nApp_Version=1.89 Beta\n");
}

TEST_F(IniFileTest, ReadsWhatTheFileHolds) {
  const std::string longValue(3000, 'x');
  struct Case {
    const char* what;
    std::string content;
    const char* section;
    const char* key;
    std::string expected;
  } cases[] = {
      {"bom and crlf", "\xEF\xBB\xBF[GENERAL]\r\nPort=40001\r\nApp_Version=1.89 Beta\r\n", "GENERAL",
       "Port", "40001"},
      {"crlf value loses its cr", "[GENERAL]\r\nApp_Version=1.89 Beta\r\n", "GENERAL",
       "App_Version", "1.89 Beta"},
      {"blanks belong to the name", "[GENERAL]\nPort = 40001\n", "GENERAL", "Port", "DEF"},
      {"blanks belong to the value", "[GENERAL]\nPort = 40001\n", "GENERAL", "Port ", " 40001"},
      {"section case counts", "[general]\nPort=1\n", "GENERAL", "Port", "DEF"},
      {"case variant does not hide the section", "[general]\nPort=1\n[GENERAL]\nPort=2\n",
       "GENERAL", "Port", "2"},
      {"repeated header adds keys", "[A]\nx=1\n[B]\ny=2\n[A]\nk=3\n", "A", "k", "3"},
      {"second line of a key wins", "[A]\nk=1\nk=2\n", "A", "k", "2"},
      {"keys before any header", "k=0\n[A]\nk=1\n", "", "k", "0"},
      {"text behind the header", "[A] ; note\nk=1\n", "A", "k", "1"},
      {"header without ] is no header", "[A]\n[B\nk=1\n", "A", "k", "1"},
      {"comment lines", "[A]\n#k=1\n;k=2\n", "A", "k", "DEF"},
      {"value keeps later =", "[A]\nk=a=b\n", "A", "k", "a=b"},
      {"empty value is a value", "[A]\nk=\n", "A", "k", ""},
      {"last line without line end", "[A]\nk=1", "A", "k", "1"},
      {"long line read whole", "[A]\nk=" + longValue + "\nj=1\n", "A", "k", longValue},
      {"missing key", "[A]\nk=1\n", "A", "j", "DEF"},
      {"missing section", "[A]\nk=1\n", "B", "k", "DEF"},
  };
  for (const Case& c : cases) {
    WriteFile(path_, c.content);
    EXPECT_EQ(Read(c.section, c.key), c.expected) << c.what;
  }

  std::filesystem::remove(path_);
  EXPECT_EQ(Read("A", "k"), "DEF") << "missing file";
  koString out;
  EXPECT_EQ(IniReadString("A", "k", "DEF", out, nullptr), 3);
  EXPECT_STREQ(out.GetString(), "DEF");
}

TEST_F(IniFileTest, ReadIntTakesLeadingDigits) {
  WriteFile(path_, "[A]\nabc=abc\nneg=-12\nmixed=42abc\n");
  EXPECT_EQ(IniReadInt("A", "abc", 7, path_.c_str()), 0);
  EXPECT_EQ(IniReadInt("A", "neg", 7, path_.c_str()), -12);
  EXPECT_EQ(IniReadInt("A", "mixed", 7, path_.c_str()), 42);
  EXPECT_EQ(IniReadInt("A", "none", 7, path_.c_str()), 7);
  EXPECT_EQ(IniReadInt("A", "none", -3, nullptr), -3);
}

TEST_F(IniFileTest, WritingAKeyKeepsTheRestByteForByte) {
  const std::string head = "# Postvane settings\n; second comment\n\n[GENERAL] ; main\n";
  const std::string mid = "# the version\nApp_Version=1.89 Beta\n";
  const std::string rest = "\n[OTHER]\nx=1\n\n# end\n";
  WriteFile(path_, head + "Port=40000\n" + mid + rest);

  ASSERT_EQ(Write("GENERAL", "Port", "40001"), 1);
  EXPECT_EQ(ReadFile(path_), head + "Port=40001\n" + mid + rest);

  ASSERT_EQ(Write("GENERAL", "Passcode", "abc"), 1);
  EXPECT_EQ(ReadFile(path_), head + "Port=40001\n" + mid + "Passcode=abc\n" + rest);

  ASSERT_EQ(Write("NEW", "k", "v"), 1);
  EXPECT_EQ(ReadFile(path_), head + "Port=40001\n" + mid + "Passcode=abc\n" +
                                 "\n[OTHER]\nx=1\n[NEW]\nk=v\n\n# end\n");
}

TEST_F(IniFileTest, WritingNormalisesWhatReadingMerges) {
  struct Case {
    const char* what;
    const char* before;
    const char* section;
    const char* key;
    const char* value;
    const char* after;
  } cases[] = {
      {"bom dropped, lf written", "\xEF\xBB\xBF[GENERAL]\r\nPort=40000\r\n# c\r\n", "GENERAL",
       "Port", "1", "[GENERAL]\nPort=1\n# c\n"},
      {"second line of a key folds into the first", "[A]\nk=1\nj=0\nk=2\n", "A", "j", "5",
       "[A]\nk=2\nj=5\n"},
      {"repeated header merges", "[A]\nx=1\n[B]\ny=2\n[A]\nz=3\n", "B", "y", "4",
       "[A]\nx=1\nz=3\n[B]\ny=4\n"},
      {"keys before any header stay headerless", "k=0\n[A]\nk=1\n", "", "n", "1",
       "k=0\nn=1\n[A]\nk=1\n"},
      {"unnamed section added later gets a header", "[A]\nk=1\n", "", "n", "1",
       "[A]\nk=1\n[]\nn=1\n"},
      {"lone cr inside a line is kept", "[A]\nk=a\rb\n# x\ry\n", "A", "j", "1",
       "[A]\nk=a\rb\nj=1\n# x\ry\n"},
  };
  for (const Case& c : cases) {
    WriteFile(path_, c.before);
    ASSERT_EQ(Write(c.section, c.key, c.value), 1) << c.what;
    EXPECT_EQ(ReadFile(path_), c.after) << c.what;
  }
  // Reading the merged file gives what reading the original gave.
  WriteFile(path_, "[A]\nx=1\n[B]\ny=2\n[A]\nz=3\n");
  ASSERT_EQ(Write("B", "y", "4"), 1);
  EXPECT_EQ(Read("A", "z"), "3");
}

TEST_F(IniFileTest, RefusesWhatWouldNotReadBackAsWritten) {
  const std::string original = "[GENERAL]\nPort=40000\n";
  struct Case {
    const char* section;
    const char* key;
    const char* value;
  } cases[] = {
      {"GENERAL", "Passcode", "YWJj\r\n"},  {"GENERAL", "k", "x\n[OTHER]"},
      {"GENERAL", "a=b", "1"},              {"GENERAL", "", "1"},
      {"GENERAL", "[x", "1"},               {"GENERAL", "#x", "1"},
      {"GENERAL", ";x", "1"},               {"A]B", "k", "1"},
      {"A\nB", "k", "1"},                   {"GENERAL", nullptr, "1"},
  };
  WriteFile(path_, original);
  for (const Case& c : cases) {
    EXPECT_EQ(Write(c.section, c.key, c.value), 0) << (c.key ? c.key : "(null)");
    EXPECT_EQ(ReadFile(path_), original);
  }
  EXPECT_EQ(IniWriteString("GENERAL", "Port", "1", nullptr), 0);
}

TEST_F(IniFileTest, FileThatCannotBeReadWholeIsNeverSavedOver) {
  koLog log("test");
  std::string logPath = dir_ + "/log.txt";
  log.SetFileName(logPath.c_str());
  gLog = &log;

  // Something else in the file's place: a device and a folder.
  ASSERT_EQ(symlink("/dev/null", path_.c_str()), 0);
  EXPECT_EQ(Write("GENERAL", "Port", "1"), 0);
  struct stat st;
  ASSERT_EQ(lstat(path_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_NE(ReadFile(logPath).find("koIniFile::Load"), std::string::npos);
  unlink(path_.c_str());

  ASSERT_EQ(mkdir(path_.c_str(), 0700), 0);
  EXPECT_EQ(Write("GENERAL", "Port", "1"), 0);
  ASSERT_EQ(lstat(path_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  rmdir(path_.c_str());

  // A document read through filters holds only part of the file.
  const std::string original = "[GENERAL]\nPort=40000\n[OTHER]\nx=1\n";
  WriteFile(path_, original);
  koIniFile ini;
  ASSERT_EQ(ini.Open(path_.c_str(), "GENERAL", nullptr), 1);
  ASSERT_EQ(ini.SetValue("GENERAL", "Port", "2"), 1);
  EXPECT_EQ(ini.Save(), 0);
  EXPECT_EQ(ReadFile(path_), original);
  EXPECT_NE(ReadFile(logPath).find("koIniFile::Save refused"), std::string::npos);
  std::string copy = dir_ + "/copy.ini";
  EXPECT_EQ(ini.Save(copy.c_str()), 1);
  EXPECT_EQ(ReadFile(copy), "[GENERAL]\nPort=2\n");

  // A folder that does not exist cannot take the file.
  std::string nowhere = dir_ + "/missing/postvane.ini";
  EXPECT_EQ(IniWriteString("GENERAL", "Port", "1", nowhere.c_str()), 0);
  EXPECT_NE(ReadFile(logPath).find("koIniFile::Save create"), std::string::npos);
  gLog = nullptr;
}

TEST_F(IniFileTest, UnreadableFileIsLeftAlone) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads every file";
  WriteFile(path_, "[GENERAL]\nPort=40000\n");
  ASSERT_EQ(chmod(path_.c_str(), 0), 0);
  EXPECT_EQ(Write("GENERAL", "Port", "1"), 0);
  chmod(path_.c_str(), 0600);
  EXPECT_EQ(ReadFile(path_), "[GENERAL]\nPort=40000\n");
}

TEST_F(IniFileTest, ReplacingKeepsModeAndSymbolicLink) {
  std::string real = dir_ + "/real.ini";
  WriteFile(real, "[GENERAL]\nPort=40000\n");
  ASSERT_EQ(chmod(real.c_str(), 0640), 0);
  ASSERT_EQ(symlink("real.ini", path_.c_str()), 0);

  ASSERT_EQ(Write("GENERAL", "Port", "40001"), 1);
  struct stat st;
  ASSERT_EQ(lstat(path_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(stat(real.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(ReadFile(real), "[GENERAL]\nPort=40001\n");
  EXPECT_EQ(Entries().size(), 2u);
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
  int reads = 0;
  int bad = 0;
  while (!done) {
    // Straight from the file, so no lock of ours can hide a partial write.
    if (ReadFile(path_).find("[GENERAL]\nPort=40000\n") != 0) ++bad;
    if (Read("GENERAL", "Port") != "40000") ++bad;
    ++reads;
  }
  writer.join();
  EXPECT_EQ(bad, 0);
  EXPECT_GT(reads, 0);
  EXPECT_EQ(IniReadInt("GENERAL", "Count", -1, path_.c_str()), 999);
  EXPECT_EQ(Entries().size(), 1u);
}

TEST_F(IniFileTest, ConcurrentWritersLoseNoUpdate) {
  constexpr int kThreads = 4;
  constexpr int kKeys = 40;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([this, t] {
      for (int i = 0; i < kKeys; ++i) {
        std::string key = "K" + std::to_string(t) + "_" + std::to_string(i);
        if (Write("GENERAL", key.c_str(), std::to_string(i).c_str()) != 1) ADD_FAILURE() << key;
      }
    });
  }
  for (auto& w : writers) w.join();
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kKeys; ++i) {
      std::string key = "K" + std::to_string(t) + "_" + std::to_string(i);
      EXPECT_EQ(Read("GENERAL", key.c_str()), std::to_string(i)) << key;
    }
}

TEST_F(IniFileTest, DocumentMembers) {
  WriteFile(path_, "\xEF\xBB\xBF[GENERAL]\r\nPort=40000\r\n");
  koIniFile ini;
  ASSERT_EQ(ini.Open(path_.c_str()), 1);
  IniSection* general = ini.FindSection("GENERAL");
  ASSERT_NE(general, nullptr);
  EXPECT_EQ(general->keyCount, 1u);
  EXPECT_EQ(ini.FindSection("general"), nullptr);
  EXPECT_NE(ini.FindKey(general, "Port"), nullptr);
  koString out;
  EXPECT_EQ(ini.GetValue("GENERAL", "Nope", nullptr, out), 0);

  std::filesystem::remove(path_);
  EXPECT_EQ(ini.Open(path_.c_str()), 0);
  EXPECT_STREQ(ini.GetErrorText(), "open file error");
  EXPECT_EQ(ini.LoadFailed(), 0);
}

}  // namespace
