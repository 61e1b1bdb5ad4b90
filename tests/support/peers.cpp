#include "support/peers.h"

#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

#include "support/loopback.h"

#ifndef PV_PEERS_DIR
#error "PV_PEERS_DIR must name the tests/peers folder"
#endif

namespace pvtest {

namespace {

constexpr int kStartTimeoutMs = 15000;
constexpr int kStopTimeoutMs = 3000;
constexpr int kPortAttempts = 5;

void SleepMs(int ms) { usleep(ms * 1000); }

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  remove(path);
  return 0;
}

}  // namespace

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base && base[0] == '/' ? base : "/tmp") + "/pvpeer-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back(0);
  if (mkdtemp(buf.data())) path_ = buf.data();
}

TempDir::~TempDir() {
  if (!path_.empty()) nftw(path_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string TempDir::File(const std::string& name) const { return path_ + "/" + name; }

// Below the range the kernel hands out to outgoing connections: a port
// from that range, free now, may be any client's own end a moment later
// (the flood tests open thousands), and a program told to listen there would
// find it taken and move on to the next.
int FreeLoopbackPort() {
  int low = 32768, high = 60999;
  std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
  range >> low >> high;
  constexpr int kFirst = 10000;
  if (low > kFirst + 1000) {
    std::mt19937 pick(std::random_device{}() ^ static_cast<unsigned>(getpid()));
    std::uniform_int_distribution<int> port(kFirst, low - 1);
    for (int attempt = 0; attempt < 200; ++attempt) {
      int p = port(pick);
      if (PortIsFree(p)) return p;
    }
  }
  int fd = BindLoopback(0);
  int port = fd >= 0 ? LocalPort(fd) : 0;
  if (fd >= 0) close(fd);
  return port > 0 ? port : 0;
}

void ClearProxyEnvironment() {
  for (const char* name : {"http_proxy", "https_proxy", "ftp_proxy", "all_proxy", "no_proxy", "HTTP_PROXY",
                           "HTTPS_PROXY", "FTP_PROXY", "ALL_PROXY", "NO_PROXY"})
    unsetenv(name);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "";
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool WriteFileAtomic(const std::string& path, const std::string& text, int mode) {
  std::string temp = path + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) return false;
  }
  return chmod(temp.c_str(), (mode_t)mode) == 0 && rename(temp.c_str(), path.c_str()) == 0;
}

Peer::~Peer() { Stop(); }

std::string Peer::Address() const { return "127.0.0.1:" + std::to_string(port_); }

bool Peer::Running() {
  if (pid_ <= 0) return false;
  int status;
  pid_t r = waitpid(pid_, &status, WNOHANG);
  if (r == 0) return true;
  if (r == pid_ || (r < 0 && errno == ECHILD)) pid_ = -1;
  return pid_ > 0;
}

void Peer::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  for (int waited = 0; waited < kStopTimeoutMs; waited += 10) {
    if (!Running()) return;
    SleepMs(10);
  }
  kill(pid_, SIGKILL);
  while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

bool Peer::Fail(const std::string& why) {
  Stop();
  error_ = why;
  std::string output = ReadFile(dir_.File("output.log"));
  if (output.size() > 2000) output = output.substr(output.size() - 2000);
  if (!output.empty()) error_ += "\n--- peer output ---\n" + output;
  return false;
}

bool Peer::Launch(const std::vector<std::string>& argv) {
  if (dir_.Path().empty()) return Fail("no temporary folder");
  // Everything the child needs is made before fork: it may only exec after it.
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  int out = open(dir_.File("output.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (out < 0 || in < 0) {
    if (out >= 0) close(out);
    if (in >= 0) close(in);
    return Fail("cannot open the peer's output file");
  }
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid == 0) {
    // Dies with the starting thread, so an aborted test leaves no peer behind.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    dup2(in, 0);
    dup2(out, 1);
    dup2(out, 2);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(out);
  close(in);
  if (pid < 0) return Fail(std::string("fork: ") + strerror(errno));
  pid_ = pid;
  return true;
}

bool Peer::WaitAccepts(int port, int timeout_ms) {
  for (int waited = 0; waited < timeout_ms; waited += 20) {
    if (!Running()) return false;
    int fd = ConnectLoopback(port);
    if (fd >= 0) {
      close(fd);
      return true;
    }
    SleepMs(20);
  }
  return false;
}

bool Peer::LaunchOnFreePort(const std::function<std::vector<std::string>(int port)>& make_argv) {
  for (int attempt = 0; attempt < kPortAttempts; ++attempt) {
    int port = FreeLoopbackPort();
    if (port == 0) return Fail("no free loopback port");
    if (!Launch(make_argv(port))) return false;
    if (WaitAccepts(port, kStartTimeoutMs)) {
      port_ = port;
      return true;
    }
    // Died (most likely the port was taken meanwhile) or never listened.
    Stop();
  }
  return Fail("the peer did not start listening");
}

bool Peer::StartScript(const std::string& script, const std::vector<std::string>& extra) {
  // -B: no byte-code files in the source tree.
  std::vector<std::string> argv = {"python3", "-B", std::string(PV_PEERS_DIR) + "/" + script, "--dir", Dir()};
  argv.insert(argv.end(), extra.begin(), extra.end());
  if (!Launch(argv)) return false;
  for (int waited = 0; waited < kStartTimeoutMs && Running(); waited += 20) {
    std::string text = ReadFile(dir_.File("port"));
    if (!text.empty()) {
      port_ = atoi(text.c_str());
      if (port_ > 0 && WaitAccepts(port_, kStartTimeoutMs)) return true;
      return Fail(script + " did not accept connections");
    }
    SleepMs(20);
  }
  return Fail(script + " did not report its port");
}

bool HttpPeer::Start(bool tls) {
  tls_ = tls;
  return StartScript("httpd.py", tls ? std::vector<std::string>{"--tls"} : std::vector<std::string>{});
}

std::string HttpPeer::Url(const std::string& path_query) const {
  return std::string(tls_ ? "https://" : "http://") + Address() + path_query;
}

int HttpPeer::RequestCount() const {
  int n = 0;
  while (access(dir_.File("requests/" + std::to_string(n + 1) + ".req").c_str(), F_OK) == 0) ++n;
  return n;
}

bool HttpProxyPeer::Start(const char* user, const char* password) {
  return LaunchOnFreePort([&](int port) {
    std::string config = "Port " + std::to_string(port) +
                         "\n"
                         "Listen 127.0.0.1\n"
                         "Timeout 60\n"
                         "MaxClients 100\n"
                         "LogLevel Info\n"
                         "LogFile \"" +
                         dir_.File("tinyproxy.log") +
                         "\"\n"
                         "DisableViaHeader Yes\n";
    if (user) config += std::string("BasicAuth ") + user + " " + (password ? password : "") + "\n";
    WriteFileAtomic(dir_.File("tinyproxy.conf"), config);
    return std::vector<std::string>{"tinyproxy", "-d", "-c", dir_.File("tinyproxy.conf")};
  });
}

bool SocksPeer::Start(const char* user, const char* password) {
  return LaunchOnFreePort([&](int port) {
    std::vector<std::string> argv = {"microsocks", "-i", "127.0.0.1", "-p", std::to_string(port)};
    if (user) {
      argv.insert(argv.end(), {"-u", user, "-P", password ? password : ""});
    }
    return argv;
  });
}

}  // namespace pvtest
