#include "platform/desktop/sessionguard.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <cerrno>
#include <thread>

#include "support/loopback.h"

namespace {

using Lookup = koPeerOwnerResult (*)(int, uid_t*, int*);

// The lookup by the addresses that accept gave, as the web server asks it.
koPeerOwnerResult ByAddresses(int handle, uid_t* uid, int* error) {
  struct sockaddr_storage local = {}, peer = {};
  socklen_t a = sizeof local, b = sizeof peer;
  if (getsockname(handle, reinterpret_cast<struct sockaddr*>(&local), &a) != 0 ||
      getpeername(handle, reinterpret_cast<struct sockaddr*>(&peer), &b) != 0) {
    return kPeerOwnerNoAddress;
  }
  return koGetPeerOwnerOf(local, peer, uid, error);
}

const Lookup kLookups[] = {&koGetPeerOwner, &koGetPeerOwnerFromProc, &ByAddresses};

int OpenHandles() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (struct dirent* entry = dir != nullptr ? readdir(dir) : nullptr) count += entry->d_name[0] != '.';
  if (dir != nullptr) closedir(dir);
  return count;
}

// A dual-stack client reaching the IPv4 listener through ::ffff:127.0.0.1.
int ConnectMapped(int port) {
  int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in6 where = {};
  where.sin6_family = AF_INET6;
  where.sin6_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET6, "::ffff:127.0.0.1", &where.sin6_addr);
  if (fd >= 0 && connect(fd, reinterpret_cast<struct sockaddr*>(&where), sizeof where) == 0) return fd;
  if (fd >= 0) close(fd);
  return -1;
}

class PeerOwner : public ::testing::Test {
 protected:
  void SetUp() override {
    listener_ = pvtest::BindLoopback(0, 16);
    ASSERT_GE(listener_, 0);
    port_ = pvtest::LocalPort(listener_);
  }
  void TearDown() override { close(listener_); }
  // Both ends of a connection the client made; `served` is the server's.
  void Pair(int client, int* served) {
    ASSERT_GE(client, 0);
    *served = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(*served, 0);
  }
  // Who both lookups say owns the client of `served` (-1: not found).
  void ExpectOwner(int served, int expected) {
    for (Lookup lookup : kLookups) {
      uid_t owner = 12345;
      int error = -1;
      koPeerOwnerResult result = lookup(served, &owner, &error);
      if (expected < 0) {
        EXPECT_NE(kPeerOwnerFound, result);
        continue;
      }
      EXPECT_EQ(kPeerOwnerFound, result);
      EXPECT_EQ(static_cast<uid_t>(expected), owner);
    }
  }
  int listener_ = -1;
  int port_ = 0;
};

TEST_F(PeerOwner, ClientsOfThisUserOverIpv4AndMappedIpv6AreFound) {
  int client = pvtest::ConnectLoopback(port_), served = -1;
  Pair(client, &served);
  ExpectOwner(served, static_cast<int>(geteuid()));
  close(client);
  close(served);

  client = ConnectMapped(port_);
  if (client < 0) GTEST_SKIP() << "no IPv6 sockets here";
  Pair(client, &served);
  ExpectOwner(served, static_cast<int>(geteuid()));
  close(client);
  close(served);
}

TEST_F(PeerOwner, ClientOfAnotherUserIsThatUser) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  int client = pvtest::ConnectAsNobody(port_), served = -1;
  Pair(client, &served);
  ExpectOwner(served, 65534);
  close(client);
  close(served);
}

TEST_F(PeerOwner, AClientThatIsGoneIsNotFound) {
  int client = pvtest::ConnectLoopback(port_), served = -1;
  Pair(client, &served);
  // A reset removes the client's socket at once; a close would leave it in
  // TIME_WAIT only once ours closes.
  struct linger hard = {1, 0};
  setsockopt(client, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  close(client);
  ExpectOwner(served, -1);
  close(served);
}

// Each thread asks through one socket of its own, however often, and the
// socket goes with the thread; one made ahead and handed over is used
// instead of a new one.
TEST_F(PeerOwner, EachThreadKeepsOneLookupSocketUntilItEnds) {
  int client = pvtest::ConnectLoopback(port_), served = -1;
  Pair(client, &served);
  for (bool handedOver : {false, true}) {
    const int before = OpenHandles();
    int during = -1, found = 0;
    std::thread asker([&] {
      if (handedOver) koAdoptPeerOwnerSocket(koOpenPeerOwnerSocket());
      for (int i = 0; i < 200; ++i) {
        uid_t owner = 12345;
        found += ByAddresses(served, &owner, nullptr) == kPeerOwnerFound && owner == geteuid();
      }
      during = OpenHandles();
    });
    asker.join();
    EXPECT_EQ(200, found) << handedOver;
    EXPECT_EQ(before + 1, during) << handedOver;
    EXPECT_EQ(before, OpenHandles()) << handedOver;
  }
  close(client);
  close(served);
}

TEST(PeerOwnerAddress, HandlesWithoutAnIpPeerHaveNoAddress) {
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

}  // namespace
