// Output queueing, holding back and read pausing on server connections.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <memory>
#include <string>
#include <vector>

#include "net/ServerSocket.h"
#include "tests/net/FillUntilQueued.h"
#include "tests/support/TcpClient.h"

namespace kov {
namespace {

class FlowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    loop.SetErrorHandler([this](const std::string& m) { errors.push_back(m); });
    server.SetPort(FreeTcpPort());
    server.OnClientWrite = [this](TServerWinSocket&, TCustomWinSocket&) { ++writes; };
    server.OnClientDisconnect = [this](TServerWinSocket&, TCustomWinSocket&) { ++disconnects; };
    server.SetActive(true);
  }

  // Connects a peer and returns the server's side of the connection.
  TCustomWinSocket& Connect(TcpClient& peer) {
    int before = server.Socket().ConnectionCount();
    EXPECT_TRUE(loop.RunUntil([&] { return server.Socket().ConnectionCount() > before; }));
    (void)peer;
    return server.Socket().ConnectionAt(before);
  }

  static std::string Pattern(size_t offset, size_t len) {
    std::string s(len, '\0');
    for (size_t i = 0; i < len; ++i) s[i] = static_cast<char>((offset + i) * 131 % 251);
    return s;
  }

  EventLoop loop;
  TServerSocket server{loop};
  std::vector<std::string> errors;
  int writes = 0;
  int disconnects = 0;
};

TEST_F(FlowTest, SlowReaderReceivesEveryByteOfALargeBurstInOrder) {
  TcpClient peer(loop, server.Port());
  TCustomWinSocket& c = Connect(peer);
  // Small kernel buffers on both sides, so the burst has to wait in the queue.
  int small = 32 * 1024;
  setsockopt(c.NativeHandle(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  setsockopt(peer.Fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  const size_t total = 4 << 20;
  const size_t piece = 64 * 1024;
  std::string received;
  // The reader takes at most 16 KiB per turn of the loop.
  auto readSome = [&] { received += peer.ReadNow(16 * 1024); };
  bool everQueued = false;
  for (size_t sent = 0; sent < total; sent += piece) {
    // Hold back while the queue would pass the bound: the sender's duty.
    ASSERT_TRUE(loop.RunUntil([&] {
      readSome();
      return c.OutputQueued() + piece <= static_cast<size_t>(TCustomWinSocket::kOutputQueueLimit);
    }));
    ASSERT_EQ(c.SendBuf(Pattern(sent, piece).data(), piece), static_cast<int32_t>(piece));
    everQueued = everQueued || c.OutputQueued() > 0;
  }
  ASSERT_TRUE(loop.RunUntil([&] {
    readSome();
    return received.size() >= total;
  }));
  ASSERT_EQ(received.size(), total);
  EXPECT_TRUE(received == Pattern(0, total)) << "bytes lost or reordered";
  EXPECT_TRUE(everQueued);
  EXPECT_EQ(c.OutputQueued(), 0);
  EXPECT_GE(writes, 1);  // the drained queue was announced
  EXPECT_EQ(disconnects, 0);
  EXPECT_TRUE(errors.empty());
}

TEST_F(FlowTest, WriteEventFiresOnceWhenTheQueueDrains) {
  TcpClient peer(loop, server.Port());
  TCustomWinSocket& c = Connect(peer);
  EXPECT_EQ(c.SendString("direct"), 6);
  loop.RunUntil([] { return false; }, 20);
  EXPECT_EQ(writes, 0);  // nothing was queued

  int64_t sent = 6 + FillUntilQueued(c);
  EXPECT_GT(c.OutputQueued(), 0);
  std::string received;
  ASSERT_TRUE(loop.RunUntil([&] {
    received += peer.ReadNow();
    return writes > 0;
  }));
  EXPECT_EQ(c.OutputQueued(), 0);
  received += peer.ReadExactly(static_cast<size_t>(sent) - received.size());
  EXPECT_EQ(received.size(), static_cast<size_t>(sent));
  EXPECT_EQ(received.substr(0, 6), "direct");
  loop.RunUntil([] { return false; }, 20);
  EXPECT_EQ(writes, 1);
}

TEST_F(FlowTest, PassingTheQueueBoundClosesTheConnectionAsAFailedSend) {
  std::vector<std::string> events;
  server.OnClientError = [&](TServerWinSocket&, TCustomWinSocket& socket, TErrorEvent kind,
                             int32_t& code) {
    events.push_back("Error " + std::to_string(kind) + " " + std::to_string(code) + " " +
                     std::to_string(socket.IsOpen()));
    code = 0;
  };
  server.OnClientDisconnect = [&](TServerWinSocket&, TCustomWinSocket&) {
    events.push_back("Disconnect");
  };
  TcpClient peer(loop, server.Port());
  TCustomWinSocket& c = Connect(peer);  // the peer never reads
  FillUntilQueued(c);
  const std::string piece(64 * 1024, 'x');
  int32_t result = 0;
  for (int i = 0; i < 64 && result >= 0; ++i) result = c.SendString(piece);
  EXPECT_EQ(result, -1);
  EXPECT_EQ(events, (std::vector<std::string>{"Error 1 10105 1", "Disconnect"}));
  EXPECT_FALSE(c.IsOpen());
  EXPECT_EQ(c.OutputQueued(), 0);
  EXPECT_EQ(c.SendString(piece), 0);
}

TEST_F(FlowTest, PassingTheQueueBoundWithTheCodeLeftRaisesTheSendError) {
  TcpClient peer(loop, server.Port());
  TCustomWinSocket& c = Connect(peer);
  FillUntilQueued(c);
  const std::string piece(64 * 1024, 'x');
  try {
    for (int i = 0; i < 64; ++i) c.SendString(piece);
    FAIL() << "no error";
  } catch (const ESocketError& e) {
    EXPECT_STREQ(e.what(),
                 "Windows socket error: No buffer space available (10105), on API 'send'");
  }
  EXPECT_FALSE(c.IsOpen());
  EXPECT_EQ(disconnects, 1);
}

TEST_F(FlowTest, ClosingWithQueuedBytesOffersThemBeforeTheClose) {
  TcpClient peer(loop, server.Port());
  TCustomWinSocket& c = Connect(peer);
  int64_t sent = FillUntilQueued(c);
  int32_t queued = c.OutputQueued();
  ASSERT_GT(queued, 0);
  // The reader empties the kernel's buffers while the loop does not run: there is room again,
  // but only the close can use it.
  std::string received;
  for (int i = 0; i < 50 && received.size() < static_cast<size_t>(sent - queued); ++i) {
    received += peer.ReadNow();
  }
  c.CloseNamed(c.NativeHandle());
  std::string rest;
  ASSERT_TRUE(peer.WaitClosed(5000, &rest));
  received += rest;
  EXPECT_GT(received.size(), static_cast<size_t>(sent - queued));
  EXPECT_EQ(received, std::string(received.size(), 'w'));
}

TEST_F(FlowTest, PausedReadsLeaveBytesInTheSocketUntilResumed) {
  std::string received;
  int reads = 0;
  server.OnClientRead = [&](TServerWinSocket&, TCustomWinSocket& socket) {
    ++reads;
    received += socket.ReadPending();
  };
  TcpClient peer(loop, server.Port());
  TCustomWinSocket& c = Connect(peer);
  c.SetReadPaused(true);
  EXPECT_TRUE(c.ReadPaused());
  peer.Send("held");
  loop.RunUntil([&] { return c.BytesPending() == 4; });
  loop.RunUntil([] { return false; }, 30);
  EXPECT_EQ(reads, 0);
  EXPECT_EQ(c.BytesPending(), 4);

  c.SetReadPaused(false);
  ASSERT_TRUE(loop.RunUntil([&] { return received == "held"; }));
  EXPECT_EQ(reads, 1);
}

TEST_F(FlowTest, ReceiveBufTakesAtMostWhatIsAskedAndTheRestFiresAgain) {
  std::vector<std::string> chunks;
  server.OnClientRead = [&](TServerWinSocket&, TCustomWinSocket& socket) {
    char buf[3];
    int32_t n = socket.ReceiveBuf(buf, sizeof buf);
    chunks.emplace_back(buf, static_cast<size_t>(n));
  };
  TcpClient peer(loop, server.Port());
  TCustomWinSocket& c = Connect(peer);
  peer.Send("abcdefg");
  ASSERT_TRUE(loop.RunUntil([&] { return chunks.size() == 3; }));
  EXPECT_EQ(chunks, (std::vector<std::string>{"abc", "def", "g"}));
  char buf[8];
  EXPECT_EQ(c.ReceiveBuf(buf, sizeof buf), 0);  // nothing left
}

TEST_F(FlowTest, LastBytesArrivingWithTheCloseAreAllReadBeforeTheDisconnect) {
  std::vector<std::string> events;
  server.OnClientRead = [&](TServerWinSocket&, TCustomWinSocket& socket) {
    char buf[2];
    int32_t n = socket.ReceiveBuf(buf, sizeof buf);
    events.emplace_back(buf, static_cast<size_t>(n));
  };
  server.OnClientDisconnect = [&](TServerWinSocket&, TCustomWinSocket&) {
    events.emplace_back("<close>");
  };
  TcpClient peer(loop, server.Port());
  TCustomWinSocket& c = Connect(peer);
  // Held back until the end has arrived too, so both are seen in the same readiness.
  c.SetReadPaused(true);
  peer.Send("tail!");
  shutdown(peer.Fd(), SHUT_WR);
  loop.RunUntil([] { return false; }, 20);
  c.SetReadPaused(false);
  ASSERT_TRUE(loop.RunUntil([&] { return !events.empty() && events.back() == "<close>"; }));
  EXPECT_EQ(events, (std::vector<std::string>{"ta", "il", "!", "<close>"}));
}

TEST_F(FlowTest, NoDelaySetsTheSocketOption) {
  TcpClient peer(loop, server.Port());
  TCustomWinSocket& c = Connect(peer);
  auto option = [&] {
    int value = -1;
    socklen_t len = sizeof value;
    getsockopt(c.NativeHandle(), IPPROTO_TCP, TCP_NODELAY, &value, &len);
    return value;
  };
  EXPECT_EQ(option(), 0);
  c.SetNoDelay(true);
  EXPECT_NE(option(), 0);
  c.SetNoDelay(false);
  EXPECT_EQ(option(), 0);
}

TEST_F(FlowTest, KeepAliveSetsItsThreeTimingsOrTurnsItOff) {
  TcpClient peer(loop, server.Port());
  TCustomWinSocket& c = Connect(peer);
  auto option = [&](int level, int name) {
    int value = -1;
    socklen_t len = sizeof value;
    getsockopt(c.NativeHandle(), level, name, &value, &len);
    return value;
  };
  EXPECT_EQ(option(SOL_SOCKET, SO_KEEPALIVE), 0);
  c.SetKeepAlive(5);
  EXPECT_NE(option(SOL_SOCKET, SO_KEEPALIVE), 0);
  EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPIDLE), 5);
  EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPINTVL), 10);
  EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPCNT), 3);
  c.SetKeepAlive(0);
  EXPECT_EQ(option(SOL_SOCKET, SO_KEEPALIVE), 0);
}

}  // namespace
}  // namespace kov
