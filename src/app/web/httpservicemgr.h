// HttpServiceMgr: the process's web server on 127.0.0.1.
//
// Start binds the configured port, or the next free one upwards while below
// 65000, stores the bound port through ConfigMgr, and accepts connections on
// a listener thread of its own. The listener also collects every request
// head, for all connections at once and without a thread per connection, so
// a client that connects and stays silent (or sends a byte now and then)
// holds a handle but no thread; a head that is not complete within
// koHttpConnection::kHeadTimeLimitMs, or grows too long, closes its
// connection. A connection with a whole head is served by a connection
// thread, which checks the head, reads the body, hands the request to
// DispatchRequest and closes the connection; a slow request never holds up
// another. At most kMaxConnectionThreads requests are served at once; further
// complete heads wait for a thread, and beyond kMaxPendingConnections new
// connections wait in the listen backlog. A connection thread that has
// finished waits a while for the next request before it ends: making and
// ending a thread per request costs more than the request itself. Without a
// free port the failure is logged and Start still returns: the process goes
// on without a server, and GetPort says so.
//
// Lifetime: one instance, created and started by the service start-up and
// deleted by it; a restart deletes the object and makes a new one. Stop (or
// the destructor) ends the listener, closes the connections whose heads were
// still arriving or waiting, tells the waiting connection threads to end,
// and waits at most kStopWaitMs for the requests in flight, so that a request
// normally does not outlive the server. A request that takes longer runs on
// to its end; it never touches the server object, which may be gone by then.
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
  // Finished connection threads that wait for the next request, at most, and
  // how long each waits before it ends.
  static constexpr int kMaxWaitingThreads = 64;
  static constexpr int kThreadWaitMs = 60000;
  // Accepted connections whose head is still arriving or that wait for a
  // thread; more wait unaccepted in the listen backlog. Each costs a handle
  // and at most one head's bytes.
  static constexpr int kMaxPendingConnections = 4096;

  // The connection threads' shared state: how many requests run, which
  // threads wait, which requests wait for a thread. It lives as long as the
  // last of them.
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
  // when not started.
  void Stop();
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
