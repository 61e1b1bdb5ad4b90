#include "core/klog.h"

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/kthread.h"

extern char** environ;

namespace {

class LogFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/pvlogXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/postvane.log";
  }
  void TearDown() override {
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }
  std::string Read() const {
    std::ifstream in(path_);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  std::string dir_, path_;
};

const std::regex kRecord(
    R"(\[1\.89 Beta\] \[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] (src|tests)/[^()]+\(\d+\) ErrCode:-?\d+ ErrMsg:.*)");

TEST_F(LogFile, ConcurrentWritersLeaveWholeRecords) {
  koLog log("1.89 Beta");
  log.SetFileName(path_.c_str());
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&log, t] {
      for (int i = 0; i < 1000; ++i) {
        char msg[64];
        snprintf(msg, sizeof msg, "thread %d record %d", t, i);
        log.Write(__FILE__, __LINE__, -1, msg);
      }
    });
  }
  for (auto& th : threads) th.join();

  std::istringstream lines(Read());
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    ASSERT_TRUE(std::regex_match(line, kRecord)) << line;
    ++count;
  }
  EXPECT_EQ(count, 8000);
}

TEST_F(LogFile, MultiLineMessagesMissingPathAndDeletedFile) {
  koLog quiet("t");
  quiet.Write("src/x.cpp", 1, -1, "nowhere to go");  // no path: dropped, no failure

  koLog log("1.89 Beta");
  log.SetFileName(path_.c_str());
  log.Write("src/a.cpp", 7, 0, "Started");
  log.Write("src/a.cpp", 8, -1, "first\nsecond");
  log.Write("src/a.cpp", 9, 5, "after");
  std::string text = Read();
  EXPECT_NE(text.find("src/a.cpp(7) ErrCode:0 ErrMsg:Started\n"), std::string::npos);
  EXPECT_NE(text.find("ErrMsg:first\nsecond\n["), std::string::npos);

  unlink(path_.c_str());
  log.Write("src/a.cpp", 10, -1, "again");
  text = Read();
  EXPECT_EQ(text.find("Started"), std::string::npos);
  EXPECT_NE(text.find("src/a.cpp(10) ErrCode:-1 ErrMsg:again\n"), std::string::npos);

  koLog broken("t");
  broken.SetFileName((dir_ + "/missing/dir/x.log").c_str());
  broken.Write("src/b.cpp", 1, -1, "dropped");
}

TEST_F(LogFile, MacroRecordsTheProjectRelativeSourcePath) {
  koLog log("1.89 Beta");
  log.SetFileName(path_.c_str());
  KO_LOG(-1, "not installed");  // gLog unset: nothing happens
  gLog = &log;
  KO_LOG(-1, "installed");
  gLog = nullptr;
  std::string text = Read();
  EXPECT_EQ(text.find("not installed"), std::string::npos);
  EXPECT_NE(text.find("] tests/core/klog_test.cpp("), std::string::npos) << text;
}

TEST_F(LogFile, OutOfMemoryExitsWithOneAndOneRecord) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "an address-space limit cannot coexist with the sanitizer's shadow memory";
#else
  const char* build = getenv("PV_BUILD_DIR");
  ASSERT_NE(build, nullptr);
  std::string probe = std::string(build) + "/tests/oom_probe";
  char* argv[] = {const_cast<char*>(probe.c_str()), const_cast<char*>(path_.c_str()), nullptr};
  pid_t pid;
  ASSERT_EQ(posix_spawn(&pid, probe.c_str(), nullptr, nullptr, argv, environ), 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  std::string text = Read();
  std::istringstream lines(text);
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) ++count;
  EXPECT_EQ(count, 1) << text;
  const std::string tail = "ErrMsg:Not enough memory, application terminated!\n";
  ASSERT_GE(text.size(), tail.size());
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
  EXPECT_NE(text.find("src/core/kstring.cpp("), std::string::npos);
#endif
}

}  // namespace
