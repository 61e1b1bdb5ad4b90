#include "app/web/httpservicemgr.h"

#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
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
#include "platform/desktop/sessionguard.h"

namespace {

const char kBindAddress[] = "127.0.0.1";
// A client that never reads its answer gives up its thread after this.
constexpr int kClientSendSeconds = 60;
// A connection whose client sends nothing is accepted after this anyway
// (its head then has the usual time to come).
constexpr int kDeferSeconds = 1;
// While requests are served, the listener looks this often whether all
// threads are held by slow ones while connections wait, and then starts up
// to kStallBatch more.
constexpr int kStallCheckMs = 10;
constexpr int kStallBatch = 4;
// Blocks this large are mapped for themselves, and the tops of the
// allocator's heaps are given back past the second size.
constexpr int kMapBlocksFromBytes = 1024 * 1024;
constexpr int kTrimHeapsPastBytes = 4 * 1024 * 1024;
// How long a thread pauses when it could not accept (out of handles): the
// pending connection stays readable, and the thread must not spin on it.
constexpr int kAcceptRetryMs = 50;

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

enum HeadOutcome { kHeadReady, kHeadWaiting, kHeadClosed };

// A head that is not parsed one way only is answered "400" before anything
// looks at it.
void RefuseMalformedHead(koHttpConnection* connection) {
  koString message;
  message.Format("Request refused: malformed head (%s)", connection->GetHeadFault());
  KO_LOG_FOLDED(-1, "Request refused: malformed head", message.GetString());
  connection->SendStatus("400 Bad Request");
}

// Reads what has come of a connection's head. kHeadClosed after it freed
// the connection (with the "431" answer when the head grew too long, "400"
// when it is malformed).
HeadOutcome ReadHeadPart(koHttpConnection* connection) {
  switch (connection->ReceiveHeadPart()) {
    case koHttpConnection::kHeadComplete:
      return kHeadReady;
    case koHttpConnection::kHeadIncomplete:
      return kHeadWaiting;
    case koHttpConnection::kHeadTooLarge:
      connection->SendStatus("431 Request Header Fields Too Large");
      break;
    case koHttpConnection::kHeadMalformed:
      RefuseMalformedHead(connection);
      break;
    case koHttpConnection::kHeadGone:
      break;
  }
  delete connection;
  return kHeadClosed;
}

// The connections whose request heads are still arriving, watched through
// one epoll set, oldest first. Connection threads add to it, the listener
// thread watches it; it owns the connections it holds.
class PendingHeads {
 public:
  PendingHeads() : epoll_(epoll_create1(EPOLL_CLOEXEC)) {
    if (epoll_ < 0) KO_LOG(errno, "epoll_create1");
  }
  ~PendingHeads() {
    CloseAll();
    if (epoll_ >= 0) close(epoll_);
  }
  PendingHeads(const PendingHeads&) = delete;
  PendingHeads& operator=(const PendingHeads&) = delete;

  // The set the listener waits on.
  int Epoll() const { return epoll_; }

  // Watches a connection whose head is not whole yet, for at most
  // kHeadTimeLimitMs from now. Closes it instead when `waiting` others (the
  // ones held here included) are at the bound, or the listener has ended.
  void Add(koHttpConnection* connection, int waiting) {
    koMutexGuard guard(lock_);
    if (closed_ || epoll_ < 0 ||
        order_.size() + static_cast<size_t>(waiting) >=
            static_cast<size_t>(HttpServiceMgr::kMaxPendingConnections)) {
      delete connection;
      return;
    }
    struct epoll_event event = {};
    event.events = EPOLLIN | EPOLLRDHUP;
    event.data.fd = connection->GetHandle();
    order_.push_back({connection, koMonotonicMs() + koHttpConnection::kHeadTimeLimitMs});
    by_fd_[event.data.fd] = std::prev(order_.end());
    if (epoll_ctl(epoll_, EPOLL_CTL_ADD, event.data.fd, &event) != 0) {
      KO_LOG(errno, "epoll_ctl ADD");
      Forget(by_fd_.find(event.data.fd), false);
      delete connection;
    }
  }

  // The watched connection on fd has news. Its connection when its head is
  // now whole (no longer watched), else null.
  koHttpConnection* Readable(int fd) {
    koMutexGuard guard(lock_);
    auto found = by_fd_.find(fd);
    if (found == by_fd_.end()) return nullptr;
    koHttpConnection* connection = found->second->connection;
    HeadOutcome outcome = ReadHeadPart(connection);
    if (outcome == kHeadWaiting) return nullptr;
    Forget(found, outcome == kHeadReady);
    return outcome == kHeadReady ? connection : nullptr;
  }

  // Closes the connections whose time for the head has run out; the
  // milliseconds until the next one's does (-1: none is watched).
  int64_t Expire() {
    koMutexGuard guard(lock_);
    int64_t now = koMonotonicMs();
    while (!order_.empty() && order_.front().deadline <= now) {
      by_fd_.erase(order_.front().connection->GetHandle());
      delete order_.front().connection;  // closing the handle leaves the epoll set
      order_.pop_front();
    }
    return order_.empty() ? -1 : order_.front().deadline - now;
  }

  // Closes every connection held, and every one added from now on.
  void CloseAll() {
    koMutexGuard guard(lock_);
    closed_ = true;
    for (const Entry& e : order_) delete e.connection;
    order_.clear();
    by_fd_.clear();
  }

 private:
  struct Entry {
    koHttpConnection* connection;
    int64_t deadline;  // monotonic ms; all heads get the same time, so order_ is by deadline
  };

  void Forget(std::unordered_map<int, std::list<Entry>::iterator>::iterator found, bool keepOpen) {
    // A closed handle left the set by itself; one that goes on must leave it.
    if (keepOpen) epoll_ctl(epoll_, EPOLL_CTL_DEL, found->first, nullptr);
    order_.erase(found->second);
    by_fd_.erase(found);
  }

  koMutex lock_;
  int epoll_;
  bool closed_ = false;  // guarded by lock_, as are the two below
  std::list<Entry> order_;
  std::unordered_map<int, std::list<Entry>::iterator> by_fd_;
};

}  // namespace

struct HttpServiceMgr::Workers {
  Workers() : ready_fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK | EFD_SEMAPHORE)) {
    if (ready_fd < 0) KO_LOG(errno, "eventfd");
  }
  ~Workers() {
    for (koHttpConnection* connection : ready) delete connection;
    if (ready_fd >= 0) close(ready_fd);
  }

  // Set by the listener thread before the first connection thread starts;
  // the socket stays open while a connection thread may still accept on it.
  koSocket* listener = nullptr;
  struct sockaddr_storage local = {};  // its address: every connection's own end

  std::atomic<bool> stopping{false};
  std::atomic<int> threads{0};    // connection threads alive, at most kMaxConnectionThreads
  std::atomic<int> idle{0};       // of them, waiting for a connection
  std::atomic<int> serving{0};    // of them, serving a request
  std::atomic<int> listening{0};  // of them, between their stop test and the end of their accept
  std::atomic<uint64_t> finished{0};  // requests served so far
  // Up to this many threads, one more starts whenever all of them serve: as
  // many as can run at once. More threads would only take turns on the
  // processors; beyond it the listener adds threads when all are held up.
  int running_threads = 2;

  PendingHeads heads;
  // Whole heads that the listener collected, for the next free thread; each
  // one also counts once in ready_fd, which wakes a waiting thread.
  int ready_fd;
  koMutex ready_lock;
  std::deque<koHttpConnection*> ready;  // guarded by ready_lock
  std::atomic<int> ready_count{0};
};

namespace {

using Workers = HttpServiceMgr::Workers;

// What a new connection thread is given: its share of the state and the
// handles it works with, made before it starts.
struct Worker {
  std::shared_ptr<Workers> workers;
  int epoll = -1;    // the listening socket and ready_fd
  int netlink = -1;  // its peer-owner lookups
};

// Starts one more connection thread, unless there are as many as allowed
// or the server stops. false when none was started.
bool AddThread(const std::shared_ptr<Workers>& workers, void (*threadMain)(void*)) {
  int count = workers->threads.load();
  do {
    if (count >= HttpServiceMgr::kMaxConnectionThreads || workers->stopping.load()) return false;
  } while (!workers->threads.compare_exchange_weak(count, count + 1));

  Worker* w = new Worker();
  w->workers = workers;
  // Every thread waits on the listening socket through an epoll set of its
  // own, exclusively: a new connection wakes one waiting thread, not all.
  // The socket is used here the way an accept uses it: only while it is open.
  bool ready = false;
  ++workers->listening;
  if (!workers->stopping.load()) {
    w->epoll = epoll_create1(EPOLL_CLOEXEC);
    struct epoll_event event = {};
    event.events = EPOLLIN | EPOLLEXCLUSIVE;
    event.data.fd = workers->listener->GetHandle();
    ready = w->epoll >= 0 && epoll_ctl(w->epoll, EPOLL_CTL_ADD, event.data.fd, &event) == 0;
    event.data.fd = workers->ready_fd;
    ready = ready && workers->ready_fd >= 0 &&
            epoll_ctl(w->epoll, EPOLL_CTL_ADD, event.data.fd, &event) == 0;
    if (!ready) KO_LOG(errno, "Connection thread set-up (epoll)");
  }
  --workers->listening;
  w->netlink = koOpenPeerOwnerSocket();
  koThread thread;
  if (ready && thread.Create(PR_USER_THREAD, threadMain, w, PR_PRIORITY_NORMAL, PR_GLOBAL_THREAD,
                             PR_UNJOINABLE_THREAD, 0)) {
    return true;
  }
  if (ready) KO_LOG(-1, "Failed to create a connection thread");
  if (w->epoll >= 0) close(w->epoll);
  if (w->netlink >= 0) close(w->netlink);
  delete w;
  --workers->threads;
  return false;
}

// One request whose head has arrived; the connection is closed and freed
// afterwards.
void Serve(const std::shared_ptr<Workers>& workers, koHttpConnection* connection,
           void (*threadMain)(void*)) {
  // When every thread serves, one more accepts meanwhile.
  int threads = workers->threads.load();
  if (++workers->serving >= threads && threads < workers->running_threads) {
    AddThread(workers, threadMain);
  }
  if (connection->ParseReceivedHead()) {
    // Answers are written as many small pieces; gathered, they leave in one write.
    connection->BeginGathering();
    DispatchRequest(connection, 0, 0);
  } else {
    RefuseMalformedHead(connection);
  }
  delete connection;
  ++workers->finished;
  --workers->serving;
}

// The processors this process may run on.
int UsableProcessors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  return CPU_COUNT(&set);
}

// True when a connection waits to be accepted.
bool ConnectionWaits(const koSocket& listener) {
  struct pollfd watch = {listener.GetHandle(), POLLIN, 0};
  return poll(&watch, 1, 0) > 0 && (watch.revents & POLLIN) != 0;
}

// A whole head that the listener collected: queued for the next free
// thread, which a waiting one is woken for. Listener thread.
void Handover(const std::shared_ptr<Workers>& workers, koHttpConnection* connection,
              void (*threadMain)(void*)) {
  workers->ready_lock.Lock();
  workers->ready.push_back(connection);
  ++workers->ready_count;
  workers->ready_lock.Unlock();
  uint64_t one = 1;
  ssize_t ignored = write(workers->ready_fd, &one, sizeof one);
  (void)ignored;
  // Nobody waits: a new thread takes it, or, at the cap, the next one to finish.
  if (workers->idle.load() == 0) AddThread(workers, threadMain);
}

koHttpConnection* TakeReady(Workers* workers) {
  if (workers->ready_count.load() == 0) return nullptr;
  koMutexGuard guard(workers->ready_lock);
  if (workers->ready.empty()) return nullptr;
  koHttpConnection* connection = workers->ready.front();
  workers->ready.pop_front();
  --workers->ready_count;
  return connection;
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
  // A large request's memory goes back to the system when it ends. By
  // default the allocator raises both bounds to the largest block freed, so
  // that every connection thread's arena would keep a large body's memory
  // for the next one; fixed bounds keep them where they are.
  mallopt(M_MMAP_THRESHOLD, kMapBlocksFromBytes);
  mallopt(M_TRIM_THRESHOLD, kTrimHeapsPastBytes);
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

int HttpServiceMgr::Stop() {
  if (stop_event_ == nullptr) return 0;
  stop_event_->Set();
  if (!stop_event_->Wait(-1)) {
    KO_LOG(-1, "[socketserver_evt_]WAIT_ABANDONED");
    return 0;
  }
  if (wake_[1] >= 0) {
    char byte = 1;
    ssize_t ignored = write(wake_[1], &byte, 1);
    (void)ignored;
  }
  // The listener ends the waiting threads and closes the listening socket.
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

  // Requests that waited for a thread are closed unanswered.
  while (koHttpConnection* connection = TakeReady(workers_.get())) delete connection;

  // The requests in flight use what the process tears down after us.
  for (int waited = 0; waited < kStopWaitMs && workers_->serving.load() > 0; waited += 5) {
    SleepMs(5);
  }
  int late = workers_->serving.load();
  workers_.reset();
  return late;
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
  // Several threads wait for each connection, and the losers must not
  // block in accept. Accepted connections inherit the send time-out. A
  // connection is offered for accepting once its first bytes are there (or
  // after kDeferSeconds without any), so that its head can be read at once.
  Workers* workers = workers_.get();
  socklen_t length = sizeof workers->local;
  struct timeval send_limit = {kClientSendSeconds, 0};
  int defer = kDeferSeconds;
  if (bound &&
      (fcntl(listener.GetHandle(), F_SETFL, O_NONBLOCK) != 0 ||
       setsockopt(listener.GetHandle(), IPPROTO_TCP, TCP_DEFER_ACCEPT, &defer, sizeof defer) != 0 ||
       setsockopt(listener.GetHandle(), SOL_SOCKET, SO_SNDTIMEO, &send_limit, sizeof send_limit) != 0 ||
       getsockname(listener.GetHandle(), reinterpret_cast<struct sockaddr*>(&workers->local),
                   &length) != 0 ||
       workers->heads.Epoll() < 0)) {
    KO_LOG(errno, "Listener set-up (fcntl, setsockopt, getsockname, epoll)");
    bound = false;
  }
  if (!bound) {
    KO_LOG(-1, "Failed to BindAndListen");
    bind_event_->Set();
    listener.Close();
    return;
  }
  int epoll = workers->heads.Epoll();
  struct epoll_event event = {};
  event.events = EPOLLIN;
  event.data.fd = wake_[0];
  if (wake_[0] >= 0) epoll_ctl(epoll, EPOLL_CTL_ADD, wake_[0], &event);
  workers->listener = &listener;
  int processors = UsableProcessors();
  workers->running_threads = processors < 2 ? 2 : processors > kMaxConnectionThreads ? kMaxConnectionThreads : processors;
  AddThread(workers_, &HttpServiceMgr::HttpConnectionThread);
  StoreBoundPort(port);
  port_.store(port);
  bind_event_->Set();

  struct epoll_event events[64];
  uint64_t finished = 0;
  int64_t next_check = 0;
  for (;;) {
    lock_->Lock();
    int stop = stop_event_->Wait(0);
    lock_->Unlock();
    if (stop) break;

    int64_t wait = workers->heads.Expire();
    if (wait < 0 || wait > kAcceptWaitSeconds * 1000) wait = kAcceptWaitSeconds * 1000;
    bool serving = workers->serving.load() > 0;
    if (serving && wait > kStallCheckMs) wait = kStallCheckMs;
    int n = epoll_wait(epoll, events, 64, static_cast<int>(wait));
    for (int i = 0; i < n; ++i) {
      int fd = events[i].data.fd;
      if (fd == wake_[0]) continue;  // Stop: seen at the top of the loop
      koHttpConnection* connection = workers->heads.Readable(fd);
      if (connection != nullptr) Handover(workers_, connection, &HttpServiceMgr::HttpConnectionThread);
    }

    // No request ended since the last look, no thread waits, and a
    // connection does: every thread is held by a slow request.
    int64_t now = koMonotonicMs();
    if (!serving || now < next_check) continue;
    next_check = now + kStallCheckMs;
    uint64_t done = workers->finished.load();
    if (done == finished && workers->idle.load() == 0 && ConnectionWaits(listener)) {
      for (int i = 0; i < kStallBatch; ++i) AddThread(workers_, &HttpServiceMgr::HttpConnectionThread);
    }
    finished = done;
  }

  // Shutting the listening socket down wakes every waiting thread; it is
  // closed once none can be about to accept on it any more.
  workers->stopping.store(true);
  shutdown(listener.GetHandle(), SHUT_RDWR);
  while (workers->listening.load() > 0) SleepMs(1);
  listener.Close();
  workers->heads.CloseAll();
}

void HttpServiceMgr::HttpConnectionThread(void* arg) {
  Worker* w = static_cast<Worker*>(arg);
  const std::shared_ptr<Workers>& workers = w->workers;
  koAdoptPeerOwnerSocket(w->netlink);
  struct epoll_event events[2];
  // After a request the next connection is often waiting already: it is
  // taken without going to sleep first.
  bool busy = false;
  for (;;) {
    if (workers->stopping.load()) break;
    // Whole heads that the listener collected come first.
    if (koHttpConnection* connection = TakeReady(workers.get())) {
      Serve(workers, connection, &HttpServiceMgr::HttpConnectionThread);
      continue;
    }
    if (!busy && workers->idle.load() >= kMaxWaitingThreads) break;

    ++workers->listening;
    if (workers->stopping.load()) {
      --workers->listening;
      break;
    }
    int n = -1;
    int others_idle = 0;
    bool incoming = busy;
    if (!busy) {
      ++workers->idle;
      n = epoll_wait(w->epoll, events, 2, kThreadWaitMs);
      others_idle = --workers->idle;
    }
    for (int i = 0; i < n; ++i) {
      if (events[i].data.fd != workers->ready_fd) {
        incoming = true;
        continue;
      }
      // One queued head per wake-up: another waiting thread takes the next.
      uint64_t count;
      ssize_t ignored = read(workers->ready_fd, &count, sizeof count);
      (void)ignored;
    }
    koSocketHandle handle = kInvalidSocket;
    struct sockaddr_storage peer;
    bool accepted = incoming && !workers->stopping.load() && workers->listener->Accept(&handle, &peer);
    int error = errno;
    --workers->listening;

    if (!accepted) {
      // Waited in vain while others wait too: this thread is not needed.
      if (n == 0 && others_idle > 0) break;
      if (incoming && error != EAGAIN && error != EWOULDBLOCK && !workers->stopping.load()) {
        SleepMs(kAcceptRetryMs);
      }
      busy = false;
      continue;
    }
    busy = true;
    koHttpConnection* connection = new koHttpConnection(handle, gLog);
    connection->SetEnds(workers->local, peer);
    switch (ReadHeadPart(connection)) {
      case kHeadReady:
        Serve(workers, connection, &HttpServiceMgr::HttpConnectionThread);
        break;
      case kHeadWaiting:
        // The rest of the head is awaited by the listener, not by a thread.
        workers->heads.Add(connection, workers->ready_count.load());
        break;
      case kHeadClosed:
        break;
    }
  }
  --workers->threads;
  close(w->epoll);
  delete w;
}
