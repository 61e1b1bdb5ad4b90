// HttpServiceMgr: the process's web server on 127.0.0.1.
//
// Start binds the configured port, or the next free one upwards while below
// 65000, stores the bound port through ConfigMgr, and serves on threads of
// its own. Each connection thread serves one request per connection, then
// closes it. A thread that waits for work accepts the next connection
// itself and reads its request head at once: normally the head is there
// already, and the thread goes on to check the head, read the body, hand
// the request to DispatchRequest and close the connection, without handing
// anything to another thread. A head that has not arrived whole goes to the
// listener thread, which collects such heads for all connections at once
// through epoll, so a client that connects and stays silent (or sends a
// byte now and then) holds a handle but no thread; a head that is not
// complete within koHttpConnection::kHeadTimeLimitMs, or grows too long,
// closes its connection, and a completed one is queued for the next free
// connection thread.
//
// At most kMaxConnectionThreads connection threads exist, so no more
// requests are served at once; when all serve, further connections wait in
// the listen backlog. When every thread is serving, one more is started to
// accept meanwhile, as long as there are fewer threads than processors to
// run them: more would only take turns. Beyond that the listener, which
// looks every few milliseconds while requests are served, starts more (up
// to the cap) when no request has ended since its last look, no thread
// waits and a connection does: so a slow request never holds up another
// for long. A thread that has served takes the next waiting connection at
// once, or waits up to kThreadWaitMs for one and then ends, unless it is
// the last one waiting: making and ending a thread per request would cost
// more than the request itself.
// Without a free port the failure is logged and Start still returns: the
// process goes on without a server, and GetPort says so.
// A head that is malformed (koHttpConnection::ParseReceivedHead) is
// answered "400" and logged, folded per second, before any check sees it.
// Start also fixes the allocator's mapping and trimming bounds for the whole
// process, so that the memory of a large request goes back to the system
// when the request ends.
//
// Lifetime: one instance, created and started by the service start-up and
// deleted by it; a restart deletes the object and makes a new one. Stop (or
// the destructor) ends the listener, closes the listening socket and the
// connections whose heads were still arriving or waiting, ends the waiting
// connection threads, and waits at most kStopWaitMs for the requests in
// flight, so that a request normally does not outlive the server. A request
// that takes longer runs on to its end; it never touches the server object,
// which may be gone by then.
//
// Thread-safety: Start, Stop and the destructor are called by one thread
// (the one that owns the object), not concurrently; GetPort from any thread.
#ifndef PV_APP_WEB_HTTPSERVICEMGR_H
#define PV_APP_WEB_HTTPSERVICEMGR_H

#include <atomic>
#include <memory>

class koEvent;
class koMutex;
class koThread;

class HttpServiceMgr {
 public:
  static constexpr int kDefaultPort = 40000;    // when the configuration has none
  static constexpr int kLastPortLimit = 65000;  // ports tried stay below this
  static constexpr int kAcceptWaitSeconds = 5;
  static constexpr int kStopWaitMs = 2000;      // for requests in flight
  // Requests served at once. The pages and side bars of one user make a few
  // requests at a time (a browser opens six per host); each served request
  // holds a thread stack, its own summary-database connection with its page
  // cache and a few handles. 128 leaves room for several pages, side bars
  // and tools together while a flood cannot exhaust memory or handles.
  static constexpr int kMaxConnectionThreads = 128;
  // Connection threads that wait for the next connection, at most, and how
  // long each waits before it ends.
  static constexpr int kMaxWaitingThreads = 64;
  static constexpr int kThreadWaitMs = 60000;
  // Accepted connections whose head is still arriving or that wait for a
  // thread, at most; a further one whose head is not whole when accepted is
  // closed. Each costs a handle and at most one head's bytes.
  static constexpr int kMaxPendingConnections = 4096;

  // The connection threads' shared state: the listening socket, how many
  // threads there are and what they do, the heads being collected and the
  // requests that wait for a thread. It lives as long as the last of them.
  struct Workers;

  HttpServiceMgr();
  ~HttpServiceMgr();
  HttpServiceMgr(const HttpServiceMgr&) = delete;
  HttpServiceMgr& operator=(const HttpServiceMgr&) = delete;

  // Starts the listener and returns once the port is bound or binding has
  // been given up. Always 1. A second Start while running does nothing.
  int Start();
  // Ends the listener (at once, not at its next accept time-out), joins it
  // and waits for the requests in flight as described above. Does nothing
  // when not started. Answers the number of requests still being served
  // when the wait ended (0 when none outlived it).
  int Stop();
  // The port the server listens on; 0 while it does not listen (not started,
  // stopped, or no port could be bound).
  int GetPort() const { return port_.load(); }

 private:
  static void HttpListenThread(void* arg);
  static void HttpConnectionThread(void* arg);
  void ListenLoop();

  koMutex* lock_ = nullptr;        // the listener's stop test against Stop's deletion
  koEvent* stop_event_ = nullptr;  // set by Stop
  koEvent* bind_event_ = nullptr;  // set once binding succeeded or was given up
  koThread* listen_thread_ = nullptr;
  int wake_[2] = {-1, -1};  // a pipe that cuts the listener's wait short
  std::shared_ptr<Workers> workers_;
  std::atomic<int> port_{0};
};

#endif  // PV_APP_WEB_HTTPSERVICEMGR_H
