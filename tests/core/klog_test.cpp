#include "core/klog.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/child.h"
#include "support/files.h"

namespace {

const std::regex kRecord(
    R"(\[1\.89 Beta\] \[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] (src|tests)/[^()]+\(\d+\) ErrCode:-?\d+ ErrMsg:.*)");

std::vector<std::string> Lines(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(LogFile, ConcurrentWritersLeaveWholeRecords) {
  pvtest::TempDir dir;
  koLog log("1.89 Beta");
  log.SetFileName(dir.File("postvane.log").c_str());
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&log, t] {
      for (int i = 0; i < 1000; ++i) {
        std::string msg = "thread " + std::to_string(t) + " record " + std::to_string(i);
        log.Write(__FILE__, __LINE__, -1, msg.c_str());
      }
    });
  }
  for (auto& th : threads) th.join();
  std::vector<std::string> lines = Lines(pvtest::ReadFile(dir.File("postvane.log")));
  EXPECT_EQ(lines.size(), 8000u);
  for (const std::string& line : lines) ASSERT_TRUE(std::regex_match(line, kRecord)) << line;
}

TEST(LogFile, MacroDeletedFileAndMissingFolder) {
  pvtest::TempDir dir;
  const std::string path = dir.File("postvane.log");
  koLog log("1.89 Beta");
  log.SetFileName(path.c_str());
  KO_LOG(-1, "not installed");  // gLog unset: nothing happens
  gLog = &log;
  KO_LOG(-1, "installed");
  gLog = nullptr;
  // Text from outside cannot forge a record of its own.
  log.Write("src/a.cpp", 8, -1, "first\nsecond\r[1.89 Beta] x\x7f\tend");
  std::string text = pvtest::ReadFile(path);
  EXPECT_EQ(text.find("not installed"), std::string::npos);
  EXPECT_NE(text.find("] tests/core/klog_test.cpp("), std::string::npos) << text;
  EXPECT_NE(text.find("src/a.cpp(8) ErrCode:-1 ErrMsg:first\\x0Asecond\\x0D[1.89 Beta] x\\x7F\\x09end\n"),
            std::string::npos) << text;
  EXPECT_EQ(Lines(text).size(), 2u);
  struct stat st;
  ASSERT_EQ(0, stat(path.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);

  // A deleted file is made anew; a folder that is missing sends the records
  // to standard error, with a note of why before the first.
  unlink(path.c_str());
  log.Write("src/a.cpp", 10, 5, "again");
  EXPECT_EQ(Lines(pvtest::ReadFile(path)).size(), 1u);
  koLog broken("t");
  broken.SetFileName(dir.File("missing/x.log").c_str());
  testing::internal::CaptureStderr();
  broken.Write("src/b.cpp", 1, -1, "first\nline");
  broken.Write("src/b.cpp", 2, -1, "second");
  std::vector<std::string> said = Lines(testing::internal::GetCapturedStderr());
  ASSERT_EQ(3u, said.size());
  EXPECT_EQ("The log " + dir.File("missing/x.log") + " cannot be opened (No such file or directory); its records "
            "follow here.", said[0]);
  EXPECT_NE(std::string::npos, said[1].find("src/b.cpp(1) ErrCode:-1 ErrMsg:first\\x0Aline")) << said[1];
  EXPECT_NE(std::string::npos, said[2].find("src/b.cpp(2) ErrCode:-1 ErrMsg:second")) << said[2];
}

// The clock of the folding tests: milliseconds the test sets.
int64_t gNowMs = 0;
int64_t TestNow() { return gNowMs; }

// The message part of each record.
std::vector<std::string> Messages(const std::string& text) {
  std::vector<std::string> out;
  for (const std::string& line : Lines(text)) out.push_back(line.substr(line.find("ErrMsg:") + 7));
  return out;
}

TEST(LogFile, RecordsOfOneCauseFoldToOneASecondWithTheirCount) {
  struct Step {
    int64_t ms;
    const char* cause;  // null: a plain record
    const char* message;
  };
  const struct {
    const char* what;
    std::vector<Step> steps;
    std::vector<std::string> expected;
  } kCases[] = {
      {"one a second, the count before the next record",
       {{1000, "A", "a1"}, {1100, "A", "a2"}, {1999, "A", "a3"}, {2000, "A", "a4"}},
       {"a1", "A: 2 more such records folded", "a4"}},
      {"causes count apart",
       {{1000, "A", "a1"}, {1000, "B", "b1"}, {1200, "A", "a2"}, {1300, "B", "b2"}, {1400, "B", "b3"},
        {5000, "B", "b4"}},
       {"a1", "b1", "A: 1 more such records folded", "B: 2 more such records folded", "b4"}},
      {"a plain record lets the counts out first, and the second still folds",
       {{1000, "A", "a1"}, {1100, "A", "a2"}, {1200, nullptr, "Stopped"}, {1300, "A", "a3"}},
       {"a1", "A: 1 more such records folded", "Stopped"}},
      {"a lone record of a cause is never followed by a count",
       {{1000, "A", "a1"}, {3000, "A", "a2"}, {9000, nullptr, "plain"}},
       {"a1", "a2", "plain"}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    pvtest::TempDir dir;
    const std::string path = dir.File("postvane.log");
    koLog log("1.89 Beta");
    log.SetFileName(path.c_str());
    log.SetClock(&TestNow);
    for (const Step& step : c.steps) {
      gNowMs = step.ms;
      if (step.cause == nullptr)
        log.Write("src/a.cpp", 1, 0, step.message);
      else
        log.WriteFolded("src/a.cpp", 1, -1, step.cause, step.message);
    }
    EXPECT_EQ(c.expected, Messages(pvtest::ReadFile(path)));
  }
  // What is still folded when the logger ends goes out then.
  pvtest::TempDir dir;
  const std::string path = dir.File("postvane.log");
  {
    koLog log("1.89 Beta");
    log.SetFileName(path.c_str());
    log.SetClock(&TestNow);
    log.WriteFolded("src/a.cpp", 1, -1, "A", "a1");
    log.WriteFolded("src/a.cpp", 1, -1, "A", "a2");
  }
  EXPECT_EQ((std::vector<std::string>{"a1", "A: 1 more such records folded"}), Messages(pvtest::ReadFile(path)));
}

// Rotation keeps the file below its limit and loses nothing between the
// two files, while several threads write.
TEST(LogFile, ARecordThatWouldPassTheLimitGoesToAFreshFile) {
  pvtest::TempDir dir;
  const std::string path = dir.File("postvane.log");
  // An older file past the limit, as a version without rotation left it.
  pvtest::WriteFile(path, std::string(30000, 'o') + "\n");
  koLog log("1.89 Beta");
  log.SetFileName(path.c_str());
  const uint64_t kLimit = 8000;
  log.SetSizeLimit(kLimit);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&log, t] {
      for (int i = 0; i < 40; ++i) {
        std::string msg = "thread " + std::to_string(t) + " record " + std::to_string(i);
        log.Write("src/a.cpp", 1, -1, msg.c_str());
      }
    });
  }
  for (auto& th : threads) th.join();
  // 160 records of about 80 bytes: the old file went to .1 at the first,
  // the new one filled and went there at the 100th or so.
  std::string current = pvtest::ReadFile(path);
  std::string older = pvtest::ReadFile(path + ".1");
  EXPECT_LE(current.size(), kLimit);
  EXPECT_LE(older.size(), kLimit);
  EXPECT_GT(older.size(), kLimit - 100);
  std::vector<std::string> messages = Messages(older);
  for (const std::string& message : Messages(current)) messages.push_back(message);
  std::sort(messages.begin(), messages.end());
  std::vector<std::string> expected;
  for (int t = 0; t < 4; ++t)
    for (int i = 0; i < 40; ++i) expected.push_back("thread " + std::to_string(t) + " record " + std::to_string(i));
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(expected, messages);
  struct stat st;
  ASSERT_EQ(0, stat(path.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
}

TEST(LogFile, OutOfMemoryExitsWithOneAndOneRecord) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "an address-space limit cannot coexist with the sanitizer's shadow memory";
#else
  const char* build = getenv("PV_BUILD_DIR");
  ASSERT_NE(build, nullptr);
  pvtest::TempDir dir;
  const std::string path = dir.File("postvane.log");
  EXPECT_EQ(pvtest::RunChild({std::string(build) + "/tests/oom_probe", path}), 1);
  std::string text = pvtest::ReadFile(path);
  ASSERT_EQ(Lines(text).size(), 1u) << text;
  EXPECT_TRUE(std::regex_match(Lines(text)[0], kRecord)) << text;
  EXPECT_NE(text.find("src/core/kstring.cpp("), std::string::npos) << text;
  const std::string end = "ErrMsg:Not enough memory, application terminated!\n";
  ASSERT_GE(text.size(), end.size());
  EXPECT_EQ(text.substr(text.size() - end.size()), end);
#endif
}

}  // namespace
