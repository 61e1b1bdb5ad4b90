#include "app/web/httpservicemgr.h"

#include <dirent.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "web_fixture.h"

namespace {

using namespace webtest;
using Clock = std::chrono::steady_clock;

long ElapsedMs(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

int ThreadCount() {
  int count = 0;
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return -1;
  while (struct dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(tasks);
  return count;
}

int HandleCount() {
  int count = 0;
  DIR* handles = opendir("/proc/self/fd");
  if (handles == nullptr) return -1;
  while (struct dirent* entry = readdir(handles)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(handles);
  return count;
}

bool HandlesSettleAt(int count) {
  for (int i = 0; i < 500; ++i) {
    if (HandleCount() <= count) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// Waits up to 5 s for the process to have `count` threads again.
bool ThreadsSettleAt(int count) {
  for (int i = 0; i < 500; ++i) {
    if (ThreadCount() <= count) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

const char kUnknown[] = "HTTP/1.0 200 OK\r\n\r\nUnable to locate Object Factory";

class HttpServer : public WebTest {};

// The browser extension's stored port, or -1.
int ExtensionPort(const std::string& home) {
  std::string path = home +
                     "/.local/share/Google/Chrome/User Data/Default/Local Storage/"
                     "chrome-extension_hdlheflidpohcjiefeogmcljhkkndkge_0.localstorage";
  sqlite3* db = nullptr;
  int port = -1;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT value FROM ItemTable WHERE key = 'pv_port'", -1, &stmt,
                           nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
      port = sqlite3_column_int(stmt, 0);
    }
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  return port;
}

TEST_F(HttpServer, HeldPortMakesTheServerBindTheNextAndStoreIt) {
  int port = FreePorts(2);
  ASSERT_GT(port, 0);
  ConfigurePort(port);
  HeldPort held(port);
  ASSERT_TRUE(held.held());
  // The browser has a default profile, so its extension learns the port too.
  std::string profile = home_.path() + "/.local/share/Google/Chrome/User Data/Default";
  ASSERT_EQ(0, system(("mkdir -p '" + profile + "'").c_str()));

  HttpServiceMgr server;
  ASSERT_EQ(1, server.Start());
  EXPECT_EQ(port + 1, PortIn(MainIni()));
  EXPECT_EQ(port + 1, PortIn(LowIni()));
  EXPECT_EQ(port + 1, ExtensionPort(home_.path()));
  EXPECT_EQ(kUnknown, Exchange(port + 1, "GET /?_object=NoSuch HTTP/1.0\r\n\r\n"));
}

TEST_F(HttpServer, PortZeroStartsAtTheDefault) {
  ConfigurePort(0);
  HttpServiceMgr server;
  server.Start();
  int bound = PortIn(MainIni());
  // 40000 unless something else on this machine holds it.
  EXPECT_GE(bound, HttpServiceMgr::kDefaultPort);
  EXPECT_LT(bound, HttpServiceMgr::kDefaultPort + 100);
  EXPECT_EQ(kUnknown, Exchange(bound, "GET /?_object=NoSuch HTTP/1.0\r\n\r\n"));
}

TEST_F(HttpServer, NoPortBelowTheLimitLeavesTheConfigurationAlone) {
  // 64999 is the last port tried; a port above the limit is tried once.
  for (int port : {64999, 65010}) {
    HeldPort held(port);
    if (!held.held()) GTEST_SKIP() << "port " << port << " is in use here";
    ConfigurePort(port);
    HttpServiceMgr server;
    EXPECT_EQ(1, server.Start());
    EXPECT_EQ(port, PortIn(MainIni()));
    EXPECT_EQ(port, PortIn(LowIni()));
    server.Stop();
  }
  EXPECT_NE(std::string::npos, Log().find("Failed to BindAndListen"));
}

TEST_F(HttpServer, StopIsPromptWithoutClientsAndTheObjectCanBeMadeAgain) {
  int port = FreePorts(1);
  ConfigurePort(port);
  for (int round = 0; round < 3; ++round) {
    auto server = std::make_unique<HttpServiceMgr>();
    server->Start();
    ASSERT_EQ(port, PortIn(MainIni()));
    Clock::time_point before = Clock::now();
    server->Stop();
    EXPECT_LT(ElapsedMs(before), 1000);
    server.reset();
    EXPECT_EQ("connect failed", Exchange(port, "GET / HTTP/1.0\r\n\r\n"));
  }
  HttpServiceMgr never_started;
  never_started.Stop();
}

TEST_F(HttpServer, StopWaitsForARequestInFlight) {
  int port = FreePorts(1);
  ConfigurePort(port);
  auto server = std::make_unique<HttpServiceMgr>();
  server->Start();
  // Half a request: the server's thread waits for the rest, which comes
  // after Stop began.
  int fd = ConnectTo(port);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(WriteAll(fd, "GET /?_object=NoSuch HTTP/1.0\r\n"));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::thread finisher([fd] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    WriteAll(fd, "\r\n");
  });
  Clock::time_point before = Clock::now();
  server->Stop();
  long stopped = ElapsedMs(before);
  finisher.join();
  EXPECT_GE(stopped, 250);
  EXPECT_LT(stopped, HttpServiceMgr::kStopWaitMs);
  EXPECT_EQ(kUnknown, ReadToEnd(fd));
  close(fd);
  server.reset();
}

TEST_F(HttpServer, StopGivesUpOnASilentClientAfterTheBound) {
  int port = FreePorts(1);
  ConfigurePort(port);
  auto server = std::make_unique<HttpServiceMgr>();
  server->Start();
  int fd = ConnectTo(port);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(WriteAll(fd, "GET / HTTP/1.0\r\n"));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  Clock::time_point before = Clock::now();
  server.reset();
  long stopped = ElapsedMs(before);
  EXPECT_GE(stopped, HttpServiceMgr::kStopWaitMs - 50);
  EXPECT_LT(stopped, HttpServiceMgr::kStopWaitMs + 1000);
  // The request's thread outlives the server and still ends cleanly.
  close(fd);
}

TEST_F(HttpServer, TwoHundredParallelRequestsAllGetWholeAnswers) {
  int port = FreePorts(1);
  ConfigurePort(port);
  HttpServiceMgr server;
  server.Start();
  ASSERT_NE(nullptr, getenv("PV_SOURCE_DIR"));
  std::string page = ReadFile(std::string(getenv("PV_SOURCE_DIR")) + "/web/index.html");
  ASSERT_FALSE(page.empty());

  constexpr int kClients = 200;
  std::vector<std::string> answers(kClients);
  std::vector<std::thread> clients;
  std::atomic<int> ready{0};
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&, i] {
      ++ready;
      while (ready.load() < kClients) std::this_thread::yield();
      answers[i] = Get(port, i % 2 ? "/index.html" : "/?_object=NoSuch");
    });
  }
  for (std::thread& t : clients) t.join();
  for (int i = 0; i < kClients; ++i) {
    if (i % 2) {
      EXPECT_EQ(page, BodyOf(answers[i])) << i;
      EXPECT_EQ(std::to_string(page.size()), HeaderOf(answers[i], "Content-Length")) << i;
    } else {
      EXPECT_EQ(kUnknown, answers[i]) << i;
    }
  }
}

TEST_F(HttpServer, ClientsThatConnectAndCloseCostNothing) {
  int port = FreePorts(1);
  ConfigurePort(port);
  int threads = ThreadCount();
  auto server = std::make_unique<HttpServiceMgr>();
  server->Start();
  EXPECT_EQ(kUnknown, Get(port, "/?_object=NoSuch"));
  std::string log = Log();
  int handles = HandleCount();

  for (int i = 0; i < 300; ++i) {
    int fd = ConnectTo(port);
    ASSERT_GE(fd, 0);
    if (i % 3 == 1) {
      struct linger hard = {1, 0};  // a reset instead of a close
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    } else if (i % 3 == 2) {
      WriteAll(fd, "GET / HTT");  // half a request line, then gone
    }
    close(fd);
  }
  // No answer, no record, no handle kept; the threads that served them wait
  // for later connections, but no more than the bound.
  EXPECT_EQ(kUnknown, Get(port, "/?_object=NoSuch"));
  EXPECT_TRUE(HandlesSettleAt(handles)) << HandleCount() << " handles, was " << handles;
  EXPECT_TRUE(ThreadsSettleAt(threads + 1 + HttpServiceMgr::kMaxWaitingThreads));
  EXPECT_EQ(log, Log());
  // Stopping ends every connection thread.
  server.reset();
  EXPECT_TRUE(ThreadsSettleAt(threads)) << ThreadCount() << " threads, was " << threads;
}

}  // namespace
