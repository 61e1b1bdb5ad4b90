#include "app/web/httpservicemgr.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <deque>
#include <iterator>
#include <list>
#include <unordered_map>

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

// Guarded by lock: the counts, the flag, the waiting threads and the
// requests that wait for a thread.
struct HttpServiceMgr::Workers {
  koMutex lock;
  int running = 0;  // requests being served, one thread each
  bool stopping = false;
  Worker* waiting = nullptr;  // threads waiting for a request
  int waitingCount = 0;
  std::deque<koHttpConnection*> ready;  // whole heads, oldest first
};

namespace {

const char kBindAddress[] = "127.0.0.1";
// A client that never reads its answer gives up its thread after this.
constexpr int kClientSendSeconds = 60;
// Connections accepted in one turn of the listener before it looks at the
// others again.
constexpr int kAcceptBatch = 64;
// How soon the listener looks again when it could not accept (out of handles,
// or too many connections pending).
constexpr int kAcceptRetryMs = 50;

// One connection thread; the thread owns and frees it.
struct Worker {
  std::shared_ptr<HttpServiceMgr::Workers> workers;
  koEvent wake;  // set when a request is handed over, or at stop
  koHttpConnection* connection = nullptr;  // the next request; guarded by workers->lock
  Worker* next = nullptr;                  // in the waiting list
};

// The port to start at: the configured one; the default without one or
// with one that no socket can have.
int ReadConfiguredPort() {
  int port = gConfigMgr != nullptr ? gConfigMgr->GetPort() : 0;
  return port < 1 || port > 65535 ? HttpServiceMgr::kDefaultPort : port;
}

// Both ini copies and the browser extension learn the port.
void StoreBoundPort(int port) {
  if (gConfigMgr != nullptr) gConfigMgr->SetPort(static_cast<uint16_t>(port));
}

// One request whose head has arrived; the connection is closed and freed
// afterwards.
void Serve(koHttpConnection* connection) {
  koSocketHandle handle = connection->GetHandle();
  struct timeval limit = {kClientSendSeconds, 0};
  setsockopt(handle, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  connection->ParseReceivedHead();
  // Answers are written as many small pieces; corked, they leave as full
  // segments instead of one packet each. Uncorking sends the rest.
  int on = 1;
  setsockopt(handle, IPPROTO_TCP, TCP_CORK, &on, sizeof on);
  DispatchRequest(connection, 0, 0);
  on = 0;
  setsockopt(handle, IPPROTO_TCP, TCP_CORK, &on, sizeof on);
  delete connection;
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

// The connections whose request heads are still arriving, watched through
// one epoll set, oldest first. Owned and used by the listener thread only;
// it owns the connections it watches.
class PendingHeads {
 public:
  enum Outcome { kReady, kWatched, kClosed };

  explicit PendingHeads(int epoll) : epoll_(epoll) {}
  ~PendingHeads() {
    for (const Entry& e : order_) delete e.connection;
  }
  PendingHeads(const PendingHeads&) = delete;
  PendingHeads& operator=(const PendingHeads&) = delete;

  size_t Count() const { return order_.size(); }

  // Reads what has come of the head of a connection that is not watched.
  // kReady: the head is whole, the connection is the caller's again;
  // kWatched: the rest is awaited here; kClosed: the connection is gone.
  Outcome Start(koHttpConnection* connection) {
    Outcome outcome = Step(connection);
    if (outcome != kWatched) return outcome;
    struct epoll_event event = {};
    event.events = EPOLLIN | EPOLLRDHUP;
    event.data.fd = connection->GetHandle();
    if (epoll_ctl(epoll_, EPOLL_CTL_ADD, event.data.fd, &event) != 0) {
      KO_LOG(errno, "epoll_ctl ADD");
      delete connection;
      return kClosed;
    }
    order_.push_back({connection, koMonotonicMs() + koHttpConnection::kHeadTimeLimitMs});
    by_fd_[event.data.fd] = std::prev(order_.end());
    return kWatched;
  }

  // The watched connection on fd has news. Its connection when its head is
  // now whole (no longer watched), else null.
  koHttpConnection* Readable(int fd) {
    auto found = by_fd_.find(fd);
    if (found == by_fd_.end()) return nullptr;
    koHttpConnection* connection = found->second->connection;
    Outcome outcome = Step(connection);
    if (outcome == kWatched) return nullptr;
    Forget(found, outcome == kReady);
    return outcome == kReady ? connection : nullptr;
  }

  // Closes the connections whose time for the head has run out; the
  // milliseconds until the next one's does (-1: none is watched).
  int64_t Expire() {
    int64_t now = koMonotonicMs();
    while (!order_.empty() && order_.front().deadline <= now) {
      auto found = by_fd_.find(order_.front().connection->GetHandle());
      delete order_.front().connection;  // closing the handle leaves the epoll set
      by_fd_.erase(found);
      order_.pop_front();
    }
    return order_.empty() ? -1 : order_.front().deadline - now;
  }

 private:
  struct Entry {
    koHttpConnection* connection;
    int64_t deadline;  // monotonic ms; all heads get the same time, so order_ is by deadline
  };

  // kReady, kWatched, or kClosed after it freed the connection (with the
  // "431" answer when the head grew too long).
  static Outcome Step(koHttpConnection* connection) {
    switch (connection->ReceiveHeadPart()) {
      case koHttpConnection::kHeadComplete:
        return kReady;
      case koHttpConnection::kHeadIncomplete:
        return kWatched;
      case koHttpConnection::kHeadTooLarge:
        connection->SendStatus("431 Request Header Fields Too Large");
        break;
      case koHttpConnection::kHeadGone:
        break;
    }
    delete connection;
    return kClosed;
  }

  void Forget(std::unordered_map<int, std::list<Entry>::iterator>::iterator found, bool keepOpen) {
    // A closed handle left the set by itself; one that goes on must leave it.
    if (keepOpen) epoll_ctl(epoll_, EPOLL_CTL_DEL, found->first, nullptr);
    order_.erase(found->second);
    by_fd_.erase(found);
  }

  int epoll_;
  std::list<Entry> order_;
  std::unordered_map<int, std::list<Entry>::iterator> by_fd_;
};

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
  port_.store(0);

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

  // Waiting threads end now, busy ones after their request; requests that
  // waited for a thread are closed unanswered.
  std::deque<koHttpConnection*> unserved;
  workers_->lock.Lock();
  workers_->stopping = true;
  unserved.swap(workers_->ready);
  for (Worker* w = workers_->waiting; w != nullptr; w = w->next) w->wake.Set();
  workers_->lock.Unlock();
  for (koHttpConnection* connection : unserved) delete connection;

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

namespace {

// Gives a request with a whole head to a waiting thread, else to a new one
// while fewer than the cap serve, else to the queue that finishing threads
// take from. Listener thread.
void Hand(const std::shared_ptr<HttpServiceMgr::Workers>& workers, koHttpConnection* connection,
          void (*threadMain)(void*)) {
  workers->lock.Lock();
  Worker* w = workers->waiting;
  if (w != nullptr) {
    workers->waiting = w->next;
    --workers->waitingCount;
    ++workers->running;
    w->connection = connection;
    w->wake.Set();
    workers->lock.Unlock();
    return;
  }
  if (workers->running >= HttpServiceMgr::kMaxConnectionThreads) {
    workers->ready.push_back(connection);
    workers->lock.Unlock();
    return;
  }
  ++workers->running;
  workers->lock.Unlock();
  w = new Worker();
  w->workers = workers;
  w->connection = connection;
  koThread thread;
  if (!thread.Create(PR_USER_THREAD, threadMain, w, PR_PRIORITY_NORMAL, PR_GLOBAL_THREAD,
                     PR_UNJOINABLE_THREAD, 0)) {
    KO_LOG(-1, "Failed to create a connection thread");
    delete connection;
    workers->lock.Lock();
    --workers->running;
    workers->lock.Unlock();
    delete w;
  }
}

// Requests that wait for a thread.
size_t ReadyCount(HttpServiceMgr::Workers* workers) {
  workers->lock.Lock();
  size_t count = workers->ready.size();
  workers->lock.Unlock();
  return count;
}

}  // namespace

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
  // The listener never waits in accept: a client that gives up between the
  // wake-up and the accept must not block the loop.
  int epoll = -1;
  if (bound && (fcntl(listener.GetHandle(), F_SETFL, O_NONBLOCK) != 0 ||
                (epoll = epoll_create1(EPOLL_CLOEXEC)) < 0)) {
    KO_LOG(errno, "Listener set-up (fcntl, epoll_create1)");
    bound = false;
  }
  struct epoll_event event = {};
  event.events = EPOLLIN;
  event.data.fd = listener.GetHandle();
  if (bound && epoll_ctl(epoll, EPOLL_CTL_ADD, event.data.fd, &event) != 0) {
    KO_LOG(errno, "epoll_ctl ADD listener");
    bound = false;
  }
  event.data.fd = wake_[0];
  if (bound && wake_[0] >= 0) epoll_ctl(epoll, EPOLL_CTL_ADD, wake_[0], &event);
  if (!bound) {
    KO_LOG(-1, "Failed to BindAndListen");
    if (epoll >= 0) close(epoll);
    bind_event_->Set();
    listener.Close();
    return;
  }
  StoreBoundPort(port);
  port_.store(port);
  bind_event_->Set();

  PendingHeads heads(epoll);
  bool accepting = true;
  int64_t accept_again_at = 0;  // after running out of handles
  struct epoll_event events[64];
  for (;;) {
    lock_->Lock();
    int stop = stop_event_->Wait(0);
    lock_->Unlock();
    if (stop) break;

    // Beyond the bound on pending connections, new ones wait in the backlog.
    int64_t now = koMonotonicMs();
    bool want = now >= accept_again_at &&
                heads.Count() + ReadyCount(workers_.get()) < static_cast<size_t>(kMaxPendingConnections);
    if (want != accepting) {
      event.events = want ? static_cast<uint32_t>(EPOLLIN) : 0u;
      event.data.fd = listener.GetHandle();
      epoll_ctl(epoll, EPOLL_CTL_MOD, listener.GetHandle(), &event);
      accepting = want;
    }
    int64_t wait = heads.Expire();
    if (wait < 0 || wait > kAcceptWaitSeconds * 1000) wait = kAcceptWaitSeconds * 1000;
    if (!accepting && wait > kAcceptRetryMs) wait = kAcceptRetryMs;

    int n = epoll_wait(epoll, events, 64, static_cast<int>(wait));
    for (int i = 0; i < n; ++i) {
      int fd = events[i].data.fd;
      if (fd == wake_[0]) continue;  // Stop: seen at the top of the loop
      if (fd != listener.GetHandle()) {
        koHttpConnection* connection = heads.Readable(fd);
        if (connection != nullptr) Hand(workers_, connection, &HttpServiceMgr::HttpConnectionThread);
        continue;
      }
      for (int accepted = 0; accepted < kAcceptBatch; ++accepted) {
        koSocketHandle handle = kInvalidSocket;
        if (!listener.Accept(&handle)) {
          // Out of handles, say: the pending connection stays readable, so
          // pause rather than spin on it.
          if (errno != EAGAIN && errno != EWOULDBLOCK) accept_again_at = koMonotonicMs() + kAcceptRetryMs;
          break;
        }
        koHttpConnection* connection = new koHttpConnection(handle, gLog);
        if (heads.Start(connection) == PendingHeads::kReady)
          Hand(workers_, connection, &HttpServiceMgr::HttpConnectionThread);
      }
    }
  }
  close(epoll);
  listener.Close();
}

void HttpServiceMgr::HttpConnectionThread(void* arg) {
  Worker* w = static_cast<Worker*>(arg);
  Workers* workers = w->workers.get();
  // The first request was stored before the thread was made.
  koHttpConnection* connection = w->connection;
  for (;;) {
    Serve(connection);

    workers->lock.Lock();
    if (!workers->stopping && !workers->ready.empty()) {
      connection = workers->ready.front();
      workers->ready.pop_front();
      workers->lock.Unlock();
      continue;
    }
    --workers->running;
    if (workers->stopping || workers->waitingCount >= kMaxWaitingThreads) {
      workers->lock.Unlock();
      break;
    }
    w->connection = nullptr;
    w->wake.Reset();
    w->next = workers->waiting;
    workers->waiting = w;
    ++workers->waitingCount;
    workers->lock.Unlock();

    w->wake.Wait(kThreadWaitMs);

    // The listener may have handed over a request just as the wait ran out:
    // whatever it stored under the lock is served.
    workers->lock.Lock();
    connection = w->connection;
    if (connection == nullptr) Unlink(workers, w);
    workers->lock.Unlock();
    if (connection == nullptr) break;
  }
  delete w;
}
