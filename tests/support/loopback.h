// Loopback sockets for tests of servers: clients, bound ports, whole
// exchanges, and a client that belongs to another user.
#ifndef PV_TESTS_SUPPORT_LOOPBACK_H
#define PV_TESTS_SUPPORT_LOOPBACK_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/fsuid.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>

namespace pvtest {

inline struct sockaddr_in LoopbackAddress(int port) {
  struct sockaddr_in where = {};
  where.sin_family = AF_INET;
  where.sin_port = htons(static_cast<uint16_t>(port));
  where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return where;
}

// A client socket connected to 127.0.0.1:port, with the receive buffer set
// when receiveBuffer > 0 and receives giving up after timeoutSeconds when
// that is > 0; -1 on failure.
inline int ConnectLoopback(int port, int receiveBuffer = 0, int timeoutSeconds = 0) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (receiveBuffer > 0)
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  struct timeval limit = {timeoutSeconds, 0};
  if (timeoutSeconds > 0) setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  struct sockaddr_in where = LoopbackAddress(port);
  if (connect(fd, reinterpret_cast<struct sockaddr*>(&where), sizeof where) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// A socket bound to 127.0.0.1:port (0: a free one) with SO_REUSEADDR, as the
// servers bind, and listening when backlog > 0; -1 on failure.
inline int BindLoopback(int port, int backlog = 0) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  struct sockaddr_in where = LoopbackAddress(port);
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&where), sizeof where) == 0 &&
      (backlog == 0 || listen(fd, backlog) == 0))
    return fd;
  close(fd);
  return -1;
}

inline bool PortIsFree(int port) {
  int fd = BindLoopback(port);
  if (fd >= 0) close(fd);
  return fd >= 0;
}

// Port of a bound socket; -1 on failure.
inline int LocalPort(int fd) {
  struct sockaddr_in where;
  socklen_t size = sizeof where;
  if (getsockname(fd, reinterpret_cast<struct sockaddr*>(&where), &size) != 0) return -1;
  return ntohs(where.sin_port);
}

inline bool SendAll(int fd, const std::string& bytes) {
  for (size_t done = 0; done < bytes.size();) {
    ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Everything received until the peer closes (or a receive time-out).
inline std::string ReadToEnd(int fd) {
  std::string out;
  char buffer[65536];
  for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) out.append(buffer, n);
  return out;
}

// A client socket connected to 127.0.0.1:port that the kernel's socket table
// counts as nobody's (65534): a socket belongs to the file-system user of the
// thread that made it. Needs root; -1 on failure.
inline int ConnectAsNobody(int port) {
  uid_t old = setfsuid(65534);
  int fd = setfsuid(65534) == 65534 ? ConnectLoopback(port) : -1;
  setfsuid(old);
  return fd;
}

// Sends request on a fresh connection (made as nobody when asked) and gives
// the answer up to the close, waiting 10 s at most; "connect failed" when
// no connection came about.
inline std::string Exchange(int port, const std::string& request, bool asNobody = false) {
  int fd = asNobody ? ConnectAsNobody(port) : ConnectLoopback(port);
  if (fd < 0) return "connect failed";
  struct timeval limit = {10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  SendAll(fd, request);
  std::string answer = ReadToEnd(fd);
  close(fd);
  return answer;
}

}  // namespace pvtest

#endif  // PV_TESTS_SUPPORT_LOOPBACK_H
