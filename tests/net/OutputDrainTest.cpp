// Closing connections with their queued output delivered, while a drain lives.
#include <gtest/gtest.h>

#include <string>

#include "net/OutputDrain.h"
#include "net/ServerSocket.h"
#include "tests/net/FillUntilQueued.h"
#include "tests/support/TcpClient.h"

namespace kov {
namespace {

class OutputDrainTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server.SetPort(FreeTcpPort());
    server.OnClientDisconnect = [this](TServerWinSocket&, TCustomWinSocket& socket) {
      ++disconnects;
      socket.SendString("BYE");  // the last word, queued behind everything else
    };
    server.SetActive(true);
  }

  // The server's side of the peer's connection, with its output backed up in the queue and
  // input from the peer that it never reads.
  TCustomWinSocket& Connect(TcpClient& peer, int64_t& sent) {
    EXPECT_TRUE(loop.RunUntil([&] { return server.Socket().ConnectionCount() == 1; }));
    TCustomWinSocket& c = server.Socket().ConnectionAt(0);
    c.SetReadPaused(true);
    peer.Send("unread input");
    sent = FillUntilQueued(c);
    EXPECT_GT(c.OutputQueued(), 0);
    return c;
  }

  // Manual clock: the drain's deadline passes only when a test moves time.
  EventLoop loop{EventLoop::Clock::Manual};
  TServerSocket server{loop};
  int disconnects = 0;
};

TEST_F(OutputDrainTest, DeliversEveryQueuedByteAndTheLastWordThenClosesInOrder) {
  TcpClient peer(loop, server.Port());
  int64_t sent = 0;
  TCustomWinSocket& c = Connect(peer, sent);
  TOutputDrain drain(loop, 1000);
  EXPECT_EQ(TOutputDrain::For(loop), &drain);

  c.CloseNamed(c.NativeHandle());
  EXPECT_EQ(disconnects, 1);
  EXPECT_FALSE(c.IsOpen());
  EXPECT_FALSE(drain.Idle()) << "the peer has not read yet";

  // Unread input at the close would have reset the connection; the peer gets everything and
  // an orderly end instead.
  std::string received;
  ASSERT_TRUE(peer.WaitClosed(5000, &received));
  EXPECT_FALSE(peer.WasReset());
  EXPECT_EQ(received.size(), static_cast<size_t>(sent) + 3);
  EXPECT_EQ(received, std::string(static_cast<size_t>(sent), 'w') + "BYE");
  EXPECT_EQ(server.Socket().ConnectionCount(), 0);
  // The socket stays open until the peer has ended its side too, so that no input arriving
  // late can reset the connection while bytes are still on their way.
  peer.Send("more input");
  loop.RunUntil([] { return false; }, 50);
  EXPECT_FALSE(drain.Idle());
  peer.Close();
  EXPECT_TRUE(loop.RunUntil([&] { return drain.Idle(); }));
}

TEST_F(OutputDrainTest, DeadlineEndsWhatThePeerDoesNotTakeAndCloseDropsAgainAfterwards) {
  TcpClient peer(loop, server.Port());
  int64_t sent = 0;
  Connect(peer, sent);
  {
    TOutputDrain drain(loop, 1000);
    server.SetActive(false);  // a server going away hands its connections over as well
    EXPECT_EQ(disconnects, 0);
    EXPECT_FALSE(drain.Idle());
    loop.AdvanceMs(999);
    EXPECT_FALSE(drain.Idle()) << "the peer does not read";
    loop.AdvanceMs(1);
    EXPECT_TRUE(drain.Idle());
    // The socket is closed: the peer finds the end of the stream after what had arrived.
    std::string received;
    ASSERT_TRUE(peer.WaitClosed(5000, &received));
    EXPECT_FALSE(peer.WasReset());
    EXPECT_LT(received.size(), static_cast<size_t>(sent));
  }
  EXPECT_EQ(TOutputDrain::For(loop), nullptr);

  // Without a drain, a close offers the queue once and drops the rest.
  server.SetActive(true);
  TcpClient second(loop, server.Port());
  TCustomWinSocket& d = Connect(second, sent);
  d.CloseNamed(d.NativeHandle());
  std::string received;
  second.WaitClosed(5000, &received);
  EXPECT_LT(received.size(), static_cast<size_t>(sent) + 3);
}

}  // namespace
}  // namespace kov
