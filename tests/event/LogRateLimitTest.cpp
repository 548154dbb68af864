// The log's rate limit on the manual clock.
#include "event/LogRateLimit.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/LogCapture.h"

namespace kov {
namespace {

TEST(LogRateLimit, KindIsTheTextApartFromItsNumbers) {
  EXPECT_EQ(LogRateLimit::KindOf("COM12: client 192.168.1.20 refused, port 8801"),
            "COM12: client #.#.#.# refused, port #");
  EXPECT_EQ(LogRateLimit::KindOf("SIGUSR2 received, 3rd time"), "SIGUSR2 received, #rd time");
  EXPECT_EQ(LogRateLimit::KindOf("Accepting paused: Too many open files"),
            "Accepting paused: Too many open files");
}

TEST(LogRateLimit, AFloodIsWrittenOnceASecondThenCountedAndNothingTicksAfterwards) {
  EventLoop loop(EventLoop::Clock::Manual);
  LogCapture capture;
  LogRateLimit limit(loop);

  // 100 refusals, one every 25 ms, from ever new addresses; an error that happens once in the
  // middle of them; and a line of another kind now and then.
  for (int i = 0; i < 100; ++i) {
    Log("COM1: client 10.0.0." + std::to_string(i) + " refused");
    if (i == 20) LogError("cannot open COM3");
    if (i % 10 == 5) LogWarning("Accepting paused: Too many open files");
    loop.AdvanceMs(25);
  }
  EXPECT_EQ(capture.Lines(), (std::vector<std::string>{
                                 "COM1: client 10.0.0.0 refused",
                                 "Accepting paused: Too many open files",
                                 "cannot open COM3",
                                 "COM1: client 10.0.0.40 refused",
                                 "Accepting paused: Too many open files",
                                 "COM1: client 10.0.0.80 refused",
                                 "Accepting paused: Too many open files",
                             }));
  // Once each kind has been quiet for a second, one line tells what it left out.
  loop.AdvanceMs(2000);
  ASSERT_EQ(capture.Lines().size(), 9u) << capture.All();
  EXPECT_EQ(capture.Count("left out 97 more lines like this one: COM1: client 10.0.0.99 refused"),
            1u)
      << capture.All();
  EXPECT_EQ(capture.Count("left out 7 more lines like this one: Accepting paused"), 1u)
      << capture.All();

  // Nothing is remembered and no timer is left running.
  loop.AdvanceMs(5000);
  EXPECT_EQ(capture.Lines().size(), 9u);
  EXPECT_EQ(loop.TimerQueueSize(), 0u);

  // The kind starts afresh.
  Log("COM1: client 10.0.0.1 refused");
  EXPECT_EQ(capture.Lines().back(), "COM1: client 10.0.0.1 refused");
}

TEST(LogRateLimit, GoingAwayWritesWhatIsOwedAndLetsEveryLineThroughAgain) {
  EventLoop loop(EventLoop::Clock::Manual);
  LogCapture capture;
  {
    LogRateLimit limit(loop);
    for (int i = 0; i < 3; ++i) Log("wrong password 1 from 127.0.0.1");
    EXPECT_EQ(capture.Lines().size(), 1u);
  }
  EXPECT_EQ(capture.Lines().back(),
            "left out 2 more lines like this one: wrong password 1 from 127.0.0.1");
  for (int i = 0; i < 3; ++i) Log("wrong password 1 from 127.0.0.1");
  EXPECT_EQ(capture.Lines().size(), 5u);
}

}  // namespace
}  // namespace kov
