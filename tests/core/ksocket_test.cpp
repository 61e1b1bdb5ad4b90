#include "core/ksocket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/loopback.h"

namespace {

using Clock = std::chrono::steady_clock;

bool IsCloseOnExec(int handle) { return (fcntl(handle, F_GETFD) & FD_CLOEXEC) != 0; }

// A listening koSocket on an ephemeral loopback port.
struct Listener {
  koSocket socket;
  int port = -1;
  Listener() {
    if (socket.Create() != kInvalidSocket && socket.SetReuseAddress() &&
        socket.Listen(0, "127.0.0.1")) {
      port = pvtest::LocalPort(socket.GetHandle());
    }
  }
  // Connects a plain client (*client) and accepts it into peer.
  bool Pair(int* client, koSocket* peer) {
    koSocketHandle accepted = kInvalidSocket;
    *client = pvtest::ConnectLoopback(port);
    if (*client < 0 || !socket.WaitReadable(5, 0) || !socket.Accept(&accepted)) return false;
    peer->Attach(accepted);
    return true;
  }
};

TEST(Socket, WaitsAcceptsAndKeepsHandlesFromChildren) {
  Listener server;
  ASSERT_GT(server.port, 0);
  EXPECT_TRUE(IsCloseOnExec(server.socket.GetHandle()));
  Clock::time_point start = Clock::now();
  EXPECT_FALSE(server.socket.WaitReadable(0, 150000));
  auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  EXPECT_GE(waited.count(), 140);
  EXPECT_LT(waited.count(), 2000);

  int client;
  koSocket peer;
  ASSERT_TRUE(server.Pair(&client, &peer));
  EXPECT_TRUE(IsCloseOnExec(peer.GetHandle()));
  close(client);
}

TEST(Socket, ListenFailsOnBadAddressTakenPortAndFailedListen) {
  koSocket bad;
  ASSERT_NE(kInvalidSocket, bad.Create());
  EXPECT_EQ(0, bad.Listen(0, "256.0.0.1"));
  EXPECT_EQ(0, bad.Listen(70000, "127.0.0.1"));

  // Address reuse never lets a second socket listen on a port in use, but
  // does let a restarted server take its port while an old connection lingers.
  Listener first;
  int client;
  koSocket served;
  ASSERT_TRUE(first.Pair(&client, &served));
  koSocket second;
  ASSERT_NE(kInvalidSocket, second.Create());
  ASSERT_EQ(1, second.SetReuseAddress());
  EXPECT_EQ(0, second.Listen(first.port, "127.0.0.1"));
  served.Close();  // the server closes first, so its side lingers
  first.socket.Close();
  char byte;
  EXPECT_EQ(0, recv(client, &byte, 1, 0));
  close(client);
  EXPECT_EQ(1, second.Listen(first.port, "127.0.0.1"));

  // Bind succeeds but listen cannot: the open must fail, not look like success.
  koSocket datagram;
  datagram.Attach(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  EXPECT_EQ(0, datagram.Listen(0, "127.0.0.1"));
}

// Pieces written through a send buffer far smaller than they are: every
// write takes part of them, and what is left must go on from the right byte.
TEST(Socket, PiecesArriveWholeAndInOrderWhateverEachWriteTakes) {
  const std::vector<std::vector<size_t>> kLayouts = {
      {5},
      {0, 3, 0, 7},
      {1, 300000, 1},
      std::vector<size_t>(koSocket::kMaxPieces, 100000),
  };
  for (const std::vector<size_t>& layout : kLayouts) {
    std::vector<std::string> texts;
    std::string expected;
    for (size_t i = 0; i < layout.size(); ++i) {
      std::string text(layout[i], '\0');
      for (size_t k = 0; k < text.size(); ++k) text[k] = static_cast<char>('a' + (k * 7 + i) % 26);
      texts.push_back(text);
      expected += text;
    }
    std::vector<struct iovec> pieces;
    for (std::string& text : texts) pieces.push_back({text.data(), text.size()});

    int ends[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends));
    int small = 4096;
    setsockopt(ends[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    std::string received;
    std::thread reader([&] { received = pvtest::ReadToEnd(ends[1]); });
    koSocket sender;
    sender.Attach(ends[0]);
    EXPECT_EQ(1, sender.SendPieces(pieces.data(), static_cast<int>(pieces.size())));
    // More pieces than a write takes are refused, nothing sent.
    struct iovec many[koSocket::kMaxPieces + 1] = {};
    EXPECT_EQ(0, sender.SendPieces(many, koSocket::kMaxPieces + 1));
    sender.Close();
    reader.join();
    close(ends[1]);
    EXPECT_EQ(expected, received) << expected.size();
  }
}

}  // namespace
