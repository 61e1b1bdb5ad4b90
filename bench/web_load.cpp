// pvwebload: a load generator for servers that answer one request per
// connection and then close it.
//
//   pvwebload -p PORT [-a PATH] [-c CLIENTS] [-t THREADS] (-n REQUESTS | -d SECONDS)
//
// Each of CLIENTS connections (spread over THREADS threads) connects, sends
// "GET PATH HTTP/1.0" with a Host header, reads until the server closes,
// and starts over. Answers are read to the close, so an answer without a
// Content-Length counts like any other. An answer is good when it has the
// length and status line of the first one (the Date header keeps its width).
// Prints one line of name=value pairs: requests, good answers, errors,
// seconds, rate, p50/p99/max latency in microseconds (connect to close).
// A connection that has not ended after kStallUs counts as an error.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int64_t kStallUs = 10 * 1000000;

int64_t NowUs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

struct Options {
  int port = 0;
  std::string path = "/index.html";
  int clients = 1;
  int threads = 1;
  long requests = 0;   // in all; 0: run for `seconds`
  double seconds = 0;
};

// The first answer, which every later one is compared with.
struct Reference {
  std::atomic<bool> set{false};
  std::atomic<size_t> length{0};
  char status[64] = {};
};

struct Shared {
  Options options;
  std::string request;
  struct sockaddr_in server;
  std::atomic<long> started{0};  // requests begun, for -n
  std::atomic<bool> stop{false};
  Reference reference;
};

struct Connection {
  int fd = -1;
  int64_t began = 0;
  size_t sent = 0;
  size_t received = 0;
  char head[64];
  size_t headLength = 0;
};

struct Result {
  std::vector<int32_t> latencies;  // microseconds, good answers only
  long errors = 0;
};

bool Claim(Shared* shared) {
  if (shared->stop.load(std::memory_order_relaxed)) return false;
  if (shared->options.requests <= 0) return true;
  return shared->started.fetch_add(1) < shared->options.requests;
}

// Opens the next connection; false when the run is over or the socket
// could not be made.
bool Open(Shared* shared, int epoll, Connection* c, Result* result) {
  for (;;) {
    if (!Claim(shared)) return false;
    c->began = NowUs();
    c->sent = c->received = c->headLength = 0;
    c->fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (c->fd < 0) {
      perror("socket");
      return false;
    }
    int on = 1;
    setsockopt(c->fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    int r = connect(c->fd, reinterpret_cast<struct sockaddr*>(&shared->server), sizeof shared->server);
    if (r != 0 && errno != EINPROGRESS) {
      ++result->errors;
      close(c->fd);
      c->fd = -1;
      continue;
    }
    struct epoll_event event = {};
    event.events = EPOLLOUT | EPOLLIN;
    event.data.ptr = c;
    epoll_ctl(epoll, EPOLL_CTL_ADD, c->fd, &event);
    return true;
  }
}

// Compares a whole answer with the first one.
bool Good(Shared* shared, const Connection& c) {
  Reference& ref = shared->reference;
  const char* eol = static_cast<const char*>(memchr(c.head, '\n', c.headLength));
  size_t statusLength = eol != nullptr ? static_cast<size_t>(eol - c.head) : c.headLength;
  if (statusLength >= sizeof ref.status) statusLength = sizeof ref.status - 1;
  if (!ref.set.load()) {
    static std::atomic<bool> claimed{false};
    if (!claimed.exchange(true)) {
      memcpy(ref.status, c.head, statusLength);
      ref.length.store(c.received);
      ref.set.store(true);
      return c.received > 0;
    }
    while (!ref.set.load()) std::this_thread::yield();
  }
  return c.received == ref.length.load() && c.received > 0 &&
         strncmp(ref.status, c.head, statusLength) == 0 && ref.status[statusLength] == 0;
}

void Run(Shared* shared, int clients, Result* result) {
  int epoll = epoll_create1(EPOLL_CLOEXEC);
  std::vector<Connection> connections(clients);
  int open = 0;
  for (Connection& c : connections) open += Open(shared, epoll, &c, result);
  std::vector<struct epoll_event> events(clients);
  char buffer[65536];
  const std::string& request = shared->request;
  int64_t lastScan = NowUs();
  // Ends connection c, counting it as an error, and opens the next.
  auto fail = [&](Connection* c) {
    close(c->fd);
    c->fd = -1;
    ++result->errors;
    if (!Open(shared, epoll, c, result)) --open;
  };
  while (open > 0) {
    int n = epoll_wait(epoll, events.data(), clients, 1000);
    for (int i = 0; i < n; ++i) {
      Connection* c = static_cast<Connection*>(events[i].data.ptr);
      bool done = false, failed = false;
      if (c->sent < request.size()) {
        ssize_t w = send(c->fd, request.data() + c->sent, request.size() - c->sent, MSG_NOSIGNAL);
        if (w > 0) {
          c->sent += static_cast<size_t>(w);
          if (c->sent == request.size()) {
            struct epoll_event event = {};
            event.events = EPOLLIN;
            event.data.ptr = c;
            epoll_ctl(epoll, EPOLL_CTL_MOD, c->fd, &event);
          }
        } else if (w < 0 && errno != EAGAIN) {
          failed = true;
        }
      }
      while (!failed && c->sent == request.size()) {
        ssize_t r = recv(c->fd, buffer, sizeof buffer, 0);
        if (r > 0) {
          size_t take = std::min(static_cast<size_t>(r), sizeof c->head - c->headLength);
          memcpy(c->head + c->headLength, buffer, take);
          c->headLength += take;
          c->received += static_cast<size_t>(r);
          continue;
        }
        if (r == 0) done = true;
        else if (errno != EAGAIN) failed = true;
        break;
      }
      if (!done && !failed) continue;
      int64_t took = NowUs() - c->began;
      close(c->fd);
      c->fd = -1;
      if (done && Good(shared, *c)) {
        result->latencies.push_back(static_cast<int32_t>(std::min<int64_t>(took, INT32_MAX)));
      } else {
        ++result->errors;
      }
      if (!Open(shared, epoll, c, result)) --open;
    }
    if (NowUs() - lastScan > 1000000) {
      lastScan = NowUs();
      for (Connection& c : connections) {
        if (c.fd >= 0 && lastScan - c.began > kStallUs) fail(&c);
      }
    }
  }
  close(epoll);
}

void Usage() {
  fprintf(stderr,
          "usage: pvwebload -p PORT [-a PATH] [-c CLIENTS] [-t THREADS] (-n REQUESTS | -d SECONDS)\n");
  exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  Shared shared;
  Options& o = shared.options;
  int opt;
  while ((opt = getopt(argc, argv, "p:a:c:t:n:d:")) != -1) {
    switch (opt) {
      case 'p': o.port = atoi(optarg); break;
      case 'a': o.path = optarg; break;
      case 'c': o.clients = atoi(optarg); break;
      case 't': o.threads = atoi(optarg); break;
      case 'n': o.requests = atol(optarg); break;
      case 'd': o.seconds = atof(optarg); break;
      default: Usage();
    }
  }
  if (o.port <= 0 || o.clients < 1 || o.threads < 1 || (o.requests <= 0) == (o.seconds <= 0)) Usage();
  if (o.threads > o.clients) o.threads = o.clients;
  shared.request = "GET " + o.path + " HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(o.port) +
                   "\r\nUser-Agent: pvwebload\r\n\r\n";
  memset(&shared.server, 0, sizeof shared.server);
  shared.server.sin_family = AF_INET;
  shared.server.sin_port = htons(static_cast<uint16_t>(o.port));
  shared.server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

  std::vector<Result> results(o.threads);
  std::vector<std::thread> threads;
  int64_t begun = NowUs();
  for (int t = 0; t < o.threads; ++t) {
    int mine = o.clients / o.threads + (t < o.clients % o.threads ? 1 : 0);
    threads.emplace_back(Run, &shared, mine, &results[t]);
  }
  if (o.seconds > 0) {
    struct timespec nap = {static_cast<time_t>(o.seconds),
                           static_cast<long>((o.seconds - static_cast<time_t>(o.seconds)) * 1e9)};
    nanosleep(&nap, nullptr);
    shared.stop.store(true);
  }
  for (std::thread& t : threads) t.join();
  double elapsed = static_cast<double>(NowUs() - begun) / 1e6;

  std::vector<int32_t> all;
  long errors = 0;
  for (Result& r : results) {
    all.insert(all.end(), r.latencies.begin(), r.latencies.end());
    errors += r.errors;
  }
  std::sort(all.begin(), all.end());
  auto at = [&](double q) { return all.empty() ? 0 : all[static_cast<size_t>(q * (all.size() - 1))]; };
  printf("requests=%zu errors=%ld seconds=%.3f rate=%.0f p50_us=%d p99_us=%d max_us=%d length=%zu\n",
         all.size() + static_cast<size_t>(errors), errors, elapsed,
         static_cast<double>(all.size()) / elapsed, at(0.50), at(0.99), all.empty() ? 0 : all.back(),
         shared.reference.length.load());
  return errors == 0 ? 0 : 1;
}
