#include "core/klog.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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
