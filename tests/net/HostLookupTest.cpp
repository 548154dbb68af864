#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include "net/HostLookup.h"

namespace kov {
namespace {

std::string Dotted(uint32_t address) {
  in_addr a{};
  a.s_addr = address;
  char text[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

TEST(HostLookupTest, NumericAndLocalNamesResolveInALaterTurn) {
  EventLoop loop;
  for (const char* host : {"127.0.0.1", "localhost"}) {
    SCOPED_TRACE(host);
    std::optional<THostLookup::Result> result;
    THostLookup lookup(loop, host, [&](const THostLookup::Result& r) { result = r; });
    EXPECT_FALSE(result);  // never inside the constructor
    ASSERT_TRUE(loop.RunUntil([&] { return result.has_value(); }));
    EXPECT_EQ(result->code, 0);
    EXPECT_EQ(Dotted(result->address), "127.0.0.1");
  }
}

TEST(HostLookupTest, CancelledLookupsNeverCallBackAndTheCallbackMayDestroyItsLookup) {
  EventLoop loop;
  int calls = 0;
  auto cancelled = std::make_unique<THostLookup>(loop, "localhost",
                                                 [&](const THostLookup::Result&) { ++calls; });
  cancelled.reset();
  std::unique_ptr<THostLookup> self;
  bool done = false;
  self = std::make_unique<THostLookup>(loop, "localhost", [&](const THostLookup::Result& r) {
    self.reset();
    EXPECT_EQ(r.code, 0);
    done = true;
  });
  ASSERT_TRUE(loop.RunUntil([&] { return done; }));
  loop.RunUntil([] { return false; }, 30);
  EXPECT_EQ(calls, 0);
}

}  // namespace
}  // namespace kov
