// HttpServiceMgr: the process's web server on 127.0.0.1.
//
// Start binds the configured port, or the next free one upwards while below
// 65000, stores the bound port through ConfigMgr, and accepts connections on
// a listener thread of its own. Every accepted connection is served by a
// detached connection thread of its own, which reads one request, hands it to
// DispatchRequest and closes the connection; a slow request never holds up
// another. A connection thread that has finished waits a while for the next
// connection before it ends: making and ending a thread per request costs
// more than the request itself. Without a free port the failure is logged and
// Start still returns: the process goes on without a server.
//
// Lifetime: one instance, created and started by the service start-up and
// deleted by it; a restart deletes the object and makes a new one. Stop (or
// the destructor) ends the listener, tells the waiting connection threads to
// end, and waits at most kStopWaitMs for the requests in flight, so that a
// request normally does not outlive the server. A request that takes longer
// runs on to its end; it never touches the server object, which may be gone
// by then.
//
// Thread-safety: Start, Stop and the destructor are called by one thread
// (the one that owns the object), not concurrently.
#ifndef PV_APP_WEB_HTTPSERVICEMGR_H
#define PV_APP_WEB_HTTPSERVICEMGR_H

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
  // Connection threads that wait for the next connection, at most, and how
  // long each waits before it ends.
  static constexpr int kMaxWaitingThreads = 64;
  static constexpr int kThreadWaitMs = 60000;

  // The connection threads' shared state: how many requests run, which
  // threads wait for a connection. It lives as long as the last of them.
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
};

#endif  // PV_APP_WEB_HTTPSERVICEMGR_H
