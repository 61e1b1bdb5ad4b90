#include "platform/sessionguard.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

// A loopback listener on an ephemeral port.
class Listener {
 public:
  Listener() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in where = {};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<struct sockaddr*>(&where), sizeof where);
    listen(fd_, 16);
    socklen_t length = sizeof where;
    getsockname(fd_, reinterpret_cast<struct sockaddr*>(&where), &length);
    port_ = ntohs(where.sin_port);
  }
  ~Listener() { close(fd_); }
  int port() const { return port_; }
  int Accept() { return accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC); }

 private:
  int fd_;
  int port_;
};

int ConnectV4(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
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

// A dual-stack client reaching the IPv4 listener through ::ffff:127.0.0.1.
int ConnectMapped(int port) {
  int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  struct sockaddr_in6 where = {};
  where.sin6_family = AF_INET6;
  where.sin6_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET6, "::ffff:127.0.0.1", &where.sin6_addr);
  if (connect(fd, reinterpret_cast<struct sockaddr*>(&where), sizeof where) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

using Lookup = koPeerOwnerResult (*)(int, uid_t*, int*);

TEST(PeerOwner, OwnClientIsFoundThroughNetlinkAndProc) {
  Listener listener;
  for (Lookup lookup : {&koGetPeerOwner, &koGetPeerOwnerFromProc}) {
    int client = ConnectV4(listener.port());
    ASSERT_GE(client, 0);
    int served = listener.Accept();
    ASSERT_GE(served, 0);
    uid_t owner = 12345;
    int error = -1;
    EXPECT_EQ(kPeerOwnerFound, lookup(served, &owner, &error));
    EXPECT_EQ(geteuid(), owner);
    close(client);
    close(served);
  }
}

TEST(PeerOwner, MappedIpv6ClientIsFound) {
  Listener listener;
  int client = ConnectMapped(listener.port());
  if (client < 0) GTEST_SKIP() << "no IPv6 sockets here";
  int served = listener.Accept();
  ASSERT_GE(served, 0);
  for (Lookup lookup : {&koGetPeerOwner, &koGetPeerOwnerFromProc}) {
    uid_t owner = 12345;
    EXPECT_EQ(kPeerOwnerFound, lookup(served, &owner, nullptr));
    EXPECT_EQ(geteuid(), owner);
  }
  close(client);
  close(served);
}

TEST(PeerOwner, ClientOfAnotherUserIsThatUser) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  Listener listener;
  // The child becomes nobody and connects; the parent looks the peer up
  // while the child holds the connection open.
  int ready[2], done[2];
  ASSERT_EQ(0, pipe(ready));
  ASSERT_EQ(0, pipe(done));
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    char byte = 0;
    if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(2);
    int fd = ConnectV4(listener.port());
    if (fd < 0) _exit(3);
    if (write(ready[1], &byte, 1) != 1) _exit(4);
    if (read(done[0], &byte, 1) < 0) _exit(5);
    _exit(0);
  }
  char byte;
  ASSERT_EQ(1, read(ready[0], &byte, 1));
  int served = listener.Accept();
  ASSERT_GE(served, 0);
  for (Lookup lookup : {&koGetPeerOwner, &koGetPeerOwnerFromProc}) {
    uid_t owner = 0;
    EXPECT_EQ(kPeerOwnerFound, lookup(served, &owner, nullptr));
    EXPECT_EQ(65534u, owner);
  }
  ASSERT_EQ(1, write(done[1], "x", 1));
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  close(served);
  for (int fd : {ready[0], ready[1], done[0], done[1]}) close(fd);
}

TEST(PeerOwner, HandlesWithoutAnIpPeerHaveNoAddress) {
  int pair[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, pair));
  uid_t owner;
  int error = 0;
  EXPECT_EQ(kPeerOwnerNoAddress, koGetPeerOwner(pair[0], &owner, &error));
  close(pair[0]);
  close(pair[1]);

  int unconnected = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  EXPECT_EQ(kPeerOwnerNoAddress, koGetPeerOwner(unconnected, &owner, &error));
  EXPECT_EQ(ENOTCONN, error);
  close(unconnected);
  EXPECT_EQ(kPeerOwnerNoAddress, koGetPeerOwner(-1, &owner, &error));
}

TEST(PeerOwner, AClientThatIsGoneIsNotFound) {
  Listener listener;
  int client = ConnectV4(listener.port());
  ASSERT_GE(client, 0);
  int served = listener.Accept();
  ASSERT_GE(served, 0);
  // Both ends closed by the client first: its socket ends in TIME_WAIT only
  // after ours closes, so reset it instead, which removes it at once.
  struct linger hard = {1, 0};
  setsockopt(client, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  close(client);
  uid_t owner;
  for (Lookup lookup : {&koGetPeerOwner, &koGetPeerOwnerFromProc}) {
    EXPECT_NE(kPeerOwnerFound, lookup(served, &owner, nullptr));
  }
  close(served);
}

}  // namespace
