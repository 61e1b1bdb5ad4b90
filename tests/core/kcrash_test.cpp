#include "core/kcrash.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

extern char** environ;

namespace fs = std::filesystem;

namespace {

#if defined(__SANITIZE_ADDRESS__)
#define PV_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PV_ASAN 1
#endif
#endif

const char kProbeApp[] = "Crash Probe 1.0";

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const fs::path& p, const std::string& content) {
  std::ofstream(p, std::ios::binary) << content;
}

// Names in dir, sorted.
std::vector<std::string> List(const fs::path& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

std::string DumpName(int n) {
  char name[64];
  snprintf(name, sizeof(name), "%s_Dump_%03d.dmp", kProbeApp, n);
  return name;
}

// A probe child with pipes on its standard streams.
struct Probe {
  pid_t pid = -1;
  int in = -1;   // write end of its stdin
  int out = -1;  // read end of its stdout
  int err = -1;  // read end of its stderr

  // Reads one line from stdout, waiting at most 20 s.
  std::string ReadLine() {
    std::string line;
    char c;
    while (line.size() < 256) {
      struct pollfd p = {out, POLLIN, 0};
      if (poll(&p, 1, 20000) <= 0) break;
      if (read(out, &c, 1) != 1 || c == '\n') break;
      line += c;
    }
    return line;
  }
  // Closes stdin, reads stderr to its end and returns the wait status.
  int Finish(std::string* err_text = nullptr) {
    if (in >= 0) close(in);
    in = -1;
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = read(err, buf, sizeof(buf))) > 0) text.append(buf, static_cast<size_t>(n));
    if (err_text) *err_text = text;
    int status = -1;
    waitpid(pid, &status, 0);
    close(out);
    close(err);
    return status;
  }
};

Probe Start(const fs::path& program, const char* mode) {
  int in[2], out[2], err[2];
  Probe p;
  if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) return p;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  std::string path = program.string();
  char* argv[] = {const_cast<char*>(path.c_str()), const_cast<char*>(mode), nullptr};
  if (posix_spawn(&p.pid, path.c_str(), &actions, nullptr, argv, environ) != 0) p.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  p.in = in[1];
  p.out = out[0];
  p.err = err[0];
  return p;
}

// A private temporary folder, removed at the end.
class CrashHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp == '/' ? tmp : "/tmp") + "/kcrash_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    root_ = tmpl;
    dir_ = root_ / "dumps";
    fs::create_directory(dir_);
    CrashHandler::Init();
  }
  void TearDown() override {
    CrashHandler::Cleanup();
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  fs::path root_;
  fs::path dir_;
};

TEST_F(CrashHandlerTest, PruneRemovesOnlyEmptyUnheldReports) {
  WriteFile(dir_ / "App_Dump_007.dmp", "");
  WriteFile(dir_ / "kept.dmp", "report");
  WriteFile(dir_ / "a.dmp.bak", "");
  WriteFile(dir_ / "a.dmp.dmp", "");
  fs::create_directory(dir_ / "folder.dmp");
  // 4 GiB exactly: its low 32 bits of size are zero, yet it is not empty.
  {
    int fd = open((dir_ / "huge.dmp").c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, off_t{1} << 32), 0);
    close(fd);
  }
  // Another instance's report: empty, but locked.
  int held = open((dir_ / "held.dmp").c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX), 0);

  EXPECT_EQ(CrashHandler::PruneDumps(dir_.c_str()), 1);
  EXPECT_EQ(List(dir_), (std::vector<std::string>{"a.dmp.bak", "a.dmp.dmp", "folder.dmp",
                                                  "held.dmp", "huge.dmp", "kept.dmp"}));
  close(held);
  EXPECT_EQ(CrashHandler::PruneDumps(dir_.c_str()), 1);
  EXPECT_FALSE(fs::exists(dir_ / "held.dmp"));
  EXPECT_EQ(CrashHandler::PruneDumps((root_ / "none").c_str()), 0);
}

TEST_F(CrashHandlerTest, InstallTakesFirstFreeNumberAndCleanupDeletesOnlyIt) {
  WriteFile(dir_ / "App_Dump_000.dmp", "old report");
  WriteFile(dir_ / "App_Dump_001.dmp", "old report");
  WriteFile(dir_ / "App_Dump_002.dmp", "");  // left by a killed instance
  CrashHandler::Install(dir_.c_str(), "App");
  EXPECT_EQ(List(dir_),
            (std::vector<std::string>{"App_Dump_000.dmp", "App_Dump_001.dmp", "App_Dump_002.dmp"}));
  EXPECT_EQ(fs::file_size(dir_ / "App_Dump_002.dmp"), 0u);
  CrashHandler::Cleanup();
  EXPECT_EQ(List(dir_), (std::vector<std::string>{"App_Dump_000.dmp", "App_Dump_001.dmp"}));
}

TEST_F(CrashHandlerTest, NoNumberedNameFallsBackToCurrentFolder) {
  char name[64];
  for (int n = 0; n < 1000; ++n) {
    snprintf(name, sizeof(name), "App_Dump_%03d.dmp", n);
    WriteFile(dir_ / name, "x");
  }
  fs::path cwd = fs::current_path();
  fs::path work = root_ / "work";
  fs::create_directory(work);
  ASSERT_EQ(chdir(work.c_str()), 0);
  CrashHandler::Install(dir_.c_str(), "App");
  // The deleting Cleanup must find it after a change of folder.
  ASSERT_EQ(chdir(cwd.c_str()), 0);
  EXPECT_EQ(List(work), std::vector<std::string>{"App_Dump_  0"});
  CrashHandler::Cleanup();
  EXPECT_TRUE(List(work).empty());
  EXPECT_EQ(List(dir_).size(), 1000u);

  // An unknown data directory goes the same way rather than to the root folder.
  ASSERT_EQ(chdir(work.c_str()), 0);
  CrashHandler::Install("", "App");
  ASSERT_EQ(chdir(cwd.c_str()), 0);
  EXPECT_EQ(List(work), std::vector<std::string>{"App_Dump_  0"});
  CrashHandler::Cleanup();
  EXPECT_TRUE(List(work).empty());
}

// Probes in child processes: the crash itself, and instances side by side.
class CrashProbeTest : public CrashHandlerTest {
 protected:
  void SetUp() override {
    CrashHandlerTest::SetUp();
#if defined(PV_ASAN)
    // AddressSanitizer lets a program's own handler take SEGV and BUS unless told otherwise.
    const char* options = getenv("ASAN_OPTIONS");
    if (options && strstr(options, "allow_user_segv_handler=0")) {
      GTEST_SKIP() << "ASAN_OPTIONS keeps the fatal signals for AddressSanitizer, so the "
                      "probes cannot show their own handling; the normal build runs them";
    }
#endif
    const char* build = getenv("PV_BUILD_DIR");
    ASSERT_NE(build, nullptr) << "PV_BUILD_DIR is not set";
    // A program folder with the writer library beside the probe, and one without.
    with_lib_ = root_ / "with";
    bare_ = root_ / "bare";
    fs::create_directory(with_lib_);
    fs::create_directory(bare_);
    fs::path probe = fs::path(build) / "tests" / "crash_probe";
    fs::path lib = fs::path(build) / "bin" / "libpvdump.so";
    ASSERT_TRUE(fs::exists(probe)) << probe;
    ASSERT_TRUE(fs::exists(lib)) << lib;
    fs::copy_file(probe, with_lib_ / "crash_probe");
    fs::copy_file(lib, with_lib_ / "libpvdump.so");
    fs::copy_file(probe, bare_ / "crash_probe");
    // The probes' data directory follows HOME; the system search must not
    // find the library either.
    home_ = root_ / "home";
    fs::create_directory(home_);
    setenv("HOME", home_.c_str(), 1);
    for (const char* v : {"XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_DATA_HOME",
                          "XDG_CACHE_HOME", "LD_LIBRARY_PATH", "LD_PRELOAD"}) {
      unsetenv(v);
    }
    data_ = home_ / ".config" / "Brantlow" / "Postvane";
  }

  // Runs a probe to its end; returns the wait status.
  int Run(const fs::path& folder, const char* mode, std::string* ready, std::string* err) {
    Probe p = Start(folder / "crash_probe", mode);
    EXPECT_GT(p.pid, 0);
    *ready = p.ReadLine();
    return p.Finish(err);
  }

  fs::path with_lib_, bare_, home_, data_;
};

TEST_F(CrashProbeTest, CrashLeavesReportAndMessage) {
  struct {
    const char* mode;
    int signal;
    const char* signal_line;
  } cases[] = {{"segv", SIGSEGV, "signal 11 SIGSEGV code"}, {"abort", SIGABRT, "signal 6 SIGABRT"}};
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    std::string ready, err;
    int status = Run(with_lib_, c.mode, &ready, &err);
    EXPECT_EQ(ready, "ready 1");
    ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
    EXPECT_EQ(WTERMSIG(status), c.signal);

    // The earlier crash's report is kept, so each crash gets the next number.
    fs::path dump = data_ / DumpName(n++);
    EXPECT_EQ(err, std::string(kProbeApp) + " diagnostic message\n" + kProbeApp +
                       " crashed!, dump file saved as " + dump.string() + "\n");
    std::string report = ReadFile(dump);
    EXPECT_NE(report.find(c.signal_line), std::string::npos) << report.substr(0, 200);
    EXPECT_NE(report.find("\nrip 0x"), std::string::npos);
    EXPECT_NE(report.find("\nbacktrace\n#0 0x"), std::string::npos);
    // The map names the probe itself, so the addresses above can be placed.
    EXPECT_NE(report.find("\nmemory map\n"), std::string::npos);
    EXPECT_NE(report.find((with_lib_ / "crash_probe").string()), std::string::npos);
  }
}

TEST_F(CrashProbeTest, MissingLibraryLeavesEmptyReportPrunedAtNextStart) {
  std::string ready, err;
  int status = Run(bare_, "segv", &ready, &err);
  EXPECT_EQ(ready, "ready 0");
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGSEGV);
  EXPECT_EQ(err, std::string(kProbeApp) +
                     " diagnostic message\n"
                     "libpvdump.so not found! or libpvdump.so in your system is too old for " +
                     kProbeApp +
                     " debug information!, \n"
                     "To get debug information you need libpvdump.so of this version.\n"
                     "You must copy such newer file to " +
                     kProbeApp + " installation folder.\n");
  ASSERT_EQ(List(data_), std::vector<std::string>{DumpName(0)});
  EXPECT_EQ(fs::file_size(data_ / DumpName(0)), 0u);

  // Had the empty report survived, the next start would have had to take 001.
  Probe next = Start(bare_ / "crash_probe", "wait");
  EXPECT_EQ(next.ReadLine(), "ready 0");
  EXPECT_EQ(List(data_), std::vector<std::string>{DumpName(0)});
  status = next.Finish();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(List(data_).empty());
}

TEST_F(CrashProbeTest, RunningInstancesKeepTheirOwnReports) {
  // One after the other: the second one's pruning meets the first one's empty report.
  Probe first = Start(with_lib_ / "crash_probe", "wait");
  EXPECT_EQ(first.ReadLine(), "ready 1");
  Probe second = Start(with_lib_ / "crash_probe", "wait");
  EXPECT_EQ(second.ReadLine(), "ready 1");
  EXPECT_EQ(List(data_), (std::vector<std::string>{DumpName(0), DumpName(1)}));
  int status = first.Finish();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(List(data_), std::vector<std::string>{DumpName(1)});
  status = second.Finish();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(List(data_).empty());

  // All at once: pruning and creation race, and still every instance keeps one file.
  const int kCount = 6;
  std::vector<Probe> probes;
  for (int i = 0; i < kCount; ++i) probes.push_back(Start(with_lib_ / "crash_probe", "wait"));
  for (auto& p : probes) EXPECT_EQ(p.ReadLine(), "ready 1");
  std::vector<std::string> expected;
  for (int i = 0; i < kCount; ++i) expected.push_back(DumpName(i));
  EXPECT_EQ(List(data_), expected);
  for (auto& p : probes) {
    status = p.Finish();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  EXPECT_TRUE(List(data_).empty());
}

}  // namespace
