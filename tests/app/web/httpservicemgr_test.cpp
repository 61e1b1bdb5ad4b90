#include "app/web/httpservicemgr.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <regex>
#include <thread>
#include <vector>

#include "core/khttpconnection.h"
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

// The answer with its Date value (any) written as "@DATE@".
std::string WithoutDate(const std::string& answer) {
  return std::regex_replace(answer, std::regex("\r\nDate: [^\r]*\r\n"), "\r\nDate: @DATE@\r\n",
                            std::regex_constants::format_first_only);
}

// Sends each request on a connection of its own at once, then reads every
// answer to its close (60 s at most), calling `meanwhile` now and then.
std::vector<std::string> AllAtOnce(int port, const std::vector<std::string>& requests,
                                   const std::function<void()>& meanwhile) {
  std::vector<int> fds;
  for (const std::string& request : requests) {
    int fd = ConnectLoopback(port);
    SendAll(fd, request);
    fcntl(fd, F_SETFL, O_NONBLOCK);
    fds.push_back(fd);
  }
  std::vector<std::string> answers(fds.size());
  size_t open = fds.size();
  Clock::time_point start = Clock::now();
  while (open > 0 && ElapsedMs(start) < 60000) {
    std::vector<struct pollfd> watch;
    for (int fd : fds) watch.push_back({fd, static_cast<short>(fd >= 0 ? POLLIN : 0), 0});
    poll(watch.data(), watch.size(), 50);
    for (size_t i = 0; i < fds.size(); ++i) {
      char buffer[4096];
      ssize_t n = -1;
      while (fds[i] >= 0 && (n = recv(fds[i], buffer, sizeof buffer, 0)) != 0) {
        if (n < 0) break;
        answers[i].append(buffer, static_cast<size_t>(n));
      }
      if (fds[i] >= 0 && n == 0) {
        close(fds[i]);
        fds[i] = -1;
        --open;
      }
    }
    meanwhile();
  }
  for (int fd : fds) {
    if (fd >= 0) close(fd);
  }
  return answers;
}

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
    port = Served(port);
    Clock::time_point before = Clock::now();
    server->Stop();
    // A stop not woken would wait out the listener's accept wait.
    EXPECT_LT(ElapsedMs(before), HttpServiceMgr::kAcceptWaitSeconds * 1000 / 2);
    server.reset();
    EXPECT_EQ("connect failed", Exchange(port, "GET / HTTP/1.0\r\n\r\n"));
  }
  HttpServiceMgr never_started;
  never_started.Stop();
}

// What the peer has sent and closed by now, without waiting; "<open>" marks
// a connection the peer has not closed yet.
std::string AnsweredByNow(int fd) {
  std::string out;
  char buffer[65536];
  for (;;) {
    ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n == 0) return out;
    if (n < 0) return out + "<open>";
    out.append(buffer, static_cast<size_t>(n));
  }
}

TEST_F(HttpServer, StopWaitsForARequestInFlightButNotBeyondTheBound) {
  int port = ConfigureFreePort();
  auto server = std::make_unique<HttpServiceMgr>();
  server->Start();
  port = Served(port);
  // A request without its body yet: the server's thread waits for the rest,
  // which comes once Stop has closed the listening socket.
  int fd = ConnectLoopback(port, 0, 10);
  ASSERT_TRUE(SendAll(fd, "POST /?_object=NoSuch HTTP/1.0\r\nContent-Length: 2\r\n\r\n"));
  // The listener takes connections in order: once a later one is answered,
  // this one was taken too, however late the listener ran.
  ASSERT_EQ(kUnknown, Exchange(port, "GET /?_object=NoSuch HTTP/1.0\r\n\r\n"));
  std::atomic<bool> sentDuringStop{false};
  std::thread finisher([&] {
    pvtest::WaitFor([&] { return pvtest::PortIsFree(port); }, 30000);
    sentDuringStop = SendAll(fd, "ok");
  });
  server->Stop();
  // Stop returned only once the request was answered and closed.
  const std::string answer = AnsweredByNow(fd);
  finisher.join();
  ASSERT_TRUE(sentDuringStop);
  EXPECT_EQ(kUnknown, answer);
  close(fd);

  // A client that never finishes: the stop gives up after the bound, and the
  // request's thread, outliving the server, still ends cleanly.
  server = std::make_unique<HttpServiceMgr>();
  server->Start();
  fd = ConnectLoopback(port, 0, 10);
  ASSERT_TRUE(SendAll(fd, "POST / HTTP/1.0\r\nContent-Length: 2\r\n\r\n"));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  Clock::time_point before = Clock::now();
  server.reset();
  long stopped = ElapsedMs(before);
  EXPECT_GE(stopped, HttpServiceMgr::kStopWaitMs - 50);
  // A stop that waited for the client would wait for its request's read
  // limit, a minute at least; ten times the bound holds on a loaded machine.
  EXPECT_LT(stopped, HttpServiceMgr::kStopWaitMs * 10);
  close(fd);
}

TEST_F(HttpServer, TwoHundredParallelRequestsAllGetWholeAnswers) {
  int port = ConfigureFreePort();
  HttpServiceMgr server;
  server.Start();
  port = Served(port);
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
  port = Served(port);
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
  EXPECT_TRUE(WaitFor([&] { return Handles() <= handles; })) << Handles() << ", was " << handles;
  EXPECT_TRUE(WaitFor([&] { return Threads() <= threads + 1 + HttpServiceMgr::kMaxWaitingThreads; }));
  EXPECT_EQ(log, Log());
  // Stopping ends every connection thread.
  server.reset();
  EXPECT_TRUE(WaitFor([&] { return Threads() <= threads; })) << Threads() << ", was " << threads;
}

// Whether a head is already there when its connection is accepted or comes
// in pieces later (then the listener collects it and a waiting thread takes
// it), the answer is the same, byte for byte, and comes at once.
TEST_F(HttpServer, AnswersAreTheSameWhetherTheHeadCameWholeOrInPieces) {
  int port = ConfigureFreePort();
  HttpServiceMgr server;
  server.Start();
  port = Served(port);
  const std::string page = SourceFile("web/index.html");
  struct stat info;
  ASSERT_EQ(0, stat((std::string(getenv("PV_SOURCE_DIR")) + "/web/index.html").c_str(), &info));
  const std::string mtime = std::to_string(static_cast<long>(info.st_mtime));
  koString modified;
  koHttpConnection::FormatHttpDate(info.st_mtime, modified);
  const std::string host = "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
  // The pages' policy is theirs to say; where it stands is the block's.
  const std::string policy = HeaderOf(Get(port, "/index.html"), "Content-Security-Policy");
  const struct {
    std::string request;
    std::string answer;
  } kCases[] = {
      {"GET /index.html HTTP/1.1\r\n" + host + "\r\n",
       "HTTP/1.1 200 OK\r\nDate: @DATE@\r\nServer:Postvane1.89 Beta\r\nETag: \"" + mtime +
           "\"\r\nLast-Modified: " + modified.GetString() + "\r\nContent-Length: " +
           std::to_string(page.size()) + "\r\nContent-Security-Policy: " + policy +
           "\r\nConnection: close\r\nContent-type: text/html\r\n\r\n" + page},
      {"GET /index.html HTTP/1.1\r\n" + host + "If-None-Match: \"" + mtime + "\"\r\n\r\n",
       "HTTP/1.0 304 Not Modified\r\nETag: " + mtime + "\r\n\r\n\r\n"},
      {"GET /?_object=NoSuch HTTP/1.1\r\n" + host + "\r\n", kUnknown},
      {"GET /nosuch.html HTTP/1.1\r\n" + host + "\r\n", "HTTP/1.0 404 Not Found\r\n\r\n"},
  };
  // Threads that wait for connections, so that a collected head wakes one.
  std::vector<std::string> burst(50, "GET /?_object=NoSuch HTTP/1.0\r\n\r\n");
  for (const std::string& answer : AllAtOnce(port, burst, [] {})) ASSERT_EQ(kUnknown, answer);

  for (const auto& c : kCases) {
    EXPECT_EQ(c.answer, WithoutDate(Exchange(port, c.request))) << c.request;
    // The head in three pieces, the last one well after the accept.
    int fd = ConnectLoopback(port, 0, 10);
    size_t third = c.request.size() / 3;
    SendAll(fd, c.request.substr(0, third));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    SendAll(fd, c.request.substr(third, third));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    Clock::time_point sent = Clock::now();
    SendAll(fd, c.request.substr(2 * third));
    EXPECT_EQ(c.answer, WithoutDate(ReadToEnd(fd))) << c.request;
    // A head noticed only at the listener's accept wait would take seconds.
    EXPECT_LT(ElapsedMs(sent), HttpServiceMgr::kAcceptWaitSeconds * 1000 / 2) << c.request;
    close(fd);
  }
}

// Requests that take long (the version request's debug pause) hold up no
// other while threads are left; beyond the cap they wait their turn, and
// the threads never pass it.
TEST_F(HttpServer, SlowRequestsHoldUpNoOtherAndNeverPassTheThreadCap) {
  int port = ConfigureFreePort();
  const int threads = Threads();
  HttpServiceMgr server;
  server.Start();
  port = Served(port);
  const std::string slow = "GET /?_object=VersionMgr&_action=GetVersion&_debug=1 HTTP/1.0\r\n\r\n";
  const std::string expected = Exchange(port, "GET /?_object=VersionMgr&_action=GetVersion HTTP/1.0\r\n\r\n");
  ASSERT_EQ(0u, expected.find("HTTP/1.0 200 OK\r\n")) << expected;

  long fast = -1;
  Clock::time_point start = Clock::now();
  std::vector<std::string> answers = AllAtOnce(port, std::vector<std::string>(3, slow), [&] {
    if (fast < 0 && ElapsedMs(start) > 200) {
      Clock::time_point asked = Clock::now();
      EXPECT_EQ(kUnknown, Get(port, "/?_object=NoSuch"));
      fast = ElapsedMs(asked);
    }
  });
  EXPECT_GE(fast, 0);
  // Held up, it would wait for a slow one to end: 2 s after they came.
  EXPECT_LT(fast, 1500);
  for (const std::string& answer : answers) EXPECT_EQ(expected, answer);

  const int many = HttpServiceMgr::kMaxConnectionThreads + 8;
  int most = 0;
  start = Clock::now();
  answers = AllAtOnce(port, std::vector<std::string>(many, slow),
                      [&] { most = std::max(most, Threads()); });
  long took = ElapsedMs(start);
  EXPECT_EQ(static_cast<size_t>(many), std::count(answers.begin(), answers.end(), expected));
  // The listener and the cap; the last few waited for the first to end.
  EXPECT_LE(most, threads + 1 + HttpServiceMgr::kMaxConnectionThreads);
  EXPECT_GE(took, 3900);
}

}  // namespace
