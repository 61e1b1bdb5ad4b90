// The program as a whole, run as a child process in a private HOME with
// recording stubs first on PATH: start-up, the single instance, the first-run
// page, the ordered shut-down on SIGTERM and on the tray's Exit, the tray's
// menu and clicks, and the desktop messages of the main window.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/files.h"
#include "support/private_home.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

const char kRecorder[] =
    "#!/bin/sh\n"
    "{ printf '%s\\n' \"$(basename \"$0\")\"; for a in \"$@\"; do printf '[%s]\\n' \"$a\"; done; }"
    " >> \"$PV_STUB_LOG\"\n";

// A started program; killed and reaped whatever happens to the test.
class Child {
 public:
  explicit Child(const std::string& program) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    const char* argv[] = {program.c_str(), nullptr};
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, const_cast<char**>(argv), environ) != 0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    to_ = in[1];
    from_ = out[0];
  }
  ~Child() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (to_ >= 0) close(to_);
    if (from_ >= 0) close(from_);
  }
  bool Started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  // The exit code, or -1 when it did not end within ms (or ended by a signal).
  int WaitExit(int ms) {
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (pid_ > 0) {
      int status = 0;
      pid_t r = waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      if (Clock::now() > end) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }

  // Sends one command line and reads the answer line (probe only).
  std::string Ask(const std::string& command) {
    std::string line = command + "\n";
    if (write(to_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return "";
    return ReadLine();
  }
  std::string ReadLine() {
    std::string answer;
    char c;
    while (read(from_, &c, 1) == 1 && c != '\n') answer += c;
    return answer;
  }

 private:
  pid_t pid_ = -1;
  int to_ = -1;
  int from_ = -1;
};

// The whole answer to a GET of path on 127.0.0.1:port, "" when none came.
std::string HttpGet(int port, const std::string& path) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return "";
  struct timeval limit = {5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
      char buffer[4096];
      for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, n);
    }
  }
  close(fd);
  return answer;
}

bool PortIsFree(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool free = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return free;
}

template <class Done>
bool WaitFor(Done done, int ms = 10000) {
  auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (Clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return done();
}

size_t Count(const std::string& text, const std::string& piece) {
  size_t n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}

class PostvaneTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* build = getenv("PV_BUILD_DIR");
    ASSERT_NE(nullptr, build);
    build_ = build;
    ASSERT_FALSE(home_.path().empty());
    for (const char* name : {"PATH", "DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR",
                             "WAYLAND_DISPLAY", "DISPLAY", "XDG_DATA_DIRS", "PV_STUB_LOG"}) {
      const char* value = getenv(name);
      if (value != nullptr) saved_[name] = value;
      if (std::string(name) != "PATH") unsetenv(name);
    }
    stubs_ = home_.path() + "/stubs";
    std::filesystem::create_directories(stubs_);
    for (const char* name : {"xdg-open", "viewer"}) Stub(name, "");
    // No desktop default for any type unless a test gives one.
    Stub("xdg-mime",
         "case \"$2\" in filetype) echo application/pdf ;;"
         " default) [ -n \"$PV_STUB_DEFAULT\" ] && echo \"$PV_STUB_DEFAULT\" ;; esac\nexit 0\n");
    Stub("xclip", "printf 'in[%s]\\n' \"$(cat)\" >> \"$PV_STUB_LOG\"\n");
    stub_log_ = home_.path() + "/stub.log";
    setenv("PV_STUB_LOG", stub_log_.c_str(), 1);
    setenv("PATH", (stubs_ + ":" + saved_["PATH"]).c_str(), 1);
    setenv("XDG_DATA_DIRS", (home_.path() + "/no-system-data").c_str(), 1);

    data_dir_ = home_.path() + "/.config/Brantlow/Postvane";
    std::filesystem::create_directories(data_dir_);
    port_ = pvtest::FreeLoopbackPort();
    ASSERT_GT(port_, 0);
    pvtest::WriteFile(data_dir_ + "/postvane.ini", "[GENERAL]\nPort=" + std::to_string(port_));
  }
  void TearDown() override {
    for (const char* name : {"DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR", "WAYLAND_DISPLAY",
                             "DISPLAY", "XDG_DATA_DIRS", "PV_STUB_LOG", "PV_STUB_DEFAULT"})
      unsetenv(name);
    for (const auto& [name, value] : saved_) setenv(name.c_str(), value.c_str(), 1);
  }

  void Stub(const std::string& name, const std::string& extra) {
    std::string file = stubs_ + "/" + name;
    pvtest::WriteFile(file, kRecorder + extra);
    chmod(file.c_str(), 0755);
  }

  std::string Program() const { return build_ + "/bin/postvane"; }
  std::string Probe() const { return build_ + "/tests/postvane_probe"; }
  std::string Log() const { return pvtest::ReadFile(data_dir_ + "/postvane.log"); }
  std::string Stubs() const { return pvtest::ReadFile(stub_log_); }
  std::string Url(const std::string& page) const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/" + page;
  }
  bool Serving() { return HttpGet(port_, "/index.html").compare(0, 13, "HTTP/1.1 200 ") == 0; }
  std::string LastLogRecord() const {
    std::string log = Log();
    if (!log.empty() && log.back() == '\n') log.pop_back();
    return log.substr(log.rfind('\n') + 1);
  }
  // Ends the program with SIGTERM and checks the ordered shut-down.
  void TerminateInOrder(Child& program) {
    auto start = Clock::now();
    ASSERT_EQ(0, kill(program.pid(), SIGTERM));
    EXPECT_EQ(0, program.WaitExit(3000));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
    EXPECT_NE(std::string::npos, LastLogRecord().find("ErrCode:0 ErrMsg:Stopped")) << Log();
    EXPECT_TRUE(PortIsFree(port_));
  }

  PrivateHome home_;
  std::map<std::string, std::string> saved_;
  std::string build_;
  std::string stubs_;
  std::string stub_log_;
  std::string data_dir_;
  int port_ = 0;
};

TEST_F(PostvaneTest, StartsServesRefusesASecondInstanceAndStopsOnTerm) {
  Child first(Program());
  ASSERT_TRUE(first.Started());
  ASSERT_TRUE(WaitFor([&] { return Serving(); })) << Log();
  EXPECT_NE(std::string::npos, Log().find("ErrCode:0 ErrMsg:Started"));
  ASSERT_TRUE(WaitFor([&] { return Stubs().find(Url("initialize.html")) != std::string::npos; }));

  // A second start opens the running instance's page and ends at once.
  Child second(Program());
  ASSERT_TRUE(second.Started());
  EXPECT_EQ(0, second.WaitExit(5000));
  EXPECT_TRUE(WaitFor([&] { return Stubs().find("[" + Url("index.html") + "]") != std::string::npos; }));
  EXPECT_TRUE(Serving());
  EXPECT_EQ(1u, Count(Log(), "ErrMsg:Started"));

  TerminateInOrder(first);

  // The same version again: no first-run page this time.
  Child again(Program());
  ASSERT_TRUE(WaitFor([&] { return Serving(); })) << Log();
  TerminateInOrder(again);
  EXPECT_EQ(1u, Count(Stubs(), Url("initialize.html")));
}

TEST_F(PostvaneTest, TrayMenuClicksAndExit) {
  Child probe(Probe());
  ASSERT_TRUE(probe.Started());
  ASSERT_TRUE(WaitFor([&] { return Serving(); })) << Log();
  EXPECT_EQ("menu 0 Launch|Preferences|Open Attachments Folder|Help||Exit|", probe.Ask("right-click"));
  EXPECT_EQ("ok", probe.Ask("double-click"));
  ASSERT_TRUE(WaitFor([&] { return Stubs().find(Url("index.html?t=")) != std::string::npos; }));
  EXPECT_TRUE(std::regex_search(Stubs(), std::regex(std::regex_replace(
      Url("index.html"), std::regex("[.?]"), "\\$&") + "\\?t=[0-9]+\\]")))
      << Stubs();
  EXPECT_EQ("adds 2", probe.Ask("host-restart"));
  EXPECT_EQ("menu 0 Launch|Preferences|Open Attachments Folder|Help||Exit|", probe.Ask("right-click"));

  auto start = Clock::now();
  EXPECT_EQ("ok", probe.Ask("choose 105"));
  EXPECT_EQ("exit 0", probe.ReadLine());
  EXPECT_EQ(0, probe.WaitExit(3000));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
  EXPECT_NE(std::string::npos, LastLogRecord().find("ErrCode:0 ErrMsg:Stopped")) << Log();
  EXPECT_TRUE(PortIsFree(port_));
}

TEST_F(PostvaneTest, RefusedTrayIconEndsTheProgramInOrder) {
  setenv("PV_PROBE_FAIL_TRAY", "1", 1);
  Child probe(Probe());
  unsetenv("PV_PROBE_FAIL_TRAY");
  ASSERT_TRUE(probe.Started());
  EXPECT_EQ("exit 0", probe.ReadLine());
  EXPECT_EQ(0, probe.WaitExit(3000));
  EXPECT_NE(std::string::npos, Log().find("ErrMsg:SystemTray::Create"));
  EXPECT_NE(std::string::npos, LastLogRecord().find("ErrCode:0 ErrMsg:Stopped")) << Log();
  EXPECT_TRUE(PortIsFree(port_));
}

TEST_F(PostvaneTest, DesktopMessagesReachTheirProgramsWithThePath) {
  // The desktop's default for the file's type is a program that takes %f.
  std::string apps = home_.path() + "/.local/share/applications";
  std::filesystem::create_directories(apps);
  pvtest::WriteFile(apps + "/viewer.desktop", "[Desktop Entry]\nType=Application\nExec=viewer --view %f\n");
  setenv("PV_STUB_DEFAULT", "viewer.desktop", 1);
  Child probe(Probe());
  ASSERT_TRUE(probe.Started());
  ASSERT_TRUE(WaitFor([&] { return Serving(); })) << Log();
  const std::string path = home_.path() + "/Postvane Attachments/a@x/recv/attachments/b c.pdf";
  EXPECT_EQ("posted 1", probe.Ask("post 11 " + path));
  ASSERT_TRUE(WaitFor([&] { return Stubs().find("viewer\n[--view]\n[" + path + "]\n") != std::string::npos; }))
      << Stubs();
  EXPECT_EQ("posted 1", probe.Ask("post 12 " + path));
  const std::string folder = path.substr(0, path.rfind('/'));
  ASSERT_TRUE(WaitFor([&] { return Stubs().find("xdg-open\n[" + folder + "]\n") != std::string::npos; }))
      << Stubs();
  EXPECT_EQ("posted 1", probe.Ask("post 13 " + path));
  ASSERT_TRUE(WaitFor([&] {
    return Stubs().find("xclip\n[-selection]\n[clipboard]\nin[" + path + "]\n") != std::string::npos;
  })) << Stubs();
  EXPECT_EQ("posted 1", probe.Ask("post 14 " + path));
  ASSERT_TRUE(WaitFor([&] { return Stubs().find("xdg-open\n[" + path + "]\n") != std::string::npos; }))
      << Stubs();

  // No registration program exists yet: the send answers 0 and says why.
  EXPECT_EQ("answer 0", probe.Ask("send 15 1"));
  EXPECT_NE(std::string::npos, Log().find("ShellExecuteEx failed"));
  EXPECT_EQ("answer 0", probe.Ask("send 15 0"));

  TerminateInOrder(probe);
}

}  // namespace
