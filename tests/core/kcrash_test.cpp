#include "core/kcrash.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/files.h"
#include "support/private_home.h"

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

// A probe child (tests/core/crash_probe.cpp) whose standard input is ours,
// so a "wait" probe runs until Finish; its output goes to files.
struct Probe {
  FILE* in;
  std::string out;
  Probe(const fs::path& program, const char* mode, const std::string& output) : out(output) {
    in = popen(
        ("exec '" + program.string() + "' " + mode + " >'" + out + "' 2>'" + out + ".err'").c_str(),
        "w");
  }
  // The first line of its standard output, waiting at most 20 s for it.
  std::string ReadLine() const {
    std::string text;
    for (int i = 0; i < 2000 && (text = pvtest::ReadFile(out)).find('\n') == std::string::npos; ++i)
      usleep(10000);
    return text.substr(0, text.find('\n'));
  }
  // Ends its standard input and waits: its wait status.
  int Finish() const { return pclose(in); }
  std::string Errors() const { return pvtest::ReadFile(out + ".err"); }
};

bool ExitedNormally(int status) { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }

class CrashHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(dir_);
    CrashHandler::Init();
  }
  void TearDown() override { CrashHandler::Cleanup(); }

  pvtest::TempDir root_;
  fs::path dir_ = root_.File("dumps");
};

TEST_F(CrashHandlerTest, PruneRemovesOnlyEmptyUnheldReports) {
  pvtest::WriteFile(dir_ / "App_Dump_007.dmp", "");
  pvtest::WriteFile(dir_ / "kept.dmp", "report");
  pvtest::WriteFile(dir_ / "a.dmp.bak", "");
  fs::create_directory(dir_ / "folder.dmp");
  // 4 GiB exactly: its low 32 bits of size are zero, yet it is not empty.
  pvtest::WriteFile(dir_ / "huge.dmp", "");
  fs::resize_file(dir_ / "huge.dmp", uintmax_t{1} << 32);
  // Another instance's report: empty, but locked.
  int held = open((dir_ / "held.dmp").c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX), 0);

  EXPECT_EQ(CrashHandler::PruneDumps(dir_.c_str()), 1);
  EXPECT_EQ(List(dir_), (std::vector<std::string>{"a.dmp.bak", "folder.dmp", "held.dmp", "huge.dmp",
                                                  "kept.dmp"}));
  close(held);
  EXPECT_EQ(CrashHandler::PruneDumps(dir_.c_str()), 1);
  EXPECT_FALSE(fs::exists(dir_ / "held.dmp"));
  EXPECT_EQ(CrashHandler::PruneDumps(root_.File("none").c_str()), 0);
}

TEST_F(CrashHandlerTest, InstallTakesFirstFreeNumberAndCleanupDeletesOnlyIt) {
  pvtest::WriteFile(dir_ / "App_Dump_000.dmp", "old report");
  pvtest::WriteFile(dir_ / "App_Dump_001.dmp", "old report");
  pvtest::WriteFile(dir_ / "App_Dump_002.dmp", "");  // left by a killed instance
  CrashHandler::Install(dir_.c_str(), "App");
  EXPECT_EQ(List(dir_).size(), 3u);
  EXPECT_EQ(fs::file_size(dir_ / "App_Dump_002.dmp"), 0u);
  CrashHandler::Cleanup();
  EXPECT_EQ(List(dir_), (std::vector<std::string>{"App_Dump_000.dmp", "App_Dump_001.dmp"}));

  // With every numbered name taken, or no data directory, the report goes to
  // the current folder (not the root), and the deleting Cleanup must find it
  // after a change of folder.
  for (int n = 2; n < 1000; ++n) {
    char name[32];
    snprintf(name, sizeof name, "App_Dump_%03d.dmp", n);
    pvtest::WriteFile(dir_ / name, "x");
  }
  const fs::path cwd = fs::current_path(), work = root_.File("work");
  fs::create_directory(work);
  for (const std::string& data : {dir_.string(), std::string()}) {
    ASSERT_EQ(chdir(work.c_str()), 0);
    CrashHandler::Install(data.c_str(), "App");
    ASSERT_EQ(chdir(cwd.c_str()), 0);
    EXPECT_EQ(List(work), std::vector<std::string>{"App_Dump_  0"});
    CrashHandler::Cleanup();
    EXPECT_TRUE(List(work).empty());
  }
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
    // A program folder with the writer library beside the probe, and one
    // without; the system search must not find the library either.
    fs::create_directory(with_lib_);
    fs::create_directory(bare_);
    fs::copy_file(fs::path(build) / "tests" / "crash_probe", with_lib_ / "crash_probe");
    fs::copy_file(fs::path(build) / "bin" / "libpvdump.so", with_lib_ / "libpvdump.so");
    fs::copy_file(fs::path(build) / "tests" / "crash_probe", bare_ / "crash_probe");
    unsetenv("LD_LIBRARY_PATH");
    unsetenv("LD_PRELOAD");
  }

  fs::path with_lib_ = root_.File("with"), bare_ = root_.File("bare");
  PrivateHome home_;  // the probes' data directory follows HOME
  fs::path data_ = home_.path() + "/.config/Brantlow/Postvane";
};

TEST_F(CrashProbeTest, CrashLeavesReportAndMessage) {
  const struct {
    const char* mode;
    int signal;
    const char* signal_line;
  } cases[] = {{"segv", SIGSEGV, "signal 11 SIGSEGV code"}, {"abort", SIGABRT, "signal 6 SIGABRT"}};
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    Probe probe(with_lib_ / "crash_probe", c.mode, root_.File(c.mode));
    EXPECT_EQ(probe.ReadLine(), "ready 1");
    int status = probe.Finish();
    const std::string err = probe.Errors();
    ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
    EXPECT_EQ(WTERMSIG(status), c.signal);

    // The earlier crash's report is kept, so each crash gets the next number.
    fs::path dump = data_ / DumpName(n++);
    EXPECT_EQ(err, std::string(kProbeApp) + " diagnostic message\n" + kProbeApp +
                       " crashed!, dump file saved as " + dump.string() + "\n");
    std::string report = pvtest::ReadFile(dump);
    EXPECT_NE(report.find(c.signal_line), std::string::npos) << report.substr(0, 200);
    EXPECT_NE(report.find("\nrip 0x"), std::string::npos);
    EXPECT_NE(report.find("\nbacktrace\n#0 0x"), std::string::npos);
    // The map names the probe itself, so the addresses above can be placed.
    EXPECT_NE(report.find("\nmemory map\n"), std::string::npos);
    EXPECT_NE(report.find((with_lib_ / "crash_probe").string()), std::string::npos);
  }
}

TEST_F(CrashProbeTest, MissingLibraryLeavesEmptyReportPrunedAtNextStart) {
  Probe probe(bare_ / "crash_probe", "segv", root_.File("segv"));
  EXPECT_EQ(probe.ReadLine(), "ready 0");
  int status = probe.Finish();
  const std::string err = probe.Errors();
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGSEGV);
  const std::string app = kProbeApp;
  EXPECT_EQ(err, app + " diagnostic message\n"
                       "libpvdump.so not found! or libpvdump.so in your system is too old for " +
                     app + " debug information!, \n"
                           "To get debug information you need libpvdump.so of this version.\n"
                           "You must copy such newer file to " +
                     app + " installation folder.\n");
  ASSERT_EQ(List(data_), std::vector<std::string>{DumpName(0)});
  EXPECT_EQ(fs::file_size(data_ / DumpName(0)), 0u);

  // Had the empty report survived, the next start would have had to take 001.
  Probe next(bare_ / "crash_probe", "wait", root_.File("wait"));
  EXPECT_EQ(next.ReadLine(), "ready 0");
  EXPECT_EQ(List(data_), std::vector<std::string>{DumpName(0)});
  EXPECT_TRUE(ExitedNormally(next.Finish()));
  EXPECT_TRUE(List(data_).empty());
}

// Pruning and creation race, and still every instance keeps a file of its own.
TEST_F(CrashProbeTest, RunningInstancesKeepTheirOwnReports) {
  std::vector<Probe> probes;
  std::vector<std::string> expected;
  for (int i = 0; i < 6; ++i) {
    probes.emplace_back(with_lib_ / "crash_probe", "wait", root_.File("wait" + std::to_string(i)));
    expected.push_back(DumpName(i));
  }
  for (auto& p : probes) EXPECT_EQ(p.ReadLine(), "ready 1");
  EXPECT_EQ(List(data_), expected);
  for (auto& p : probes) EXPECT_TRUE(ExitedNormally(p.Finish()));
  EXPECT_TRUE(List(data_).empty());
}

}  // namespace
