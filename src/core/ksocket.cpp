#include "core/ksocket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "core/klog.h"
#include "core/kstring.h"

namespace {

constexpr int kListenBacklog = 1000;

}  // namespace

int64_t koMonotonicMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

koSocket::koSocket(koLog* log) : log_(log) {}

koSocket::~koSocket() { Close(); }

void koSocket::LogSystemError(int line, const char* step, int error) {
  if (log_ == nullptr) return;
  koString message;
  message.Format("%s: %s", step, strerror(error));
  log_->Write(__FILE__, line, error, message.GetString());
}

koSocketHandle koSocket::Create() {
  Close();
  handle_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (handle_ < 0) {
    LogSystemError(__LINE__, "socket", errno);
    handle_ = kInvalidSocket;
  }
  return handle_;
}

void koSocket::Attach(koSocketHandle handle) {
  if (handle != handle_) Close();
  handle_ = handle;
}

int koSocket::SetReuseAddress() {
  int on = 1;
  if (setsockopt(handle_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
    LogSystemError(__LINE__, "setsockopt SO_REUSEADDR", errno);
    return 0;
  }
  return 1;
}

int koSocket::Listen(int port, const char* address) {
  if (port < 0 || port > 65535) return 0;
  struct sockaddr_in where;
  memset(&where, 0, sizeof where);
  where.sin_family = AF_INET;
  where.sin_port = htons(static_cast<uint16_t>(port));
  if (address == nullptr || *address == 0) {
    where.sin_addr.s_addr = htonl(INADDR_ANY);
  } else if (inet_pton(AF_INET, address, &where.sin_addr) != 1) {
    return 0;
  }
  if (bind(handle_, reinterpret_cast<struct sockaddr*>(&where), sizeof where) != 0) return 0;
  // Answers go out as several small writes; without this each waits for an ACK.
  int on = 1;
  setsockopt(handle_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  if (listen(handle_, kListenBacklog) != 0) {
    // Bound but not listening would accept nobody while looking like success.
    LogSystemError(__LINE__, "listen", errno);
    return 0;
  }
  return 1;
}

bool koSocket::WaitReadable(long seconds, long microseconds) {
  int64_t limit = -1;
  if (seconds >= 0) {
    limit = static_cast<int64_t>(seconds) * 1000 + (microseconds + 999) / 1000;
    if (limit < 0) limit = 0;
  }
  // poll, not select: select cannot watch handles numbered 1024 and above.
  struct pollfd watch;
  watch.fd = handle_;
  watch.events = POLLIN;
  int64_t deadline = limit >= 0 ? koMonotonicMs() + limit : 0;
  for (;;) {
    watch.revents = 0;
    int wait = -1;
    if (limit >= 0) {
      int64_t left = deadline - koMonotonicMs();
      wait = left > 0 ? static_cast<int>(left > INT32_MAX ? INT32_MAX : left) : 0;
    }
    int n = poll(&watch, 1, wait);
    if (n > 0) return (watch.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    if (n == 0) return false;
    if (errno != EINTR) return false;
  }
}

bool koSocket::Accept(koSocketHandle* out, struct sockaddr_storage* peer) {
  koSocketHandle h;
  do {
    socklen_t length = sizeof(struct sockaddr_storage);
    if (peer != nullptr) memset(peer, 0, sizeof *peer);
    h = accept4(handle_, reinterpret_cast<struct sockaddr*>(peer), peer != nullptr ? &length : nullptr,
                SOCK_CLOEXEC);
  } while (h < 0 && errno == EINTR);
  if (out != nullptr) *out = h >= 0 ? h : kInvalidSocket;
  return h >= 0;
}

int koSocket::Send(const char* bytes, int count) {
  if (count < 0) return -1;
  ssize_t n;
  do {
    n = send(handle_, bytes, static_cast<size_t>(count), MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? -1 : static_cast<int>(n);
}

int koSocket::SendPieces(const struct iovec* pieces, int count, bool more) {
  if (count < 0 || count > kMaxPieces) return 0;
  struct iovec left[kMaxPieces];
  int n = 0;
  for (int i = 0; i < count; ++i) {
    if (pieces[i].iov_len > 0) left[n++] = pieces[i];
  }
  struct iovec* next = left;
  while (n > 0) {
    struct msghdr message;
    memset(&message, 0, sizeof message);
    message.msg_iov = next;
    message.msg_iovlen = static_cast<size_t>(n);
    ssize_t sent = sendmsg(handle_, &message, MSG_NOSIGNAL | (more ? MSG_MORE : 0));
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return 0;
    // Drop what went out; a piece sent in part keeps its rest.
    size_t done = static_cast<size_t>(sent);
    while (n > 0 && done >= next->iov_len) {
      done -= next->iov_len;
      ++next;
      --n;
    }
    if (n > 0) {
      next->iov_base = static_cast<char*>(next->iov_base) + done;
      next->iov_len -= done;
    }
  }
  return 1;
}

int koSocket::Recv(char* buffer, int count) {
  if (count < 0) return -1;
  ssize_t n;
  do {
    n = recv(handle_, buffer, static_cast<size_t>(count), 0);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? -1 : static_cast<int>(n);
}

int koSocket::RecvNoWait(char* buffer, int count) {
  if (count < 0) return -1;
  ssize_t n;
  do {
    n = recv(handle_, buffer, static_cast<size_t>(count), MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? kWouldBlock : -1;
  return static_cast<int>(n);
}

bool koSocket::WaitReadableMs(int64_t ms) {
  if (ms < 0) ms = 0;
  return WaitReadable(static_cast<long>(ms / 1000), static_cast<long>(ms % 1000) * 1000);
}

int koSocket::BytesAvailable() const {
  int count = 0;
  if (ioctl(handle_, FIONREAD, &count) != 0 || count < 0) return 0;
  return count;
}

int koSocket::Close() {
  if (handle_ != kInvalidSocket) {
    shutdown(handle_, SHUT_RDWR);
    // Linux closes the handle even when close reports EINTR; retrying could
    // close a handle that another thread has opened in between.
    close(handle_);
    handle_ = kInvalidSocket;
  }
  return 1;
}

int koIgnoreSigPipe() {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = SIG_IGN;
  sigemptyset(&action.sa_mask);
  return sigaction(SIGPIPE, &action, nullptr) == 0 ? 1 : 0;
}
