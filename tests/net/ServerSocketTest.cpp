// The server socket component against clients of the test: accepting, closing by handle, reads,
// errors, nested closes, and destruction inside every event.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "net/ServerSocket.h"
#include "tests/net/FillUntilQueued.h"
#include "tests/support/TcpClient.h"

namespace kov {
namespace {

class ServerSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    loop.SetErrorHandler([this](const std::string& m) { errors.push_back(m); });
    port = FreeTcpPort();
    server = std::make_unique<TServerSocket>(loop);
    server->SetPort(port);
  }

  int Count() { return server->Socket().ConnectionCount(); }
  bool WaitCount(int n) {
    return loop.RunUntil([&] { return Count() == n; });
  }
  void Log(const std::string& e) { events.push_back(e); }

  EventLoop loop;
  std::vector<std::string> errors;
  std::vector<std::string> events;
  int port = 0;
  std::unique_ptr<TServerSocket> server;
};

TEST_F(ServerSocketTest, AcceptsInOrderWithCountsAtEachEvent) {
  TServerWinSocket* endpoint = &server->Socket();
  server->OnListen = [&](TServerSocket& s, TServerWinSocket& socket) {
    EXPECT_EQ(&s, server.get());
    EXPECT_EQ(&socket, endpoint);
    EXPECT_TRUE(s.Active());
    Log("Listen");
  };
  server->OnGetSocket = [&](TServerWinSocket& sender, int32_t handle) {
    EXPECT_EQ(&sender, endpoint);
    EXPECT_GE(handle, 0);
    Log("GetSocket " + std::to_string(sender.ConnectionCount()));
  };
  server->OnClientConnect = [&](TServerWinSocket& sender, TCustomWinSocket& socket) {
    int n = sender.ConnectionCount();
    EXPECT_EQ(&sender.ConnectionAt(n - 1), &socket);
    EXPECT_TRUE(socket.IsOpen());
    EXPECT_EQ(socket.PeerAddress(), "127.0.0.1");
    Log("ClientConnect " + std::to_string(n));
  };
  server->OnAccept = [&](TServerSocket& s, TCustomWinSocket& socket) {
    EXPECT_EQ(&s, server.get());
    Log("Accept " + std::to_string(socket.NativeHandle() >= 0));
  };
  server->SetActive(true);
  EXPECT_TRUE(server->Active());
  EXPECT_TRUE(endpoint->IsOpen());

  TcpClient first(loop, port);
  ASSERT_TRUE(WaitCount(1));
  TcpClient second(loop, port);
  ASSERT_TRUE(WaitCount(2));
  EXPECT_EQ(events,
            (std::vector<std::string>{"Listen", "GetSocket 0", "ClientConnect 1", "Accept 1",
                                      "GetSocket 1", "ClientConnect 2", "Accept 1"}));
  EXPECT_NE(server->Socket().ConnectionAt(0).NativeHandle(),
            server->Socket().ConnectionAt(1).NativeHandle());
}

TEST_F(ServerSocketTest, ConnectionAtOutsideTheListRaisesTheListError) {
  server->SetActive(true);
  TcpClient peer(loop, port);
  ASSERT_TRUE(WaitCount(1));
  try {
    server->Socket().ConnectionAt(1);
    FAIL() << "no error";
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ(e.what(), "List index out of bounds (1)");
  }
  EXPECT_THROW(server->Socket().ConnectionAt(-1), std::out_of_range);
}

TEST_F(ServerSocketTest, CloseNamedClosesOnlyWithTheConnectionsOwnHandle) {
  server->OnClientDisconnect = [&](TServerWinSocket& sender, TCustomWinSocket& socket) {
    // Still counted, still open: a last word can still be sent.
    EXPECT_EQ(sender.ConnectionCount(), 2);
    EXPECT_TRUE(socket.IsOpen());
    EXPECT_GT(socket.SendString("bye"), 0);
    Log("Disconnect");
  };
  server->SetActive(true);
  TcpClient first(loop, port);
  ASSERT_TRUE(WaitCount(1));
  TcpClient second(loop, port);
  ASSERT_TRUE(WaitCount(2));
  TServerClientWinSocket& c0 = server->Socket().ConnectionAt(0);
  TServerClientWinSocket& c1 = server->Socket().ConnectionAt(1);

  c0.CloseNamed(c1.NativeHandle());
  c0.CloseNamed(-1);
  EXPECT_TRUE(events.empty());
  EXPECT_TRUE(c0.IsOpen());
  EXPECT_TRUE(c1.IsOpen());

  c0.CloseNamed(c0.NativeHandle());
  EXPECT_EQ(events, std::vector<std::string>{"Disconnect"});
  EXPECT_FALSE(c0.IsOpen());
  EXPECT_EQ(c0.NativeHandle(), -1);
  EXPECT_EQ(c0.PeerAddress(), "");
  // The closed connection stays listed until its removal has run.
  EXPECT_EQ(Count(), 2);
  EXPECT_EQ(&server->Socket().ConnectionAt(0), &c0);
  loop.RunOnce(0);
  EXPECT_EQ(Count(), 1);
  EXPECT_EQ(&server->Socket().ConnectionAt(0), &c1);

  std::string rest;
  EXPECT_TRUE(first.WaitClosed(5000, &rest));
  EXPECT_EQ(rest, "bye");
}

TEST_F(ServerSocketTest, PeerCloseFiresDisconnectThenDropsTheCount) {
  int countInDisconnect = -1;
  server->OnClientDisconnect = [&](TServerWinSocket& sender, TCustomWinSocket&) {
    countInDisconnect = sender.ConnectionCount();
  };
  server->SetActive(true);
  TcpClient peer(loop, port);
  ASSERT_TRUE(WaitCount(1));
  peer.Close();
  ASSERT_TRUE(loop.RunUntil([&] { return countInDisconnect >= 0; }));
  EXPECT_EQ(countInDisconnect, 1);
  ASSERT_TRUE(WaitCount(0));
  EXPECT_TRUE(errors.empty());
}

TEST_F(ServerSocketTest, ReadsBytesIncludingZeros) {
  std::string received;
  server->OnClientRead = [&](TServerWinSocket&, TCustomWinSocket& socket) {
    EXPECT_GT(socket.BytesPending(), 0);
    received += socket.ReadPending();
    EXPECT_EQ(socket.ReadPending(), "");  // nothing left
  };
  server->SetActive(true);
  TcpClient peer(loop, port);
  const std::string bytes("a\0b\0\0c", 6);
  peer.Send(bytes);
  ASSERT_TRUE(loop.RunUntil([&] { return received.size() >= bytes.size(); }));
  EXPECT_EQ(received, bytes);
}

TEST_F(ServerSocketTest, StoppingDropsEveryConnectionWithoutEvents) {
  server->OnClientDisconnect = [&](TServerWinSocket&, TCustomWinSocket&) { Log("Disconnect"); };
  server->OnClientError = [&](TServerWinSocket&, TCustomWinSocket&, TErrorEvent, int32_t& code) {
    code = 0;
    Log("Error");
  };
  server->SetActive(true);
  TcpClient first(loop, port);
  TcpClient second(loop, port);
  ASSERT_TRUE(WaitCount(2));
  server->SetActive(false);
  EXPECT_FALSE(server->Active());
  EXPECT_FALSE(server->Socket().IsOpen());
  EXPECT_EQ(server->Socket().NativeHandle(), -1);
  EXPECT_EQ(Count(), 0);
  EXPECT_TRUE(first.WaitClosed());
  EXPECT_TRUE(second.WaitClosed());
  EXPECT_TRUE(events.empty());

  // The port can be listened on again at once.
  server->SetActive(true);
  TcpClient third(loop, port);
  EXPECT_TRUE(WaitCount(1));
}

TEST_F(ServerSocketTest, ABurstOfClientsIsTakenByTheBacklogBeforeAnyAccept) {
  server->SetActive(true);
  // The loop does not run: every connection has to wait in the listener's backlog. A short
  // backlog would drop the later handshakes, which are retried only seconds later.
  constexpr int kBurst = 100;
  std::vector<int> fds;
  for (int i = 0; i < kBurst; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    fds.push_back(fd);
  }
  std::vector<pollfd> polls;
  for (int fd : fds) polls.push_back(pollfd{fd, POLLOUT, 0});
  int established = 0;
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (established < kBurst && std::chrono::steady_clock::now() < end) {
    poll(polls.data(), polls.size(), 50);
    established = 0;
    for (const pollfd& p : polls) {
      int err = -1;
      socklen_t len = sizeof err;
      if ((p.revents & POLLOUT) && getsockopt(p.fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 &&
          err == 0) {
        ++established;
      }
    }
  }
  EXPECT_EQ(established, kBurst);
  EXPECT_TRUE(WaitCount(kBurst));
  for (int fd : fds) close(fd);
}

TEST_F(ServerSocketTest, PortInUseRaisesTheBindErrorAndStaysInactive) {
  TServerSocket holder(loop);
  holder.SetPort(port);
  holder.SetActive(true);
  bool listened = false;
  server->OnListen = [&](TServerSocket&, TServerWinSocket&) { listened = true; };
  try {
    server->SetActive(true);
    FAIL() << "no error";
  } catch (const ESocketError& e) {
    EXPECT_STREQ(e.what(), "Windows socket error: Address already in use (10048), on API 'bind'");
  }
  EXPECT_FALSE(server->Active());
  EXPECT_FALSE(server->Socket().IsOpen());
  EXPECT_FALSE(listened);
  holder.SetActive(false);
  server->SetActive(true);
  EXPECT_TRUE(server->Active());
}

TEST_F(ServerSocketTest, PortOutsideTheTcpRangeIsRefused) {
  server->SetPort(70000);
  try {
    server->SetActive(true);
    FAIL() << "no error";
  } catch (const ESocketError& e) {
    EXPECT_STREQ(e.what(), "Windows socket error: Invalid argument (10022), on API 'bind'");
  }
  EXPECT_FALSE(server->Active());
}

TEST_F(ServerSocketTest, PortWritesWhileActive) {
  server->SetActive(true);
  EXPECT_NO_THROW(server->SetPort(port));
  try {
    server->SetPort(port + 1);
    FAIL() << "no error";
  } catch (const ESocketError& e) {
    EXPECT_STREQ(e.what(), "Can't change value while socket is active");
  }
  EXPECT_EQ(server->Port(), port);
  server->SetActive(false);
  server->SetPort(port + 1);
  EXPECT_EQ(server->Port(), port + 1);
}

TEST_F(ServerSocketTest, ClosedConnectionSendsNothingAndReadsNothing) {
  server->SetActive(true);
  TcpClient peer(loop, port);
  ASSERT_TRUE(WaitCount(1));
  TServerClientWinSocket& c = server->Socket().ConnectionAt(0);
  EXPECT_EQ(c.ReadPending(), "");  // nothing pending on an open connection
  EXPECT_EQ(c.BytesPending(), 0);
  c.CloseNamed(c.NativeHandle());
  EXPECT_EQ(c.SendString("lost"), 0);
  EXPECT_EQ(c.ReadPending(), "");
  EXPECT_EQ(c.BytesPending(), 0);
  char buf[4];
  EXPECT_EQ(c.ReceiveBuf(buf, sizeof buf), 0);
  EXPECT_EQ(c.OutputQueued(), 0);
}

TEST_F(ServerSocketTest, ResetWithTheCodeLeftShowsTheAsynchronousErrorAndKeepsTheConnection) {
  std::vector<int32_t> codes;
  server->OnClientError = [&](TServerWinSocket&, TCustomWinSocket&, TErrorEvent kind,
                              int32_t& code) {
    EXPECT_EQ(kind, eeDisconnect);
    codes.push_back(code);
  };
  server->OnClientDisconnect = [&](TServerWinSocket&, TCustomWinSocket&) { Log("Disconnect"); };
  server->SetActive(true);
  TcpClient peer(loop, port);
  ASSERT_TRUE(WaitCount(1));
  peer.Reset();
  ASSERT_TRUE(loop.RunUntil([&] { return !errors.empty(); }));
  EXPECT_EQ(codes, std::vector<int32_t>{10054});
  EXPECT_EQ(errors, std::vector<std::string>{"Asynchronous socket error 10054"});
  EXPECT_EQ(ErrorBoxText(errors[0]), "Asynchronous socket error 10054.");
  // Closing is the handler's business: the connection stays, and the dead socket does not
  // keep reporting.
  loop.RunUntil([] { return false; }, 50);
  EXPECT_EQ(codes.size(), 1u);
  EXPECT_TRUE(events.empty());
  ASSERT_EQ(Count(), 1);
  TServerClientWinSocket& c = server->Socket().ConnectionAt(0);
  EXPECT_TRUE(c.IsOpen());
  c.CloseNamed(c.NativeHandle());
  EXPECT_EQ(events, std::vector<std::string>{"Disconnect"});
}

TEST_F(ServerSocketTest, ResetWithTheCodeClearedRaisesNothing) {
  server->OnClientError = [&](TServerWinSocket& sender, TCustomWinSocket&, TErrorEvent,
                              int32_t& code) {
    code = 0;
    TServerClientWinSocket& first = sender.ConnectionAt(0);
    first.CloseNamed(first.NativeHandle());
  };
  server->OnClientDisconnect = [&](TServerWinSocket&, TCustomWinSocket&) { Log("Disconnect"); };
  server->SetActive(true);
  TcpClient peer(loop, port);
  ASSERT_TRUE(WaitCount(1));
  peer.Reset();
  ASSERT_TRUE(WaitCount(0));
  EXPECT_EQ(events, std::vector<std::string>{"Disconnect"});
  EXPECT_TRUE(errors.empty());
}

TEST_F(ServerSocketTest, ClosingInsideClientConnectRunsDisconnectNestedAndStillAccepts) {
  server->OnClientConnect = [&](TServerWinSocket&, TCustomWinSocket& socket) {
    Log("Connect begin");
    socket.CloseNamed(socket.NativeHandle());
    Log("Connect end");
  };
  server->OnClientDisconnect = [&](TServerWinSocket& sender, TCustomWinSocket&) {
    Log("Disconnect " + std::to_string(sender.ConnectionCount()));
  };
  server->OnAccept = [&](TServerSocket& s, TCustomWinSocket& socket) {
    Log("Accept " + std::to_string(s.Socket().ConnectionCount()) + " " +
        std::to_string(socket.IsOpen()));
  };
  server->SetActive(true);
  TcpClient peer(loop, port);
  ASSERT_TRUE(loop.RunUntil([&] { return events.size() == 4; }));
  EXPECT_EQ(events, (std::vector<std::string>{"Connect begin", "Disconnect 1", "Connect end",
                                              "Accept 1 0"}));
  EXPECT_TRUE(WaitCount(0));
  EXPECT_TRUE(peer.WaitClosed());
}

TEST_F(ServerSocketTest, ClosingTwiceFromTheDisconnectHandlerClosesOnce) {
  int disconnects = 0;
  server->OnClientDisconnect = [&](TServerWinSocket&, TCustomWinSocket& socket) {
    ++disconnects;
    socket.CloseNamed(socket.NativeHandle());
  };
  server->SetActive(true);
  TcpClient peer(loop, port);
  ASSERT_TRUE(WaitCount(1));
  TServerClientWinSocket& c = server->Socket().ConnectionAt(0);
  c.CloseNamed(c.NativeHandle());
  EXPECT_EQ(disconnects, 1);
  EXPECT_TRUE(WaitCount(0));
}

TEST_F(ServerSocketTest, ReadEventThatReadsNothingWaitsForTheNextRead) {
  int reads = 0;
  server->OnClientRead = [&](TServerWinSocket&, TCustomWinSocket&) { ++reads; };
  server->SetActive(true);
  TcpClient peer(loop, port);
  ASSERT_TRUE(WaitCount(1));
  peer.Send("abc");
  ASSERT_TRUE(loop.RunUntil([&] { return reads > 0; }));
  loop.RunUntil([] { return false; }, 50);
  EXPECT_EQ(reads, 1);  // not once per turn

  TServerClientWinSocket& c = server->Socket().ConnectionAt(0);
  EXPECT_EQ(c.ReadPending(), "abc");
  peer.Send("d");
  ASSERT_TRUE(loop.RunUntil([&] { return reads == 2; }));
}

TEST_F(ServerSocketTest, StoppingTheServerInsideClientRead) {
  int reads = 0;
  server->OnClientRead = [&](TServerWinSocket& sender, TCustomWinSocket& socket) {
    ++reads;
    EXPECT_EQ(sender.ConnectionCount(), 2);
    server->SetActive(false);
    // The connection object is still usable, only closed.
    EXPECT_FALSE(socket.IsOpen());
    EXPECT_EQ(socket.ReadPending(), "");
    EXPECT_EQ(socket.SendString("x"), 0);
    EXPECT_EQ(sender.ConnectionCount(), 0);
  };
  server->OnClientDisconnect = [&](TServerWinSocket&, TCustomWinSocket&) { Log("Disconnect"); };
  server->SetActive(true);
  TcpClient first(loop, port);
  TcpClient second(loop, port);
  ASSERT_TRUE(WaitCount(2));
  // Both send in the same turn: the second read must not run on a dropped connection.
  first.Send("1");
  second.Send("2");
  ASSERT_TRUE(loop.RunUntil([&] { return !server->Active(); }));
  loop.RunUntil([] { return false; }, 30);
  EXPECT_EQ(reads, 1);
  EXPECT_TRUE(events.empty());
  EXPECT_TRUE(first.WaitClosed());
  EXPECT_TRUE(second.WaitClosed());
  EXPECT_TRUE(errors.empty());
}

TEST_F(ServerSocketTest, StoppingTheServerInsideClientDisconnect) {
  server->OnClientDisconnect = [&](TServerWinSocket& sender, TCustomWinSocket& socket) {
    server->SetActive(false);
    EXPECT_EQ(sender.ConnectionCount(), 0);
    EXPECT_FALSE(socket.IsOpen());
  };
  server->SetActive(true);
  TcpClient first(loop, port);
  TcpClient second(loop, port);
  ASSERT_TRUE(WaitCount(2));
  first.Close();
  ASSERT_TRUE(loop.RunUntil([&] { return !server->Active(); }));
  loop.RunOnce(0);
  EXPECT_EQ(Count(), 0);
  EXPECT_TRUE(second.WaitClosed());
}

// Destroying the whole component from inside each of its own events.
class DestroyInsideEventTest : public ServerSocketTest,
                               public ::testing::WithParamInterface<std::string> {};

TEST_P(DestroyInsideEventTest, IsSafe) {
  const std::string event = GetParam();
  bool fired = false;
  auto destroy = [&] {
    fired = true;
    server.reset();
  };
  server->OnListen = [&](TServerSocket&, TServerWinSocket&) {
    if (event == "Listen") destroy();
  };
  server->OnGetSocket = [&](TServerWinSocket&, int32_t) {
    if (event == "GetSocket") destroy();
  };
  server->OnClientConnect = [&](TServerWinSocket&, TCustomWinSocket& socket) {
    if (event == "ClientConnect") destroy();
    if (event == "Disconnect") socket.CloseNamed(socket.NativeHandle());
  };
  server->OnAccept = [&](TServerSocket&, TCustomWinSocket&) {
    if (event == "Accept") destroy();
  };
  server->OnClientDisconnect = [&](TServerWinSocket&, TCustomWinSocket&) {
    if (event == "Disconnect") destroy();
  };
  server->OnClientRead = [&](TServerWinSocket&, TCustomWinSocket& socket) {
    if (event == "Read") destroy();
    if (event == "Write") FillUntilQueued(socket);
  };
  server->OnClientWrite = [&](TServerWinSocket&, TCustomWinSocket&) {
    if (event == "Write") destroy();
  };
  server->OnClientError = [&](TServerWinSocket&, TCustomWinSocket&, TErrorEvent, int32_t& code) {
    code = 0;
    if (event == "Error") destroy();
  };
  server->SetActive(true);
  if (event == "Listen") {
    EXPECT_TRUE(fired);
    return;
  }
  TcpClient peer(loop, port);
  if (event == "Read" || event == "Write") peer.Send("go");
  if (event == "Error") {
    ASSERT_TRUE(WaitCount(1));
    peer.Reset();
  }
  if (event == "Write") {
    std::string got;
    loop.RunUntil([&] {
      got += peer.ReadNow();
      return fired;
    });
  }
  ASSERT_TRUE(loop.RunUntil([&] { return fired; }));
  loop.RunUntil([] { return false; }, 20);
  if (event != "Error") {
    EXPECT_TRUE(peer.WaitClosed());
  }
  EXPECT_TRUE(errors.empty());
}

INSTANTIATE_TEST_SUITE_P(Events, DestroyInsideEventTest,
                         ::testing::Values("Listen", "GetSocket", "ClientConnect", "Accept",
                                           "Disconnect", "Read", "Write", "Error"));

}  // namespace
}  // namespace kov
