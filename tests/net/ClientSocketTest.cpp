// The client socket component against a listener of the test: connecting by address and by
// name, failures, property rules, the write event, and destruction inside every event.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "net/ClientSocket.h"
#include "net/ServerSocket.h"
#include "tests/net/FillUntilQueued.h"
#include "tests/support/TcpClient.h"

namespace kov {
namespace {

class ClientSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    loop.SetErrorHandler([this](const std::string& m) { errors.push_back(m); });
    port = FreeTcpPort();
    client = std::make_unique<TClientSocket>(loop);
    client->SetPort(port);
    auto log = [this](const char* name) {
      return [this, name](TClientSocket& sender, TCustomWinSocket&) {
        EXPECT_EQ(&sender, client.get());
        events.push_back(name);
      };
    };
    client->OnLookup = log("Lookup");
    client->OnConnecting = log("Connecting");
    client->OnConnect = log("Connect");
    client->OnDisconnect = log("Disconnect");
    client->OnError = [this](TClientSocket&, TCustomWinSocket&, TErrorEvent kind, int32_t& code) {
      events.push_back("Error " + std::to_string(kind) + " " + std::to_string(code));
      if (clearCodes) code = 0;
    };
  }

  bool WaitEvents(size_t n) {
    return loop.RunUntil([&] { return events.size() >= n; });
  }

  EventLoop loop;
  std::vector<std::string> errors;
  std::vector<std::string> events;
  bool clearCodes = true;
  int port = 0;
  std::unique_ptr<TClientSocket> client;
};

TEST_F(ClientSocketTest, ConnectsToAnAddressExchangesDataAndSeesThePeerClose) {
  TcpListener listener("127.0.0.1", port);
  std::string received;
  client->OnRead = [&](TClientSocket&, TCustomWinSocket& socket) {
    received += socket.ReadPending();
  };
  client->SetAddress("127.0.0.1");
  client->SetActive(true);
  EXPECT_FALSE(client->Active());  // the connection completes later
  EXPECT_EQ(events, (std::vector<std::string>{"Lookup", "Connecting"}));
  ASSERT_TRUE(WaitEvents(3));
  EXPECT_EQ(events.back(), "Connect");
  EXPECT_TRUE(client->Active());
  TClientWinSocket& socket = client->Socket();
  EXPECT_TRUE(socket.IsOpen());
  EXPECT_EQ(socket.PeerAddress(), "127.0.0.1");

  TcpClient server = listener.Accept(loop);
  EXPECT_EQ(socket.SendString(std::string("to\0server", 9)), 9);
  EXPECT_EQ(server.ReadExactly(9), std::string("to\0server", 9));
  server.Send("to client");
  ASSERT_TRUE(loop.RunUntil([&] { return received == "to client"; }));

  server.Close();
  ASSERT_TRUE(WaitEvents(4));
  EXPECT_EQ(events.back(), "Disconnect");
  EXPECT_FALSE(client->Active());
  EXPECT_FALSE(socket.IsOpen());
  EXPECT_EQ(socket.SendString("after"), 0);
  EXPECT_TRUE(errors.empty());
}

TEST_F(ClientSocketTest, ResolvesLocalhostWithoutBlocking) {
  TcpListener listener("127.0.0.1", port);
  client->SetHost("localhost");
  client->SetActive(true);
  EXPECT_FALSE(client->Active());
  EXPECT_EQ(events, std::vector<std::string>{"Lookup"});  // the lookup runs
  ASSERT_TRUE(WaitEvents(3));
  EXPECT_EQ(events, (std::vector<std::string>{"Lookup", "Connecting", "Connect"}));
  EXPECT_EQ(client->Socket().PeerAddress(), "127.0.0.1");
}

TEST_F(ClientSocketTest, RefusedConnectionIsAConnectErrorWithoutDisconnect) {
  for (const char* how : {"host", "address"}) {
    SCOPED_TRACE(how);
    events.clear();
    if (std::string(how) == "host") {
      client->SetHost("localhost");
    } else {
      client->SetHost("");
      client->SetAddress("127.0.0.1");
    }
    client->SetActive(true);  // nobody listens on the port
    EXPECT_FALSE(client->Active());
    ASSERT_TRUE(loop.RunUntil([&] { return !events.empty() && events.back() == "Error 3 10061"; }));
    loop.RunUntil([] { return false; }, 30);
    EXPECT_EQ(events.back(), "Error 3 10061");
    EXPECT_EQ(std::count(events.begin(), events.end(), "Disconnect"), 0);
    EXPECT_FALSE(client->Active());
  }
  // A later attempt starts afresh.
  TcpListener listener("127.0.0.1", port);
  events.clear();
  client->SetActive(true);
  ASSERT_TRUE(loop.RunUntil([&] { return client->Active(); }));
  EXPECT_EQ(events.back(), "Connect");
  EXPECT_TRUE(errors.empty());
}

TEST_F(ClientSocketTest, RefusedConnectionWithTheCodeLeftShowsTheAsynchronousError) {
  clearCodes = false;
  client->SetAddress("127.0.0.1");
  client->SetActive(true);
  ASSERT_TRUE(loop.RunUntil([&] { return !errors.empty(); }));
  EXPECT_EQ(errors, std::vector<std::string>{"Asynchronous socket error 10061"});
}

TEST_F(ClientSocketTest, NameThatDoesNotResolveIsALookupErrorThenDisconnect) {
  // Longer than any host name may be: refused without asking a name server.
  client->SetHost(std::string(300, 'a'));
  client->SetActive(true);
  ASSERT_TRUE(WaitEvents(3));
  EXPECT_EQ(events, (std::vector<std::string>{"Lookup", "Error 6 11001", "Disconnect"}));
  EXPECT_FALSE(client->Active());
  EXPECT_EQ(client->Socket().NativeHandle(), -1);
  EXPECT_TRUE(errors.empty());

  clearCodes = false;
  events.clear();
  client->SetActive(true);
  ASSERT_TRUE(loop.RunUntil([&] { return !errors.empty(); }));
  EXPECT_EQ(errors, std::vector<std::string>{
                        "Windows socket error: Name or service not known (11001), on API "
                        "'ASync Lookup'"});
}

TEST_F(ClientSocketTest, WritingFalseDuringTheLookupDoesNothing) {
  TcpListener listener("127.0.0.1", port);
  client->SetHost("localhost");
  client->SetActive(true);
  client->SetActive(false);
  ASSERT_TRUE(loop.RunUntil([&] { return client->Active(); }));
  EXPECT_EQ(events, (std::vector<std::string>{"Lookup", "Connecting", "Connect"}));
}

TEST_F(ClientSocketTest, WritingFalseWhileConnectedCloses) {
  TcpListener listener("127.0.0.1", port);
  client->SetAddress("127.0.0.1");
  client->SetActive(true);
  ASSERT_TRUE(loop.RunUntil([&] { return client->Active(); }));
  TcpClient server = listener.Accept(loop);
  client->SetActive(false);
  EXPECT_FALSE(client->Active());
  EXPECT_EQ(events.back(), "Disconnect");
  EXPECT_EQ(client->Socket().NativeHandle(), -1);
  EXPECT_TRUE(server.WaitClosed());
}

TEST_F(ClientSocketTest, NeitherHostNorAddressIsALookupError1110) {
  client->SetActive(true);
  EXPECT_EQ(events, (std::vector<std::string>{"Lookup", "Error 6 1110", "Disconnect"}));
  EXPECT_FALSE(client->Active());
  EXPECT_EQ(client->Socket().NativeHandle(), -1);

  clearCodes = false;
  events.clear();
  try {
    client->SetActive(true);
    FAIL() << "no error";
  } catch (const ESocketError& e) {
    EXPECT_STREQ(e.what(), "No address specified");
  }
  EXPECT_EQ(events, (std::vector<std::string>{"Lookup", "Error 6 1110", "Disconnect"}));
}

TEST_F(ClientSocketTest, PropertyWritesWhileActive) {
  TcpListener listener("127.0.0.1", port);
  client->SetHost("LocalHost");
  client->SetActive(true);
  ASSERT_TRUE(loop.RunUntil([&] { return client->Active(); }));
  EXPECT_NO_THROW(client->SetHost("localhost"));  // the same name, in other letters
  EXPECT_NO_THROW(client->SetPort(port));
  EXPECT_THROW(client->SetPort(port + 1), ESocketError);
  EXPECT_THROW(client->SetAddress("10.0.0.1"), ESocketError);
  try {
    client->SetHost("example");
    FAIL() << "no error";
  } catch (const ESocketError& e) {
    EXPECT_STREQ(e.what(), "Can't change value while socket is active");
  }
  EXPECT_EQ(client->Host(), "LocalHost");
}

TEST_F(ClientSocketTest, ReconnectingInsideDisconnectRaisesSocketAlreadyOpen) {
  TcpListener listener("127.0.0.1", port);
  client->SetAddress("127.0.0.1");
  client->OnDisconnect = [&](TClientSocket& sender, TCustomWinSocket&) {
    EXPECT_FALSE(sender.Active());
    sender.SetActive(true);
  };
  client->SetActive(true);
  ASSERT_TRUE(loop.RunUntil([&] { return client->Active(); }));
  try {
    client->SetActive(false);
    FAIL() << "no error";
  } catch (const ESocketError& e) {
    EXPECT_STREQ(e.what(), "Socket already open");
  }
  // The close completed all the same.
  EXPECT_FALSE(client->Active());
  EXPECT_EQ(client->Socket().NativeHandle(), -1);
}

TEST_F(ClientSocketTest, PortOutsideTheTcpRangeIsRefused) {
  client->SetAddress("127.0.0.1");
  client->SetPort(65536);
  try {
    client->SetActive(true);
    FAIL() << "no error";
  } catch (const ESocketError& e) {
    EXPECT_STREQ(e.what(), "Windows socket error: Invalid argument (10022), on API 'connect'");
  }
  EXPECT_EQ(client->Socket().NativeHandle(), -1);
}

TEST_F(ClientSocketTest, WriteEventWhenTheQueueDrains) {
  TcpListener listener("127.0.0.1", port);
  int writes = 0;
  client->OnWrite = [&](TClientSocket&, TCustomWinSocket&) { ++writes; };
  client->SetAddress("127.0.0.1");
  client->SetActive(true);
  ASSERT_TRUE(loop.RunUntil([&] { return client->Active(); }));
  TcpClient server = listener.Accept(loop);
  int64_t sent = FillUntilQueued(client->Socket());
  std::string received;
  ASSERT_TRUE(loop.RunUntil([&] {
    received += server.ReadNow();
    return writes == 1;
  }));
  received += server.ReadExactly(static_cast<size_t>(sent) - received.size());
  EXPECT_EQ(received.size(), static_cast<size_t>(sent));
}

// Destroying the component from inside each of its own events, and destroying another
// component's owner from inside an event.
class ClientDestroyTest : public ClientSocketTest,
                          public ::testing::WithParamInterface<std::string> {};

TEST_P(ClientDestroyTest, IsSafe) {
  const std::string event = GetParam();
  TcpListener listener("127.0.0.1", port);
  bool fired = false;
  auto destroyOn = [&](const char* name) {
    return [&, name](TClientSocket&, TCustomWinSocket&) {
      if (event == name) {
        fired = true;
        client.reset();
      }
    };
  };
  client->OnLookup = destroyOn("Lookup");
  client->OnConnecting = destroyOn("Connecting");
  client->OnConnect = destroyOn("Connect");
  client->OnRead = destroyOn("Read");
  client->OnDisconnect = destroyOn("Disconnect");
  client->OnError = [&](TClientSocket&, TCustomWinSocket&, TErrorEvent, int32_t& code) {
    code = 0;
    if (event == "Error") {
      fired = true;
      client.reset();
    }
  };
  if (event == "Error") {
    client->SetPort(FreeTcpPort());  // refused
  }
  client->SetHost("localhost");
  client->SetActive(true);
  if (event == "Pending") {
    client.reset();  // the lookup is still running: its result is ignored
    fired = true;
  }
  if (event == "Read" || event == "Disconnect") {
    ASSERT_TRUE(loop.RunUntil([&] { return client->Active(); }));
    TcpClient server = listener.Accept(loop);
    if (event == "Read") server.Send("x");
    if (event == "Disconnect") server.Close();
    ASSERT_TRUE(loop.RunUntil([&] { return fired; }));
  }
  ASSERT_TRUE(loop.RunUntil([&] { return fired; }));
  loop.RunUntil([] { return false; }, 30);
  EXPECT_FALSE(client);
  EXPECT_TRUE(errors.empty());
}

INSTANTIATE_TEST_SUITE_P(Events, ClientDestroyTest,
                         ::testing::Values("Lookup", "Connecting", "Connect", "Read", "Disconnect",
                                           "Error", "Pending"));

TEST_F(ClientSocketTest, ServerAndClientDestroyEachOtherFromTheirEvents) {
  auto server = std::make_unique<TServerSocket>(loop);
  server->SetPort(port);
  server->SetActive(true);
  // The server's read destroys the client, and the other way round: the client's read
  // destroys the server.
  server->OnClientRead = [&](TServerWinSocket&, TCustomWinSocket& socket) {
    socket.ReadPending();
    client.reset();
    EXPECT_TRUE(socket.IsOpen());  // the server's side is untouched
  };
  client->SetAddress("127.0.0.1");
  client->OnConnect = [&](TClientSocket&, TCustomWinSocket& socket) { socket.SendString("hi"); };
  client->SetActive(true);
  ASSERT_TRUE(loop.RunUntil([&] { return !client; }));
  ASSERT_TRUE(loop.RunUntil([&] { return server->Socket().ConnectionCount() == 0; }));

  client = std::make_unique<TClientSocket>(loop);
  client->SetAddress("127.0.0.1");
  client->SetPort(port);
  server->OnClientRead = nullptr;
  server->OnClientConnect = [](TServerWinSocket&, TCustomWinSocket& socket) {
    socket.SendString("hello");
  };
  client->OnRead = [&](TClientSocket&, TCustomWinSocket& socket) {
    server.reset();
    EXPECT_EQ(socket.ReadPending(), "hello");
  };
  client->SetActive(true);
  ASSERT_TRUE(loop.RunUntil([&] { return !server; }));
  ASSERT_TRUE(loop.RunUntil([&] { return !client->Active(); }));  // the server went away
  EXPECT_TRUE(errors.empty());
}

}  // namespace
}  // namespace kov
