// Plain loopback clients for tests of servers.
#ifndef PV_TESTS_SUPPORT_LOOPBACK_H
#define PV_TESTS_SUPPORT_LOOPBACK_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace pvtest {

// A client socket connected to 127.0.0.1:port, with the receive buffer set
// when receiveBuffer > 0; -1 on failure.
inline int ConnectLoopback(int port, int receiveBuffer = 0) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (receiveBuffer > 0)
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  struct sockaddr_in where = {};
  where.sin_family = AF_INET;
  where.sin_port = htons(static_cast<uint16_t>(port));
  where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<struct sockaddr*>(&where), sizeof where) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Port of a bound socket; -1 on failure.
inline int LocalPort(int fd) {
  struct sockaddr_in where;
  socklen_t size = sizeof where;
  if (getsockname(fd, reinterpret_cast<struct sockaddr*>(&where), &size) != 0) return -1;
  return ntohs(where.sin_port);
}

}  // namespace pvtest

#endif  // PV_TESTS_SUPPORT_LOOPBACK_H
