#include "app/web/httpservicemgr.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "app/store/configmgr.h"
#include "app/web/requestdispatch.h"
#include "core/khttpconnection.h"
#include "core/klog.h"
#include "core/ksocket.h"
#include "core/kstring.h"
#include "core/kthread.h"

namespace {
struct Worker;
}  // namespace

// Guarded by lock: the counts, the flag and the list of waiting threads.
struct HttpServiceMgr::Workers {
  koMutex lock;
  int running = 0;  // connections being served
  bool stopping = false;
  Worker* waiting = nullptr;  // threads waiting for a connection
  int waitingCount = 0;
};

namespace {

const char kBindAddress[] = "127.0.0.1";
// A client that stays silent (or never reads) gives up its thread after this.
constexpr int kClientIdleSeconds = 60;

// One connection thread; the thread owns and frees it.
struct Worker {
  std::shared_ptr<HttpServiceMgr::Workers> workers;
  koEvent wake;                            // set when a connection is handed over, or at stop
  koSocketHandle handle = kInvalidSocket;  // the next connection; guarded by workers->lock
  Worker* next = nullptr;                  // in the waiting list
};

// The port to start at: the configured one, the default without one.
int ReadConfiguredPort() {
  int port = gConfigMgr != nullptr ? gConfigMgr->GetPort() : 0;
  return port < 1 ? HttpServiceMgr::kDefaultPort : port;
}

// Both ini copies and the browser extension learn the port.
void StoreBoundPort(int port) {
  if (gConfigMgr != nullptr) gConfigMgr->SetPort(static_cast<uint16_t>(port));
}

// One request on one connection, which is closed afterwards.
void Serve(koSocketHandle handle) {
  struct timeval limit = {kClientIdleSeconds, 0};
  setsockopt(handle, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(handle, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  koHttpConnection connection(handle, gLog);
  if (!connection.ReadRequest()) return;
  // Answers are written as many small pieces; corked, they leave as full
  // segments instead of one packet each. Uncorking sends the rest.
  int on = 1;
  setsockopt(handle, IPPROTO_TCP, TCP_CORK, &on, sizeof on);
  DispatchRequest(&connection, 0, 0);
  on = 0;
  setsockopt(handle, IPPROTO_TCP, TCP_CORK, &on, sizeof on);
}

// Takes w off the waiting list (under workers->lock).
void Unlink(HttpServiceMgr::Workers* workers, Worker* w) {
  for (Worker** p = &workers->waiting; *p != nullptr; p = &(*p)->next) {
    if (*p == w) {
      *p = w->next;
      --workers->waitingCount;
      return;
    }
  }
}

}  // namespace

HttpServiceMgr::HttpServiceMgr() = default;

HttpServiceMgr::~HttpServiceMgr() {
  Stop();
  delete lock_;
}

int HttpServiceMgr::Start() {
  if (listen_thread_ != nullptr) return 1;
  // A client that goes away while we write must not end the process.
  koIgnoreSigPipe();
  if (lock_ == nullptr) lock_ = new koMutex();
  stop_event_ = new koEvent();
  bind_event_ = new koEvent();
  listen_thread_ = new koThread();
  workers_ = std::make_shared<Workers>();
  if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
    // Without it Stop still works, only at the listener's next time-out.
    KO_LOG(errno, "pipe2");
    wake_[0] = wake_[1] = -1;
  }
  if (!listen_thread_->Create(PR_USER_THREAD, &HttpServiceMgr::HttpListenThread, this,
                              PR_PRIORITY_NORMAL, PR_GLOBAL_THREAD, PR_JOINABLE_THREAD, 0)) {
    KO_LOG(-1, "Failed to create the listener thread");
    return 1;
  }
  if (!bind_event_->Wait(-1)) KO_LOG(-1, "[bindport_evt_]WAIT_ABANDONED");
  return 1;
}

void HttpServiceMgr::Stop() {
  if (stop_event_ == nullptr) return;
  stop_event_->Set();
  if (!stop_event_->Wait(-1)) {
    KO_LOG(-1, "[socketserver_evt_]WAIT_ABANDONED");
    return;
  }
  if (wake_[1] >= 0) {
    char byte = 1;
    ssize_t ignored = write(wake_[1], &byte, 1);
    (void)ignored;
  }
  listen_thread_->Join();

  lock_->Lock();
  delete stop_event_;
  stop_event_ = nullptr;
  lock_->Unlock();
  delete bind_event_;
  bind_event_ = nullptr;
  delete listen_thread_;
  listen_thread_ = nullptr;
  for (int& fd : wake_) {
    if (fd >= 0) close(fd);
    fd = -1;
  }

  // Waiting threads end now; busy ones after their request.
  workers_->lock.Lock();
  workers_->stopping = true;
  for (Worker* w = workers_->waiting; w != nullptr; w = w->next) w->wake.Set();
  workers_->lock.Unlock();

  // The requests in flight use what the process tears down after us.
  for (int waited = 0; waited < kStopWaitMs; waited += 5) {
    workers_->lock.Lock();
    int running = workers_->running;
    workers_->lock.Unlock();
    if (running == 0) break;
    SleepMs(5);
  }
  workers_.reset();
}

void HttpServiceMgr::HttpListenThread(void* arg) { static_cast<HttpServiceMgr*>(arg)->ListenLoop(); }

void HttpServiceMgr::ListenLoop() {
  int port = ReadConfiguredPort();

  // A failed bind or listen may leave the socket unusable for another
  // port: each attempt gets a fresh one.
  koSocket listener(gLog);
  bool bound = false;
  for (;;) {
    if (listener.Create() == kInvalidSocket) break;
    if (listener.SetReuseAddress() && listener.Listen(port, kBindAddress)) {
      bound = true;
      break;
    }
    if (port + 1 >= kLastPortLimit) break;
    ++port;
  }
  if (!bound) {
    KO_LOG(-1, "Failed to BindAndListen");
    bind_event_->Set();
    listener.Close();
    return;
  }
  StoreBoundPort(port);
  bind_event_->Set();

  for (;;) {
    lock_->Lock();
    int stop = stop_event_->Wait(0);
    lock_->Unlock();
    if (stop) break;

    struct pollfd watch[2];
    watch[0].fd = listener.GetHandle();
    watch[0].events = POLLIN;
    watch[0].revents = 0;
    watch[1].fd = wake_[0];
    watch[1].events = POLLIN;
    watch[1].revents = 0;
    int ready = poll(watch, wake_[0] >= 0 ? 2 : 1, kAcceptWaitSeconds * 1000);
    if (ready <= 0 || (watch[0].revents & POLLIN) == 0) continue;

    koSocketHandle accepted = kInvalidSocket;
    if (!listener.Accept(&accepted)) {
      // Out of handles, say: the pending connection stays readable, so
      // pause rather than spin on it.
      SleepMs(10);
      continue;
    }
    // A waiting connection thread takes it, else a new one.
    workers_->lock.Lock();
    ++workers_->running;
    Worker* w = workers_->waiting;
    if (w != nullptr) {
      workers_->waiting = w->next;
      --workers_->waitingCount;
      w->handle = accepted;
      w->wake.Set();
      workers_->lock.Unlock();
      continue;
    }
    workers_->lock.Unlock();
    w = new Worker();
    w->workers = workers_;
    w->handle = accepted;
    koThread thread;
    if (!thread.Create(PR_USER_THREAD, &HttpServiceMgr::HttpConnectionThread, w,
                       PR_PRIORITY_NORMAL, PR_GLOBAL_THREAD, PR_UNJOINABLE_THREAD, 0)) {
      KO_LOG(-1, "Failed to create a connection thread");
      close(accepted);
      workers_->lock.Lock();
      --workers_->running;
      workers_->lock.Unlock();
      delete w;
    }
  }
  listener.Close();
}

void HttpServiceMgr::HttpConnectionThread(void* arg) {
  Worker* w = static_cast<Worker*>(arg);
  Workers* workers = w->workers.get();
  // The first handle was stored before the thread was made.
  koSocketHandle handle = w->handle;
  for (;;) {
    Serve(handle);

    workers->lock.Lock();
    --workers->running;
    if (workers->stopping || workers->waitingCount >= kMaxWaitingThreads) {
      workers->lock.Unlock();
      break;
    }
    w->handle = kInvalidSocket;
    w->wake.Reset();
    w->next = workers->waiting;
    workers->waiting = w;
    ++workers->waitingCount;
    workers->lock.Unlock();

    w->wake.Wait(kThreadWaitMs);

    // The listener may have handed over a connection just as the wait ran
    // out: whatever it stored under the lock is served.
    workers->lock.Lock();
    handle = w->handle;
    if (handle == kInvalidSocket) Unlink(workers, w);
    workers->lock.Unlock();
    if (handle == kInvalidSocket) break;
  }
  delete w;
}
