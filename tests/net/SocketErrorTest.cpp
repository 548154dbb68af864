#include <gtest/gtest.h>
#include <netdb.h>

#include <cerrno>

#include "event/EventLoop.h"
#include "net/OutputQueue.h"
#include "net/SocketError.h"

namespace kov {
namespace {

TEST(SocketErrorTest, ErrnoValuesMapToWindowsSocketsNumbers) {
  EXPECT_EQ(WinSockErrorOf(EACCES), 10013);
  EXPECT_EQ(WinSockErrorOf(EADDRINUSE), 10048);
  EXPECT_EQ(WinSockErrorOf(EADDRNOTAVAIL), 10049);
  EXPECT_EQ(WinSockErrorOf(ENETUNREACH), 10051);
  EXPECT_EQ(WinSockErrorOf(ECONNABORTED), 10053);
  EXPECT_EQ(WinSockErrorOf(ECONNRESET), 10054);
  EXPECT_EQ(WinSockErrorOf(ETIMEDOUT), 10060);
  EXPECT_EQ(WinSockErrorOf(ECONNREFUSED), 10061);
  EXPECT_EQ(WinSockErrorOf(EHOSTUNREACH), 10065);
  EXPECT_EQ(WinSockErrorOf(EPIPE), 10000 + EPIPE);
  EXPECT_EQ(WinSockErrorOf(ENOBUFS), 10000 + ENOBUFS);
}

TEST(SocketErrorTest, LookupResultsMapToWindowsSocketsNumbers) {
  EXPECT_EQ(LookupErrorOf(0, 0), 0);
  EXPECT_EQ(LookupErrorOf(EAI_NONAME, 0), 11001);
  EXPECT_EQ(LookupErrorOf(EAI_AGAIN, 0), 11002);
  EXPECT_EQ(LookupErrorOf(EAI_FAIL, 0), 11003);
  EXPECT_EQ(LookupErrorOf(EAI_SYSTEM, ECONNREFUSED), 10061);
}

TEST(SocketErrorTest, Texts) {
  EXPECT_EQ(SocketErrorText("Connection refused", 10061, "connect"),
            "Windows socket error: Connection refused (10061), on API 'connect'");
  EXPECT_STREQ(SystemSocketError(EADDRINUSE, "bind").what(),
               "Windows socket error: Address already in use (10048), on API 'bind'");
  EXPECT_EQ(AsyncSocketErrorText(10054), "Asynchronous socket error 10054");
  // The error box adds its period to the one and not to the other.
  EXPECT_EQ(ErrorBoxText(AsyncSocketErrorText(10054)), "Asynchronous socket error 10054.");
  EXPECT_EQ(ErrorBoxText(SocketErrorText("x", 1, "bind")), SocketErrorText("x", 1, "bind"));
  EXPECT_EQ(eeGeneral, 0);
  EXPECT_EQ(eeLookup, 6);
}

TEST(OutputQueueTest, KeepsOrderAcrossAppendsConsumesAndCompaction) {
  TOutputQueue q;
  EXPECT_TRUE(q.Empty());
  std::string expected;
  for (int i = 0; i < 300; ++i) {
    std::string piece(1000 + i, static_cast<char>('a' + i % 26));
    q.Append(piece.data(), piece.size());
    expected += piece;
    size_t take = std::min<size_t>(q.Size(), 900);
    ASSERT_EQ(std::string(q.Data(), take), expected.substr(0, take));
    q.Consume(take);
    expected.erase(0, take);
    ASSERT_EQ(q.Size(), expected.size());
  }
  EXPECT_EQ(std::string(q.Data(), q.Size()), expected);
  q.Consume(q.Size());
  EXPECT_TRUE(q.Empty());
  EXPECT_EQ(q.Size(), 0u);
}

}  // namespace
}  // namespace kov
