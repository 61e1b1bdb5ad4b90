// koSocket: one IPv4 TCP socket over the BSD socket interface.
//
// Every handle is close-on-exec, so a program that we start never inherits a
// listening port or a client's connection. Sends pass MSG_NOSIGNAL: a peer
// that went away gives an error, never a signal. Calls interrupted by a signal
// (EINTR) are repeated.
//
// Ownership: the object owns the handle that Create made or Attach gave it and
// closes it in Close or, at the latest, in its destructor. A handle handed out
// by Accept belongs to the caller (normally given to a koHttpConnection).
// The logger is the owner's; it must outlive the socket and may be null.
// Thread-safety: none; a socket is used by one thread at a time.
#ifndef PV_CORE_KSOCKET_H
#define PV_CORE_KSOCKET_H

#include <sys/socket.h>
#include <sys/uio.h>

#include <cstdint>

class koLog;

typedef int koSocketHandle;
constexpr koSocketHandle kInvalidSocket = -1;

class koSocket {
 public:
  explicit koSocket(koLog* log = nullptr);
  virtual ~koSocket();
  koSocket(const koSocket&) = delete;
  koSocket& operator=(const koSocket&) = delete;

  // Opens an IPv4 stream socket (closing any handle held before).
  // Returns the handle, or kInvalidSocket (logged) on failure.
  koSocketHandle Create();
  // Takes over an existing handle, usually an accepted one.
  void Attach(koSocketHandle handle);
  koSocketHandle GetHandle() const { return handle_; }

  // SO_REUSEADDR at socket level: a restarted server can bind its port again
  // while connections of the old one linger in TIME_WAIT. Linux has no
  // exclusive-use option; there SO_REUSEADDR never lets a second socket
  // listen on a port that one already listens on. 1 on success, 0 (logged).
  int SetReuseAddress();
  // Binds to `address` (dotted IPv4; null or "" = any address) and `port`,
  // switches TCP_NODELAY on and listens with a backlog of 1000. 1 when the
  // socket listens; 0 when the address is invalid, the bind fails (not logged:
  // callers probe ports) or listen fails (logged).
  int Listen(int port, const char* address = nullptr);
  // Waits until the socket is readable: a connection to accept, data, the
  // peer's close or a pending error. A negative `seconds` waits without limit.
  // true when readable; false on time-out or when the wait itself fails.
  bool WaitReadable(long seconds, long microseconds);
  // Accepts one connection. true and *out = the new close-on-exec handle
  // (owned by the caller); false and *out = kInvalidSocket otherwise.
  // *peer (may be null) = the client's address, which costs no further call.
  bool Accept(koSocketHandle* out, struct sockaddr_storage* peer = nullptr);

  // One send call. Returns the bytes sent (possibly fewer than count) or -1.
  int Send(const char* bytes, int count);
  // Sends the `count` pieces (at most kMaxPieces) as one write, repeated
  // for what a write left over. 1 when every byte went out, 0 as soon as
  // the peer is gone or the send time-out passed. With `more`, a last
  // segment that is not full may wait for what the caller sends next, or
  // for the close, and then leave together with it.
  static constexpr int kMaxPieces = 8;
  int SendPieces(const struct iovec* pieces, int count, bool more = false);
  // One receive call of at most count bytes. Returns the bytes received,
  // 0 when the peer closed, -1 on error.
  int Recv(char* buffer, int count);
  // RecvNoWait's answer when nothing has arrived yet.
  static constexpr int kWouldBlock = -2;
  // One receive call that does not wait: the bytes received, 0 when the peer
  // closed, kWouldBlock when nothing is there yet, -1 on error.
  int RecvNoWait(char* buffer, int count);
  // WaitReadable with the time-out in milliseconds (negative: 0).
  bool WaitReadableMs(int64_t ms);
  // Bytes that can be read at once without waiting; 0 on error.
  int BytesAvailable() const;
  // Shuts both directions down and closes the handle. Always 1.
  int Close();

 private:
  // Writes "<step>: <system error text>" with the system error as code.
  void LogSystemError(int line, const char* step, int error);

  koSocketHandle handle_ = kInvalidSocket;
  koLog* log_;
};

// Makes writes to a closed socket or pipe fail with EPIPE instead of ending
// the process with SIGPIPE, for every thread. Each program calls it once at
// start, before it creates threads; libraries that write outside koSocket
// (libcurl, OpenSSL) rely on it. 1 on success, 0 on failure.
int koIgnoreSigPipe();

// Milliseconds of the monotonic clock, for deadlines that must not move with
// the wall clock.
int64_t koMonotonicMs();

#endif  // PV_CORE_KSOCKET_H
