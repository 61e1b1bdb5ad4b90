#include "app/web/httpservicemgr.h"

#include <dirent.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "support/child.h"
#include "web_fixture.h"

namespace {

using namespace webtest;
using Clock = std::chrono::steady_clock;

long ElapsedMs(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// Entries of a /proc folder: the process's threads or handles.
int Entries(const char* folder) {
  int count = 0;
  DIR* dir = opendir(folder);
  while (struct dirent* entry = dir != nullptr ? readdir(dir) : nullptr) count += entry->d_name[0] != '.';
  if (dir != nullptr) closedir(dir);
  return count;
}
int Threads() { return Entries("/proc/self/task"); }
int Handles() { return Entries("/proc/self/fd"); }

class HttpServer : public WebTest {
 protected:
  // A free port, configured as the one to start at.
  int ConfigureFreePort(int run = 1) {
    int port = FreePorts(run);
    EXPECT_GT(port, 0);
    ConfigurePort(port);
    return port;
  }
};

TEST_F(HttpServer, HeldPortMakesTheServerBindTheNextAndStoreIt) {
  int port = ConfigureFreePort(2);
  int held = BindLoopback(port, 4);
  ASSERT_GE(held, 0);
  HttpServiceMgr server;
  ASSERT_EQ(1, server.Start());
  EXPECT_EQ(port + 1, PortIn(MainIni()));
  EXPECT_EQ(port + 1, PortIn(LowIni()));
  EXPECT_EQ(kUnknown, Exchange(port + 1, "GET /?_object=NoSuch HTTP/1.0\r\n\r\n"));
  close(held);
}

TEST_F(HttpServer, NoPortBelowTheLimitLeavesTheConfigurationAlone) {
  // 64999 is the last port tried; a port above the limit is tried once.
  for (int port : {64999, 65010}) {
    int held = BindLoopback(port, 4);
    if (held < 0) GTEST_SKIP() << "port " << port << " is in use here";
    ConfigurePort(port);
    HttpServiceMgr server;
    EXPECT_EQ(1, server.Start());
    EXPECT_EQ(port, PortIn(MainIni()));
    EXPECT_EQ(port, PortIn(LowIni()));
    server.Stop();
    close(held);
  }
  EXPECT_NE(std::string::npos, Log().find("Failed to BindAndListen"));
}

TEST_F(HttpServer, StopIsPromptWithoutClientsAndTheObjectCanBeMadeAgain) {
  int port = ConfigureFreePort();
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

TEST_F(HttpServer, StopWaitsForARequestInFlightButNotBeyondTheBound) {
  int port = ConfigureFreePort();
  auto server = std::make_unique<HttpServiceMgr>();
  server->Start();
  // A request without its body yet: the server's thread waits for the rest,
  // which comes after Stop began.
  int fd = ConnectLoopback(port, 0, 10);
  ASSERT_TRUE(SendAll(fd, "POST /?_object=NoSuch HTTP/1.0\r\nContent-Length: 2\r\n\r\n"));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::thread finisher([fd] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    SendAll(fd, "ok");
  });
  Clock::time_point before = Clock::now();
  server->Stop();
  long stopped = ElapsedMs(before);
  finisher.join();
  EXPECT_GE(stopped, 250);
  EXPECT_LT(stopped, HttpServiceMgr::kStopWaitMs);
  EXPECT_EQ(kUnknown, ReadToEnd(fd));
  close(fd);

  // A client that never finishes: the stop gives up after the bound, and the
  // request's thread, outliving the server, still ends cleanly.
  server = std::make_unique<HttpServiceMgr>();
  server->Start();
  fd = ConnectLoopback(port, 0, 10);
  ASSERT_TRUE(SendAll(fd, "POST / HTTP/1.0\r\nContent-Length: 2\r\n\r\n"));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  before = Clock::now();
  server.reset();
  stopped = ElapsedMs(before);
  EXPECT_GE(stopped, HttpServiceMgr::kStopWaitMs - 50);
  EXPECT_LT(stopped, HttpServiceMgr::kStopWaitMs + 1000);
  close(fd);
}

TEST_F(HttpServer, TwoHundredParallelRequestsAllGetWholeAnswers) {
  int port = ConfigureFreePort();
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
  int port = ConfigureFreePort();
  int threads = Threads();
  auto server = std::make_unique<HttpServiceMgr>();
  server->Start();
  EXPECT_EQ(kUnknown, Get(port, "/?_object=NoSuch"));
  std::string log = Log();
  int handles = Handles();

  for (int i = 0; i < 300; ++i) {
    int fd = ConnectLoopback(port);
    ASSERT_GE(fd, 0);
    if (i % 3 == 1) {
      struct linger hard = {1, 0};  // a reset instead of a close
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    } else if (i % 3 == 2) {
      SendAll(fd, "GET / HTT");  // half a request line, then gone
    }
    close(fd);
  }
  // No answer, no record, no handle kept; the threads that served them wait
  // for later connections, but no more than the bound.
  EXPECT_EQ(kUnknown, Get(port, "/?_object=NoSuch"));
  EXPECT_TRUE(WaitFor([&] { return Handles() <= handles; }, 5000)) << Handles() << ", was " << handles;
  EXPECT_TRUE(WaitFor([&] { return Threads() <= threads + 1 + HttpServiceMgr::kMaxWaitingThreads; }, 5000));
  EXPECT_EQ(log, Log());
  // Stopping ends every connection thread.
  server.reset();
  EXPECT_TRUE(WaitFor([&] { return Threads() <= threads; }, 5000)) << Threads() << ", was " << threads;
}

}  // namespace
