// The program as a child process: a private HOME, no desktop, recording
// stubs first on PATH and a free port in the ini file, for tests that start
// `postvane` (or its probe with the recording tray) and talk to it.
#ifndef PV_TESTS_APP_WEB_PROGRAM_FIXTURE_H
#define PV_TESTS_APP_WEB_PROGRAM_FIXTURE_H

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "support/child.h"
#include "support/files.h"
#include "support/loopback.h"
#include "support/lsan_suppressions.h"
#include "support/private_home.h"
#include "support/stubs.h"

namespace programtest {

using Clock = std::chrono::steady_clock;
using pvtest::WaitFor;

inline size_t Count(const std::string& text, const std::string& piece) {
  size_t n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}

// A private HOME, no desktop, recording stubs first on PATH, and a free port
// in the ini file.
class PostvaneTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* build = getenv("PV_BUILD_DIR");
    ASSERT_NE(nullptr, build);
    build_ = build;
    ASSERT_FALSE(home_.path().empty());
    for (const char* name : {"xdg-open", "viewer"}) stubs_.Add(name);
    // No desktop default for any type unless a test gives one.
    stubs_.Add("xdg-mime",
               "case \"$2\" in filetype) echo application/pdf ;;"
               " default) [ -n \"$PV_STUB_DEFAULT\" ] && echo \"$PV_STUB_DEFAULT\" ;; esac\nexit 0\n");
    stubs_.Add("xclip", "printf 'in[%s]\\n' \"$(cat)\" >> \"$PV_STUB_LOG\"\n");
    data_dir_ = home_.path() + "/.config/Brantlow/Postvane";
    std::filesystem::create_directories(data_dir_);
    port_ = pvtest::FreeLoopbackPort();
    ASSERT_GT(port_, 0);
    pvtest::WriteFile(data_dir_ + "/postvane.ini", "[GENERAL]\nPort=" + std::to_string(port_));
    // In a sanitizer build: the libraries' own leaks (support/lsan_suppressions.h).
    pvtest::WriteFile(home_.path() + "/lsan.supp", PV_LSAN_SUPPRESSIONS);
    const char* lsan = getenv("LSAN_OPTIONS");
    env_.Set("LSAN_OPTIONS", ((lsan != nullptr ? std::string(lsan) + ":" : "") + "suppressions=" + home_.path() +
                              "/lsan.supp").c_str());
  }

  std::string Program() const { return build_ + "/bin/postvane"; }
  std::string Probe() const { return build_ + "/tests/postvane_probe"; }
  std::string Log() const { return pvtest::ReadFile(data_dir_ + "/postvane.log"); }
  std::string Stubs() const { return stubs_.Log(); }
  bool StubsHold(const std::string& piece) {
    return WaitFor([&] { return Stubs().find(piece) != std::string::npos; });
  }
  std::string Url(const std::string& page) const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/" + page;
  }
  bool Serving() {
    return pvtest::Exchange(port_, "GET /index.html HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n")
               .compare(0, 13, "HTTP/1.1 200 ") == 0;
  }
  // The program gives its shut-down 3 s at most, then ends at once; the rest
  // is the process's own exit (a sanitizer build looks for leaks then).
  static constexpr int kExitMs = 15000;
  // The ordered shut-down: "Stopped" last, the port free again.
  void ExpectStoppedInOrder() {
    std::string log = Log();
    if (!log.empty() && log.back() == '\n') log.pop_back();
    EXPECT_NE(std::string::npos, log.substr(log.rfind('\n') + 1).find("ErrCode:0 ErrMsg:Stopped")) << log;
    EXPECT_TRUE(pvtest::PortIsFree(port_));
  }
  // Ends the program with SIGTERM, then as above.
  void TerminateInOrder(pvtest::Spawned& program) {
    ASSERT_EQ(0, kill(program.pid(), SIGTERM));
    EXPECT_EQ(0, program.WaitExit(kExitMs)) << Log();
    ExpectStoppedInOrder();
  }

  PrivateHome home_;
  ScopedEnv env_{{"DBUS_SESSION_BUS_ADDRESS", nullptr}, {"XDG_RUNTIME_DIR", nullptr},
                 {"WAYLAND_DISPLAY", nullptr}, {"DISPLAY", nullptr}, {"PV_STUB_DEFAULT", nullptr},
                 {"XDG_DATA_DIRS", (home_.path() + "/no-system-data").c_str()}};
  pvtest::StubPath stubs_{home_.path() + "/stubs"};
  std::string build_;
  std::string data_dir_;
  int port_ = 0;
};

}  // namespace programtest

#endif  // PV_TESTS_APP_WEB_PROGRAM_FIXTURE_H
