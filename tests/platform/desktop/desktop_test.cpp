// Desktop actions through recording stubs first on PATH: exact arguments
// without a shell, no zombies, a clean signal state in the started program,
// the bus hook with its fallbacks, and the MIME-default lookup.
#include "platform/desktop/desktop.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support/stubs.h"

namespace {

class DesktopTest : public ::testing::Test {
 protected:
  void SetUp() override { koSetDesktopBus(nullptr); }
  void TearDown() override { koSetDesktopBus(nullptr); }

  PrivateHome home_;
  ScopedEnv env_{{"WAYLAND_DISPLAY", nullptr}, {"PV_RUNAS", nullptr}, {"PV_STUB_DEFAULT", nullptr}};
  pvtest::StubPath stubs_{home_.path() + "/stubs"};
  const std::string& dir_ = stubs_.folder();
};

TEST_F(DesktopTest, StartsDetachedWithExactArgumentsAndLeavesNoChild) {
  stubs_.Add("recorder");
  const char* argv[] = {"recorder", "a b", "$(touch x)", "';|&", "", nullptr};
  int err = -1;
  ASSERT_EQ(1, koStartDetached(argv, nullptr, &err));
  EXPECT_EQ(0, err);
  EXPECT_EQ("recorder\n[a b]\n[$(touch x)]\n[';|&]\n[]\n", stubs_.WaitForLog(5));
  // Not our child: nothing to reap, so nothing can become a zombie of ours.
  errno = 0;
  EXPECT_EQ(-1, waitpid(-1, nullptr, WNOHANG));
  EXPECT_EQ(ECHILD, errno);

  const char* missing[] = {"no-such-program-here", nullptr};
  EXPECT_EQ(0, koStartDetached(missing, nullptr, &err));
  EXPECT_EQ(ENOENT, err);
}

TEST_F(DesktopTest, StartedProgramHasNoBlockedOrIgnoredSignals) {
  // grep looks at its own state, which exec kept from what we gave the stub.
  stubs_.Add("sigstate", "exec grep -E '^Sig(Blk|Ign)' /proc/self/status >> \"$PV_STUB_LOG\"\n");
  struct sigaction ignore = {}, old_pipe = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &old_pipe);
  sigset_t block, old_mask;
  sigemptyset(&block);
  sigaddset(&block, SIGTERM);
  sigaddset(&block, SIGINT);
  pthread_sigmask(SIG_BLOCK, &block, &old_mask);
  const char* argv[] = {"sigstate", nullptr};
  int started = koStartDetached(argv, nullptr, nullptr);
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  sigaction(SIGPIPE, &old_pipe, nullptr);
  ASSERT_EQ(1, started);
  std::string log = stubs_.WaitForLog(3);
  // Only the classic signals count: glibc keeps 32 and 33 for itself, and
  // whatever started the test may have left those ignored.
  auto mask = [&log](const char* field) {
    size_t at = log.find(field);
    return at == std::string::npos ? ~0ull : std::stoull(log.substr(at + strlen(field)), nullptr, 16);
  };
  const unsigned long long classic = 0x7fffffffull;  // signals 1 to 31
  EXPECT_EQ(0ull, mask("SigBlk:\t") & classic) << log;
  EXPECT_EQ(0ull, mask("SigIgn:\t") & classic) << log;
}

std::vector<std::string> bus_calls;
int bus_answer = 1;
int FakeShowItems(const char* uri) {
  bus_calls.push_back(std::string("show ") + uri);
  return bus_answer;
}
int FakeOpenWith(const char* path) {
  bus_calls.push_back(std::string("with ") + path);
  return bus_answer;
}

TEST_F(DesktopTest, BusServicesComeFirstWhenInstalled) {
  stubs_.Add("xdg-open");
  static const koDesktopBus bus = {FakeShowItems, FakeOpenWith};
  koSetDesktopBus(&bus);
  bus_calls.clear();
  bus_answer = 1;
  EXPECT_EQ(1, koDesktopShowItem("/home/u/a b/\xC3\xA9#?%.pdf", nullptr));
  EXPECT_EQ(1, koDesktopOpenWith("/home/u/a.pdf", nullptr));
  EXPECT_EQ((std::vector<std::string>{"show file:///home/u/a%20b/%C3%A9%23%3F%25.pdf",
                                      "with /home/u/a.pdf"}),
            bus_calls);
  // A service that refuses: the xdg-open fallback runs.
  bus_answer = 0;
  EXPECT_EQ(1, koDesktopShowItem("/home/u/a.pdf", nullptr));
  EXPECT_EQ("xdg-open\n[/home/u]\n", stubs_.WaitForLog(2));
}

TEST_F(DesktopTest, ClipboardGoesToWlCopyOnWaylandElseXclip) {
  const char kReadInput[] = "printf 'in[%s]\\n' \"$(cat)\" >> \"$PV_STUB_LOG\"\n";
  stubs_.Add("wl-copy", kReadInput);
  stubs_.Add("xclip", kReadInput);
  env_.Set("WAYLAND_DISPLAY", "wayland-0");
  ASSERT_EQ(1, koDesktopCopyText("/home/u/a b.pdf", nullptr));
  EXPECT_EQ("wl-copy\nin[/home/u/a b.pdf]\n", stubs_.WaitForLog(2));
  env_.Set("WAYLAND_DISPLAY", nullptr);
  ASSERT_EQ(1, koDesktopCopyText("/x", nullptr));
  EXPECT_EQ("wl-copy\nin[/home/u/a b.pdf]\nxclip\n[-selection]\n[clipboard]\nin[/x]\n",
            stubs_.WaitForLog(6));
  // Without xclip, wl-copy is still tried; without either, nothing runs.
  unlink((dir_ + "/xclip").c_str());
  koString found;
  if (koFindProgram("xclip", found)) GTEST_SKIP() << "xclip installed on this machine";
  ASSERT_EQ(1, koDesktopCopyText("/y", nullptr));
  stubs_.WaitForLog(8);
  unlink((dir_ + "/wl-copy").c_str());
  if (koFindProgram("wl-copy", found)) GTEST_SKIP() << "wl-copy installed on this machine";
  int err = 0;
  EXPECT_EQ(0, koDesktopCopyText("/z", &err));
  EXPECT_EQ(ENOENT, err);
}

TEST_F(DesktopTest, ElevatedStartGoesThroughTheWrapper) {
  stubs_.Add("runas");
  stubs_.Add("register");
  env_.Set("PV_RUNAS", "runas");
  std::string program = dir_ + "/register";
  const char* argv[] = {program.c_str(), "/s", "/u", "/x/IEPostvane.dll", nullptr};
  ASSERT_EQ(1, koStartElevated(argv, nullptr));
  EXPECT_EQ("runas\n[" + program + "]\n[/s]\n[/u]\n[/x/IEPostvane.dll]\n", stubs_.WaitForLog(5));
  int err = 0;
  std::string missing = dir_ + "/no-register";
  const char* absent[] = {missing.c_str(), nullptr};
  EXPECT_EQ(0, koStartElevated(absent, &err));
  EXPECT_EQ(ENOENT, err);
  const char* relative[] = {"register", nullptr};
  EXPECT_EQ(0, koStartElevated(relative, &err));
}

TEST_F(DesktopTest, RunForOutputReadsAndBoundsTheWait) {
  stubs_.Script("says", "#!/bin/sh\necho \"hello $1\"\n");
  stubs_.Script("hangs", "#!/bin/sh\nexec sleep 30\n");
  stubs_.Script("fails", "#!/bin/sh\necho partial\nexit 3\n");
  koString out;
  const char* says[] = {"says", "there", nullptr};
  ASSERT_EQ(1, koRunForOutput(says, 5000, out, nullptr));
  EXPECT_STREQ("hello there\n", out.GetString());
  const char* fails[] = {"fails", nullptr};
  EXPECT_EQ(0, koRunForOutput(fails, 5000, out, nullptr));
  auto start = std::chrono::steady_clock::now();
  const char* hangs[] = {"hangs", nullptr};
  int err = 0;
  EXPECT_EQ(0, koRunForOutput(hangs, 200, out, &err));
  EXPECT_EQ(ETIMEDOUT, err);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(-1, waitpid(-1, nullptr, WNOHANG));  // the killed one was reaped
}

TEST_F(DesktopTest, DefaultApplicationFromTheMimeDefaults) {
  stubs_.Add("xdg-mime",
             "case \"$2\" in filetype) echo 'application/pdf' ;;"
             " default) [ -n \"$PV_STUB_DEFAULT\" ] && echo \"$PV_STUB_DEFAULT\" ;; esac\nexit 0\n");
  env_.Set("PV_STUB_DEFAULT", "viewer.desktop;other.desktop");
  koString id;
  ASSERT_EQ(1, koQueryDefaultApp("/home/u/a b.pdf", id, nullptr));
  EXPECT_STREQ("viewer.desktop", id.GetString());
  EXPECT_EQ(
      "xdg-mime\n[query]\n[filetype]\n[/home/u/a b.pdf]\n"
      "xdg-mime\n[query]\n[default]\n[application/pdf]\n",
      stubs_.Log());
  env_.Set("PV_STUB_DEFAULT", nullptr);
  EXPECT_EQ(0, koQueryDefaultApp("/home/u/a b.pdf", id, nullptr));

  // The entry is read from the user's applications folder first.
  std::string apps = home_.path() + "/.local/share/applications";
  std::filesystem::create_directories(apps);
  pvtest::WriteFile(apps + "/viewer.desktop",
                    "[Desktop Action new]\nExec=wrong\n"
                    "[Desktop Entry]\nName=Viewer\nExec = viewer --page\\s1 %U\nType=Application\n");
  koString exec;
  ASSERT_EQ(1, koReadDesktopExec("viewer.desktop", exec));
  EXPECT_STREQ("viewer --page 1 %U", exec.GetString());
  EXPECT_EQ(0, koReadDesktopExec("missing.desktop", exec));
  EXPECT_EQ(0, koReadDesktopExec("../viewer.desktop", exec));
}

TEST(ExpandExecTest, FieldCodesAndQuoting) {
  struct Case {
    const char* exec;
    std::vector<std::string> argv;  // empty: refused
  };
  const Case cases[] = {
      {"viewer %f", {"viewer", "/p q"}},
      {"viewer --new %U", {"viewer", "--new", "/p q"}},
      {"viewer --file=%u", {"viewer", "--file=/p q"}},
      {"viewer", {"viewer", "/p q"}},  // no file code: the path goes last
      {"viewer %i %c %k %F", {"viewer", "/p q"}},
      {"viewer 100%% %f", {"viewer", "100%", "/p q"}},
      {"\"/opt/my app/viewer\" \"\" %f", {"/opt/my app/viewer", "", "/p q"}},
      {"sh -c \"echo \\\"%f\\\" \\$HOME\"", {"sh", "-c", "echo \"%f\" $HOME", "/p q"}},
      {"  viewer   %f  ", {"viewer", "/p q"}},
      {"viewer \"unclosed %f", {}},
      {"", {}},
      {"%i", {}},
  };
  for (const Case& c : cases) {
    std::vector<koString> argv;
    int ok = koExpandExec(c.exec, "/p q", argv);
    EXPECT_EQ(c.argv.empty() ? 0 : 1, ok) << c.exec;
    std::vector<std::string> got;
    for (const koString& a : argv) got.push_back(a.GetString());
    EXPECT_EQ(c.argv, got) << c.exec;
  }
}

}  // namespace
