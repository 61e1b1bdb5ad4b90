#include "core/ksocket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include <gtest/gtest.h>

namespace {

using Clock = std::chrono::steady_clock;

int PortOf(int handle) {
  struct sockaddr_in where;
  socklen_t size = sizeof where;
  if (getsockname(handle, reinterpret_cast<struct sockaddr*>(&where), &size) != 0) return -1;
  return ntohs(where.sin_port);
}

// A plain client connected to 127.0.0.1:port; -1 on failure.
int ConnectTo(int port) {
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

bool IsCloseOnExec(int handle) { return (fcntl(handle, F_GETFD) & FD_CLOEXEC) != 0; }

// A listening koSocket on an ephemeral loopback port.
struct Listener {
  koSocket socket;
  int port = -1;
  Listener() {
    if (socket.Create() != kInvalidSocket && socket.SetReuseAddress() &&
        socket.Listen(0, "127.0.0.1")) {
      port = PortOf(socket.GetHandle());
    }
  }
};

TEST(Socket, HandlesAreCloseOnExec) {
  Listener server;
  ASSERT_GT(server.port, 0);
  EXPECT_TRUE(IsCloseOnExec(server.socket.GetHandle()));

  int client = ConnectTo(server.port);
  ASSERT_GE(client, 0);
  ASSERT_TRUE(server.socket.WaitReadable(5, 0));
  koSocketHandle accepted = kInvalidSocket;
  ASSERT_TRUE(server.socket.Accept(&accepted));
  EXPECT_TRUE(IsCloseOnExec(accepted));
  close(accepted);
  close(client);
}

TEST(Socket, ListenFailsOnBadAddressTakenPortAndFailedListen) {
  koSocket bad;
  ASSERT_NE(kInvalidSocket, bad.Create());
  EXPECT_EQ(0, bad.Listen(0, "256.0.0.1"));
  EXPECT_EQ(0, bad.Listen(70000, "127.0.0.1"));

  // Address reuse never lets a second socket listen on a port in use.
  Listener first;
  ASSERT_GT(first.port, 0);
  koSocket second;
  ASSERT_NE(kInvalidSocket, second.Create());
  ASSERT_EQ(1, second.SetReuseAddress());
  EXPECT_EQ(0, second.Listen(first.port, "127.0.0.1"));
  first.socket.Close();
  EXPECT_EQ(1, second.Listen(first.port, "127.0.0.1"));

  // Bind succeeds but listen cannot: the open must fail, not look like success.
  koSocket datagram;
  datagram.Attach(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  EXPECT_EQ(0, datagram.Listen(0, "127.0.0.1"));
}

TEST(Socket, ReuseAddressRebindsWhileOldConnectionLingers) {
  int port;
  {
    Listener server;
    ASSERT_GT(server.port, 0);
    port = server.port;
    int client = ConnectTo(port);
    ASSERT_GE(client, 0);
    ASSERT_TRUE(server.socket.WaitReadable(5, 0));
    koSocketHandle accepted;
    ASSERT_TRUE(server.socket.Accept(&accepted));
    koSocket served;
    served.Attach(accepted);
    served.Close();  // the server closes first, so its side lingers
    char byte;
    EXPECT_EQ(0, recv(client, &byte, 1, 0));
    close(client);
  }
  koSocket plain;
  ASSERT_NE(kInvalidSocket, plain.Create());
  EXPECT_EQ(0, plain.Listen(port, "127.0.0.1"));

  koSocket restarted;
  ASSERT_NE(kInvalidSocket, restarted.Create());
  ASSERT_EQ(1, restarted.SetReuseAddress());
  EXPECT_EQ(1, restarted.Listen(port, "127.0.0.1"));
}

TEST(Socket, WaitReadableTimesOutThenSeesAClient) {
  Listener server;
  ASSERT_GT(server.port, 0);
  Clock::time_point start = Clock::now();
  EXPECT_FALSE(server.socket.WaitReadable(0, 150000));
  auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  EXPECT_GE(waited.count(), 140);
  EXPECT_LT(waited.count(), 2000);

  int client = ConnectTo(server.port);
  ASSERT_GE(client, 0);
  EXPECT_TRUE(server.socket.WaitReadable(5, 0));
  koSocketHandle accepted;
  EXPECT_TRUE(server.socket.Accept(&accepted));
  close(accepted);
  close(client);
}

TEST(Socket, SendRecvAndPeerGone) {
  // The test process keeps the default SIGPIPE action: a send without
  // MSG_NOSIGNAL to the vanished peer below would end it.
  struct sigaction current;
  ASSERT_EQ(0, sigaction(SIGPIPE, nullptr, &current));
  ASSERT_EQ(SIG_DFL, current.sa_handler);

  Listener server;
  ASSERT_GT(server.port, 0);
  int client = ConnectTo(server.port);
  ASSERT_GE(client, 0);
  ASSERT_TRUE(server.socket.WaitReadable(5, 0));
  koSocketHandle accepted;
  ASSERT_TRUE(server.socket.Accept(&accepted));
  koSocket peer;
  peer.Attach(accepted);

  ASSERT_EQ(5, send(client, "hello", 5, 0));
  ASSERT_TRUE(peer.WaitReadable(5, 0));
  EXPECT_EQ(5, peer.BytesAvailable());
  char buffer[16];
  EXPECT_EQ(5, peer.Recv(buffer, sizeof buffer));
  EXPECT_EQ(0, peer.BytesAvailable());
  EXPECT_EQ(3, peer.Send("abc", 3));
  EXPECT_EQ(3, recv(client, buffer, sizeof buffer, 0));

  // Unread data makes the client's close a reset.
  ASSERT_EQ(3, peer.Send("xyz", 3));
  usleep(50000);
  close(client);
  usleep(50000);
  // The first failure may be the reset; the ones after it are broken pipes.
  int failures = 0;
  for (int i = 0; i < 100 && failures < 3; ++i) {
    if (peer.Send("more", 4) < 0) ++failures;
  }
  EXPECT_EQ(3, failures);
  EXPECT_LE(peer.Recv(buffer, sizeof buffer), 0);

  EXPECT_EQ(1, peer.Close());
  EXPECT_EQ(kInvalidSocket, peer.GetHandle());
  EXPECT_EQ(1, peer.Close());
  EXPECT_EQ(0, peer.BytesAvailable());
}

TEST(SocketDeathTest, IgnoreSigPipeTurnsTheSignalIntoAnError) {
  EXPECT_EXIT(
      {
        int ends[2];
        if (pipe(ends) != 0) _exit(3);
        close(ends[0]);
        if (koIgnoreSigPipe() != 1) _exit(4);
        _exit(write(ends[1], "x", 1) == -1 && errno == EPIPE ? 0 : 5);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
