// The running program against clients that misbehave: silent and dripping
// connections, floods of parameters and bytes, ports it cannot have, a
// umask that opens everything, and kills in the middle of its start-up.
#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <regex>
#include <thread>
#include <vector>

#include "app/web/httpservicemgr.h"
#include "core/khttpconnection.h"
#include "core/kinifile.h"
#include "program_fixture.h"

namespace {

using programtest::Count;
using programtest::PostvaneTest;
using Clock = std::chrono::steady_clock;
using pvtest::WaitFor;

const char kUnknown[] = "HTTP/1.0 200 OK\r\n\r\nUnable to locate Object Factory";
const char kForbidden[] = "HTTP/1.0 403 Forbidden\r\n\r\n";
#ifdef __SANITIZE_ADDRESS__
// The sanitizer keeps freed blocks in quarantine for a while.
constexpr long kFewMegabytesKb = 32 * 1024;
#else
constexpr long kFewMegabytesKb = 4 * 1024;
#endif

long ElapsedMs(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

int ThreadsOf(pid_t pid) {
  int count = 0;
  std::string folder = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = opendir(folder.c_str());
  while (struct dirent* entry = dir != nullptr ? readdir(dir) : nullptr) count += entry->d_name[0] != '.';
  if (dir != nullptr) closedir(dir);
  return count;
}

long ResidentKb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.compare(0, 6, "VmRSS:") == 0) return std::stol(line.substr(6));
  return -1;
}

// True when the server closed fd: a receive sees the end (or a reset)
// within ms.
bool ClosedBy(int fd, int ms) {
  struct timeval limit = {ms / 1000, (ms % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  char byte;
  ssize_t n = recv(fd, &byte, 1, 0);
  return n == 0 || (n < 0 && errno == ECONNRESET);
}

class ServerLimits : public PostvaneTest {
 protected:
  void SetUp() override {
    PostvaneTest::SetUp();
    // A thousand clients and as many server handles, however low the soft
    // limit of the shell that runs the tests.
    struct rlimit files;
    getrlimit(RLIMIT_NOFILE, &files);
    if (files.rlim_cur < 4096 && files.rlim_max >= 4096) {
      files.rlim_cur = 4096;
      setrlimit(RLIMIT_NOFILE, &files);
    }
    if (files.rlim_cur < 4096) GTEST_SKIP() << "needs 4096 file handles";
  }
  std::string ErrorFile() const { return home_.path() + "/stderr.txt"; }
  std::string Errors() const { return pvtest::ReadFile(ErrorFile()); }
  std::string Request(const std::string& text, bool asNobody = false) {
    return pvtest::Exchange(port_, text, asNobody);
  }
  std::string Host() const { return "Host: 127.0.0.1:" + std::to_string(port_) + "\r\n"; }
  size_t Records() { return Count(Log(), "\n"); }
  void WriteIniPort(const std::string& value) {
    pvtest::WriteFile(data_dir_ + "/postvane.ini", "[GENERAL]\nPort=" + value + "\n");
  }
  // The port in the address that the program printed; 0 until it did.
  int PrintedPort() {
    std::smatch match;
    std::string text = Errors();
    return std::regex_search(text, match, std::regex("open http://127\\.0\\.0\\.1:([0-9]+)/index\\.html"))
               ? std::stoi(match[1])
               : 0;
  }
};

TEST_F(ServerLimits, SilentConnectionsNeitherHoldThreadsNorDelayOthers) {
  pvtest::Spawned program({Program()});
  ASSERT_TRUE(WaitFor([&] { return Serving(); })) << Log();
  const int threads = ThreadsOf(program.pid());

  std::vector<int> silent;
  Clock::time_point opened = Clock::now();
  for (int i = 0; i < 1000; ++i) {
    int fd = pvtest::ConnectLoopback(port_);
    ASSERT_GE(fd, 0) << i;
    silent.push_back(fd);
  }
  // A page every 50 ms until the silent ones are due to be closed.
  std::vector<long> latencies;
  int most = 0;
  while (ElapsedMs(opened) < 10500) {
    Clock::time_point asked = Clock::now();
    ASSERT_TRUE(Serving()) << "request " << latencies.size();
    latencies.push_back(ElapsedMs(asked));
    most = std::max(most, ThreadsOf(program.pid()));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::sort(latencies.begin(), latencies.end());
  long p99 = latencies[latencies.size() * 99 / 100];
  RecordProperty("normal_client_p99_ms", static_cast<int>(p99));
  std::cout << "normal client: " << latencies.size() << " requests, p50 "
            << latencies[latencies.size() / 2] << " ms, p99 " << p99 << " ms; threads "
            << threads << " at start, at most " << most << "\n";
  EXPECT_LE(most, threads + HttpServiceMgr::kMaxConnectionThreads + 4);

  for (int fd : silent) {
    EXPECT_TRUE(ClosedBy(fd, 3000));
    close(fd);
  }
  EXPECT_TRUE(WaitFor([&] { return ThreadsOf(program.pid()) <= threads + 2; }, 3000))
      << ThreadsOf(program.pid()) << ", was " << threads;
  TerminateInOrder(program);
}

TEST_F(ServerLimits, DrippingHeadsAreClosedWhenTheirTimeIsUp) {
  pvtest::Spawned program({Program()});
  ASSERT_TRUE(WaitFor([&] { return Serving(); })) << Log();
  const int threads = ThreadsOf(program.pid());
  std::vector<int> drips;
  Clock::time_point opened = Clock::now();
  for (int i = 0; i < 300; ++i) {
    int fd = pvtest::ConnectLoopback(port_);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(pvtest::SendAll(fd, "GET /?_object=NoSuch HTTP/1.1\r\n" + Host()));
    drips.push_back(fd);
  }
  // A header line every 5 s keeps each one busy, but not alive.
  for (int round = 1; round <= 2; ++round) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5000 * round - ElapsedMs(opened)));
    for (int fd : drips) pvtest::SendAll(fd, "X-Drip: " + std::to_string(round) + "\r\n");
    EXPECT_LE(ThreadsOf(program.pid()), threads + 2);
  }
  for (int fd : drips) {
    EXPECT_TRUE(ClosedBy(fd, 12000 - static_cast<int>(ElapsedMs(opened))));
    close(fd);
  }
  EXPECT_GE(ElapsedMs(opened), 9000);
  EXPECT_LT(ElapsedMs(opened), 12500);
  EXPECT_TRUE(Serving());
  TerminateInOrder(program);
}

TEST_F(ServerLimits, FloodsCostAFewRecordsAndLittleMemory) {
  pvtest::Spawned program({Program()});
  ASSERT_TRUE(WaitFor([&] { return Serving(); })) << Log();
  const pid_t pid = program.pid();

  std::string repeated;
  for (int i = 0; i < 600000; ++i) repeated += "a=1&";
  auto formPost = [&](const std::string& extra) {
    return "POST /?_object=NoSuch HTTP/1.1\r\n" + Host() + extra +
           "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
           std::to_string(repeated.size()) + "\r\n\r\n" + repeated;
  };
  // Refused from the head: the body is neither read nor parsed.
  size_t before = Records();
  std::string refused = Request(formPost("Origin: http://evil.example\r\n"));
  EXPECT_TRUE(refused.empty() || refused == kForbidden) << refused.substr(0, 80);
  EXPECT_LE(Records(), before + 2);
  EXPECT_NE(std::string::npos, Log().find("Request refused: foreign Origin http://evil.example"));
  if (geteuid() == 0) {
    before = Records();
    std::string across = Request(formPost(""), true);
    EXPECT_TRUE(across.empty() || across.find("HTTP/1.1 200 OK\r\nCache-Control: no-cache") == 0);
    EXPECT_LE(Records(), before + 2);
  }
  // Allowed, the repeats past what a name may hold cost one record.
  before = Records();
  EXPECT_EQ(kUnknown, Request(formPost("")));
  // One record for the flood; the program may write one of its own meanwhile.
  EXPECT_LE(Records(), before + 2);
  EXPECT_EQ(1u, Count(Log(), "Request parameters dropped"));
  EXPECT_NE(std::string::npos, Log().find("Request parameters dropped: 534464 beyond"));

  // A body at the limit is read at the speed it comes; past it, 413.
  std::string body(koHttpConnection::kMaxBodyLength, 'b');
  Clock::time_point sent = Clock::now();
  EXPECT_EQ(kUnknown, Request("POST /?_object=NoSuch HTTP/1.1\r\n" + Host() +
                              "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body));
  long bodyMs = ElapsedMs(sent);
  std::cout << "16 MB body answered in " << bodyMs << " ms\n";
  EXPECT_LT(bodyMs, 1000);
  EXPECT_EQ("HTTP/1.0 413 Payload Too Large\r\n\r\n",
            Request("POST /?_object=NoSuch HTTP/1.1\r\n" + Host() + "Content-Length: " +
                    std::to_string(koHttpConnection::kMaxBodyLength + 1) + "\r\n\r\n"));

  // A head of 1 MB is refused while it grows; the process barely grows.
  long resident = ResidentKb(pid);
  std::string huge = "GET / HTTP/1.1\r\n" + Host() + "X-Big: " + std::string(1 << 20, 'h') + "\r\n\r\n";
  for (int i = 0; i < 20; ++i) {
    std::string answer = Request(huge);
    EXPECT_TRUE(answer.empty() || answer == "HTTP/1.0 431 Request Header Fields Too Large\r\n\r\n");
  }
  EXPECT_LT(ResidentKb(pid) - resident, kFewMegabytesKb) << "kB, from " << resident;
  EXPECT_TRUE(Serving());
  TerminateInOrder(program);
}

TEST_F(ServerLimits, PortsNoSocketCanHaveStartAtTheDefault) {
  for (const char* value : {"99999", "0", "-5"}) {
    WriteIniPort(value);
    unlink(ErrorFile().c_str());
    pvtest::Spawned program({Program()}, ErrorFile());
    ASSERT_TRUE(WaitFor([&] { return PrintedPort() > 0; })) << value << "\n" << Errors();
    int port = PrintedPort();
    EXPECT_GE(port, HttpServiceMgr::kDefaultPort) << value;
    EXPECT_EQ(port, IniReadInt("GENERAL", "Port", -1, (data_dir_ + "/postvane.ini").c_str())) << value;
    port_ = port;
    EXPECT_TRUE(Serving()) << value;
    TerminateInOrder(program);
  }
}

TEST_F(ServerLimits, WithoutAPortTheProgramSaysSo) {
  // 64999 is the last port tried; holding it leaves none.
  int held = pvtest::BindLoopback(64999, 4);
  if (held < 0) GTEST_SKIP() << "port 64999 is in use here";
  WriteIniPort("64999");
  pvtest::Spawned probe({Probe()}, ErrorFile());
  ASSERT_TRUE(probe.Started());
  ASSERT_TRUE(WaitFor([&] { return Errors().find("could not listen") != std::string::npos; }))
      << Errors();
  EXPECT_EQ("tooltip Postvane: not serving its pages, no port was free", probe.Ask("tooltip"));
  EXPECT_EQ(std::string::npos, Errors().find("open http")) << Errors();
  EXPECT_NE(std::string::npos, Log().find("Failed to BindAndListen"));
  EXPECT_EQ(0, kill(probe.pid(), SIGTERM));
  EXPECT_EQ(0, probe.WaitExit(3000));
  close(held);
}

TEST_F(ServerLimits, FilesWithMailAndSecretsAreTheOwnersOnly) {
  // An open umask, and a data directory left readable by an older version.
  mode_t umasked = umask(0);
  chmod(data_dir_.c_str(), 0755);
  pvtest::Spawned program({Program()});
  umask(umasked);
  ASSERT_TRUE(WaitFor([&] { return Serving(); })) << Log();
  const std::pair<std::string, unsigned> kModes[] = {
      {data_dir_, 0700}, {data_dir_ + "/data", 0700},
      {data_dir_ + "/postvane.log", 0600}, {data_dir_ + "/data/postvane.summary", 0600}};
  for (const auto& [path, mode] : kModes) {
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st)) << path;
    EXPECT_EQ(mode, st.st_mode & 0777) << path;
  }
  EXPECT_NE(std::string::npos, Log().find("open to other users"));
  TerminateInOrder(program);
}

TEST_F(ServerLimits, KillsDuringStartUpLeaveWholeIniFilesOnly) {
  const std::string low = home_.path() + "/.local/state/Brantlow/Postvane";
  // Temporary files beside the copies, but those of a running writer.
  auto temporaries = [&](pid_t running) {
    int count = 0;
    const std::string mine = ".ini." + std::to_string(running) + ".";
    for (const std::string& folder : {data_dir_, low}) {
      std::error_code ignored;
      for (const auto& entry : std::filesystem::directory_iterator(folder, ignored)) {
        count += entry.path().extension() == ".tmp" &&
                 entry.path().filename().string().find(mine) == std::string::npos;
      }
    }
    return count;
  };
  // An ini copy is absent or whole: a section and a port line, ended.
  auto whole = [](const std::string& path) {
    if (!std::filesystem::exists(path)) return true;
    std::string text = pvtest::ReadFile(path);
    return std::regex_search(text, std::regex("^\\[GENERAL\\]\n(.*\n)*Port=[0-9]+(\n|$)"));
  };
  std::mt19937 random(20261209);
  int leftovers = 0;
  for (int run = 0; run < 50; ++run) {
    // Every other run starts without the copies, so that start-up makes them.
    if (run % 2 == 0) {
      unlink((low + "/postvane.ini").c_str());
      WriteIniPort(std::to_string(port_));
    }
    pvtest::Spawned program({Program()});
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 60000));
    kill(program.pid(), SIGKILL);
    program.WaitExit(3000);
    EXPECT_TRUE(whole(data_dir_ + "/postvane.ini")) << run;
    EXPECT_TRUE(whole(low + "/postvane.ini")) << run;
    leftovers += temporaries(0);
  }
  std::cout << "temporary files seen after kills: " << leftovers << "\n";
  // The next start removes what the killed ones left.
  pvtest::Spawned program({Program()});
  ASSERT_TRUE(WaitFor([&] { return Serving(); })) << Log();
  EXPECT_EQ(0, temporaries(program.pid()));
  TerminateInOrder(program);
}

}  // namespace
