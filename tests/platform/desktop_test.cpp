// Desktop actions through recording stubs first on PATH: exact arguments
// without a shell, no zombies, a clean signal state in the started program,
// the bus hook with its fallbacks, and the MIME-default lookup.
#include "platform/desktop.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/files.h"
#include "support/private_home.h"

namespace {

// Each stub appends its name, then its arguments in brackets, to $PV_STUB_LOG.
const char kRecorder[] =
    "#!/bin/sh\n"
    "{ printf '%s\\n' \"$(basename \"$0\")\"; for a in \"$@\"; do printf '[%s]\\n' \"$a\"; done; }"
    " >> \"$PV_STUB_LOG\"\n";

class DesktopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(home_.path().empty());
    stubs_ = home_.path() + "/stubs";
    log_ = home_.path() + "/stub.log";
    std::filesystem::create_directories(stubs_);
    const char* path = getenv("PATH");
    old_path_ = path != nullptr ? path : "/usr/bin:/bin";
    setenv("PATH", (stubs_ + ":" + old_path_).c_str(), 1);
    setenv("PV_STUB_LOG", log_.c_str(), 1);
    unsetenv("WAYLAND_DISPLAY");
    unsetenv("PV_RUNAS");
    koSetDesktopBus(nullptr);
  }
  void TearDown() override {
    setenv("PATH", old_path_.c_str(), 1);
    unsetenv("PV_STUB_LOG");
    unsetenv("PV_RUNAS");
    koSetDesktopBus(nullptr);
  }

  void Stub(const std::string& name, const std::string& extra = "") {
    std::string file = stubs_ + "/" + name;
    pvtest::WriteFile(file, kRecorder + extra);
    chmod(file.c_str(), 0755);
  }

  // The log once it holds at least `lines` lines (the stubs run detached).
  std::string WaitForLog(size_t lines) {
    std::string text;
    for (int i = 0; i < 500; ++i) {
      text = pvtest::ReadFile(log_);
      size_t count = 0;
      for (char c : text) count += c == '\n';
      if (count >= lines) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return text;
  }

  PrivateHome home_;
  std::string stubs_;
  std::string log_;
  std::string old_path_;
};

TEST_F(DesktopTest, FindsProgramsOnPathInOrder) {
  Stub("xdg-open");
  koString found;
  ASSERT_EQ(1, koFindProgram("xdg-open", found));
  EXPECT_EQ(stubs_ + "/xdg-open", found.GetString());
  pvtest::WriteFile(stubs_ + "/notexec", "#!/bin/sh\n");
  EXPECT_EQ(0, koFindProgram("notexec", found));
  EXPECT_EQ(0, koFindProgram("no-such-program-here", found));
  EXPECT_EQ(1, koFindProgram((stubs_ + "/xdg-open").c_str(), found));
  EXPECT_EQ(0, koFindProgram("", found));
}

TEST_F(DesktopTest, StartsDetachedWithExactArgumentsAndLeavesNoChild) {
  Stub("recorder");
  const char* argv[] = {"recorder", "a b", "$(touch x)", "';|&", "", nullptr};
  int err = -1;
  ASSERT_EQ(1, koStartDetached(argv, nullptr, &err));
  EXPECT_EQ(0, err);
  EXPECT_EQ("recorder\n[a b]\n[$(touch x)]\n[';|&]\n[]\n", WaitForLog(5));
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
  Stub("sigstate", "exec grep -E '^Sig(Blk|Ign)' /proc/self/status >> \"$PV_STUB_LOG\"\n");
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
  std::string log = WaitForLog(3);
  EXPECT_NE(std::string::npos, log.find("SigBlk:\t0000000000000000")) << log;
  EXPECT_NE(std::string::npos, log.find("SigIgn:\t0000000000000000")) << log;
}

TEST_F(DesktopTest, OpenShowAndOpenWithFallBackToXdgOpen) {
  Stub("xdg-open");
  ASSERT_EQ(1, koDesktopOpen("http://127.0.0.1:40000/index.html", nullptr));
  WaitForLog(2);
  ASSERT_EQ(1, koDesktopShowItem("/home/u/Postvane Attachments/a b.pdf", nullptr));
  WaitForLog(4);
  ASSERT_EQ(1, koDesktopOpenWith("/home/u/file.txt", nullptr));
  EXPECT_EQ(
      "xdg-open\n[http://127.0.0.1:40000/index.html]\n"
      "xdg-open\n[/home/u/Postvane Attachments]\n"
      "xdg-open\n[/home/u/file.txt]\n",
      WaitForLog(6));
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
  Stub("xdg-open");
  static const koDesktopBus bus = {FakeShowItems, FakeOpenWith};
  koSetDesktopBus(&bus);
  bus_calls.clear();
  bus_answer = 1;
  EXPECT_EQ(1, koDesktopShowItem("/home/u/a b%.pdf", nullptr));
  EXPECT_EQ(1, koDesktopOpenWith("/home/u/a.pdf", nullptr));
  EXPECT_EQ((std::vector<std::string>{"show file:///home/u/a%20b%25.pdf", "with /home/u/a.pdf"}),
            bus_calls);
  // A service that refuses: the xdg-open fallback runs.
  bus_answer = 0;
  EXPECT_EQ(1, koDesktopShowItem("/home/u/a.pdf", nullptr));
  EXPECT_EQ("xdg-open\n[/home/u]\n", WaitForLog(2));
}

TEST_F(DesktopTest, FileUriEscapesWhatIsNotPlain) {
  koString uri;
  koFileUri("/a/b c/\xC3\xA9#?%", uri);
  EXPECT_STREQ("file:///a/b%20c/%C3%A9%23%3F%25", uri.GetString());
}

TEST_F(DesktopTest, ClipboardGoesToWlCopyOnWaylandElseXclip) {
  const char kReadInput[] = "printf 'in[%s]\\n' \"$(cat)\" >> \"$PV_STUB_LOG\"\n";
  Stub("wl-copy", kReadInput);
  Stub("xclip", kReadInput);
  setenv("WAYLAND_DISPLAY", "wayland-0", 1);
  ASSERT_EQ(1, koDesktopCopyText("/home/u/a b.pdf", nullptr));
  EXPECT_EQ("wl-copy\nin[/home/u/a b.pdf]\n", WaitForLog(2));
  unsetenv("WAYLAND_DISPLAY");
  ASSERT_EQ(1, koDesktopCopyText("/x", nullptr));
  EXPECT_EQ("wl-copy\nin[/home/u/a b.pdf]\nxclip\n[-selection]\n[clipboard]\nin[/x]\n",
            WaitForLog(6));
  // Without xclip, wl-copy is still tried; without either, nothing runs.
  unlink((stubs_ + "/xclip").c_str());
  koString found;
  if (koFindProgram("xclip", found)) GTEST_SKIP() << "xclip installed on this machine";
  ASSERT_EQ(1, koDesktopCopyText("/y", nullptr));
  WaitForLog(8);
  unlink((stubs_ + "/wl-copy").c_str());
  if (koFindProgram("wl-copy", found)) GTEST_SKIP() << "wl-copy installed on this machine";
  int err = 0;
  EXPECT_EQ(0, koDesktopCopyText("/z", &err));
  EXPECT_EQ(ENOENT, err);
}

TEST_F(DesktopTest, ElevatedStartGoesThroughTheWrapper) {
  Stub("runas");
  Stub("register");
  setenv("PV_RUNAS", "runas", 1);
  std::string program = stubs_ + "/register";
  const char* argv[] = {program.c_str(), "/s", "/u", "/x/IEPostvane.dll", nullptr};
  ASSERT_EQ(1, koStartElevated(argv, nullptr));
  EXPECT_EQ("runas\n[" + program + "]\n[/s]\n[/u]\n[/x/IEPostvane.dll]\n", WaitForLog(5));
  int err = 0;
  std::string missing = stubs_ + "/no-register";
  const char* absent[] = {missing.c_str(), nullptr};
  EXPECT_EQ(0, koStartElevated(absent, &err));
  EXPECT_EQ(ENOENT, err);
  const char* relative[] = {"register", nullptr};
  EXPECT_EQ(0, koStartElevated(relative, &err));
}

TEST_F(DesktopTest, RunForOutputReadsAndBoundsTheWait) {
  pvtest::WriteFile(stubs_ + "/says", "#!/bin/sh\necho \"hello $1\"\n");
  pvtest::WriteFile(stubs_ + "/hangs", "#!/bin/sh\nexec sleep 30\n");
  pvtest::WriteFile(stubs_ + "/fails", "#!/bin/sh\necho partial\nexit 3\n");
  for (const char* n : {"says", "hangs", "fails"}) chmod((stubs_ + "/" + n).c_str(), 0755);
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
  Stub("xdg-mime",
       "case \"$2\" in\n"
       "  filetype) echo 'application/pdf' ;;\n"
       "  default) [ -n \"$PV_STUB_DEFAULT\" ] && echo \"$PV_STUB_DEFAULT\" ;;\n"
       "esac\nexit 0\n");
  setenv("PV_STUB_DEFAULT", "viewer.desktop;other.desktop", 1);
  koString id;
  ASSERT_EQ(1, koQueryDefaultApp("/home/u/a b.pdf", id, nullptr));
  EXPECT_STREQ("viewer.desktop", id.GetString());
  EXPECT_EQ(
      "xdg-mime\n[query]\n[filetype]\n[/home/u/a b.pdf]\n"
      "xdg-mime\n[query]\n[default]\n[application/pdf]\n",
      pvtest::ReadFile(log_));
  unsetenv("PV_STUB_DEFAULT");
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
