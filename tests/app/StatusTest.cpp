// The indicators of the status window computed from the running state.
#include <gtest/gtest.h>

#include "app/Status.h"

namespace kov {
namespace {

using C = IndicatorColour;

// The defaults of the configuration store: ports inactive on 8801..8808, nothing connected.
StatusInputs DefaultInputs() {
  StatusInputs in;
  for (int i = 0; i < 8; ++i) in.TcpPort[i] = 8801 + i;
  return in;
}

void ExpectIndicator(const Indicator& got, C colour, const std::string& caption,
                     const std::string& what) {
  EXPECT_EQ(got.Colour, colour) << what;
  EXPECT_EQ(got.Caption, caption) << what;
  EXPECT_FALSE(got.KeepCaption) << what;
}

TEST(ComputeStatus, DefaultStateIsBlankWithTheConfigurationListening) {
  StatusIndicators out = ComputeStatus(DefaultInputs());
  for (int i = 0; i < 8; ++i) {
    ExpectIndicator(out[LocalIndicator(i)], C::Idle, "", "local " + std::to_string(i + 1));
    ExpectIndicator(out[RemoteIndicator(i)], C::Idle, "", "remote " + std::to_string(i + 1));
  }
  EXPECT_EQ(out[kConfigIndicator].Colour, C::Listening);
  EXPECT_TRUE(out[kConfigIndicator].KeepCaption);
  EXPECT_EQ(std::string(kConfigPanelCaption), "8800");
}

TEST(ComputeStatus, LocalIndicatorFollowsEveryRowOfItsTable) {
  struct Row {
    uint8_t active;
    uint8_t connected;
    C colour;
    const char* caption;
  };
  // "not 1" is tested with 0 and with other values, which count as not 1 too.
  const Row rows[] = {
      {1, 0, C::Listening, "8803"}, {1, 2, C::Listening, "8803"}, {1, 1, C::Connected, "8803"},
      {0, 0, C::Idle, ""},          {2, 0, C::Idle, ""},          {0, 1, C::Connected, ""},
      {255, 1, C::Connected, ""},
  };
  for (const Row& row : rows) {
    StatusInputs in = DefaultInputs();
    in.Active[2] = row.active;
    in.ChannelConnected[2] = row.connected;
    StatusIndicators out = ComputeStatus(in);
    std::string what =
        "Active " + std::to_string(row.active) + ", Connected " + std::to_string(row.connected);
    ExpectIndicator(out[LocalIndicator(2)], row.colour, row.caption, what);
    for (int i = 0; i < 8; ++i) {
      if (i != 2) ExpectIndicator(out[LocalIndicator(i)], C::Idle, "", what + ", other port");
    }
  }
}

TEST(ComputeStatus, PortTwoListensConnectsAndStops) {
  StatusInputs in = DefaultInputs();
  in.Active[1] = 1;
  auto local = [&in] { return ComputeStatus(in)[LocalIndicator(1)]; };
  ExpectIndicator(local(), C::Listening, "8802", "no client");
  in.ChannelConnected[1] = 1;
  ExpectIndicator(local(), C::Connected, "8802", "client bridged");
  in.ChannelConnected[1] = 0;
  ExpectIndicator(local(), C::Listening, "8802", "client left");
  in.Active[1] = 0;  // Stop 2
  ExpectIndicator(local(), C::Idle, "", "stopped");
}

TEST(ComputeStatus, CaptionIsTheConfiguredTcpPortInDecimal) {
  StatusInputs in = DefaultInputs();
  in.Active = {1, 1, 1, 1, 1, 1, 1, 1};
  in.TcpPort = {23, 0, 65535, 9000, 8801, -1, 100000, 8808};
  StatusIndicators out = ComputeStatus(in);
  const char* expected[] = {"23", "0", "65535", "9000", "8801", "-1", "100000", "8808"};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(out[LocalIndicator(i)].Caption, expected[i]);
}

TEST(ComputeStatus, ConsoleSessionTurnsTheConfigurationIndicatorConnected) {
  StatusInputs in = DefaultInputs();
  auto config = [&in] { return ComputeStatus(in)[kConfigIndicator]; };
  in.SessionActive = 1;
  Indicator during = config();
  EXPECT_EQ(during.Colour, C::Connected);
  EXPECT_TRUE(during.KeepCaption);
  in.SessionActive = 0;
  EXPECT_EQ(config().Colour, C::Listening);
  in.SessionActive = 2;  // only 1 means a session
  EXPECT_EQ(config().Colour, C::Listening);
}

TEST(ComputeStatus, ConfigurationIndicatorNeverTakesACaption) {
  // Whatever the ports and their TCP ports are (the configuration port itself is not even an
  // input), the configuration panel keeps its design caption "8800".
  StatusInputs in = DefaultInputs();
  in.Active = {1, 1, 1, 1, 1, 1, 1, 1};
  in.TcpPort = {9000, 9000, 9000, 9000, 9000, 9000, 9000, 9000};
  in.SessionActive = 1;
  in.LinkConnected = 1;
  in.LinkPortIndex = 0;
  const Indicator config = ComputeStatus(in)[kConfigIndicator];
  EXPECT_TRUE(config.KeepCaption);
  EXPECT_EQ(config.Caption, "");
}

TEST(ComputeStatus, RemoteLinkOnPortIndexFourWithLocalChannelsStopped) {
  StatusInputs in = DefaultInputs();
  in.LinkConnected = 1;
  in.LinkPortIndex = 4;
  StatusIndicators out = ComputeStatus(in);
  for (int i = 0; i < 8; ++i) {
    ExpectIndicator(out[LocalIndicator(i)], C::Idle, "", "local " + std::to_string(i + 1));
    if (i == 4) {
      ExpectIndicator(out[RemoteIndicator(i)], C::Connected, "8899", "remote COM5");
    } else {
      ExpectIndicator(out[RemoteIndicator(i)], C::Idle, "", "remote " + std::to_string(i + 1));
    }
  }
}

TEST(ComputeStatus, RemoteIndicatorNeedsTheLinkConnectedOnThatPort) {
  for (int port = 0; port < 8; ++port) {
    StatusInputs in = DefaultInputs();
    in.LinkPortIndex = port;
    in.LinkConnected = 0;
    StatusIndicators unlinked = ComputeStatus(in);
    EXPECT_EQ(unlinked[RemoteIndicator(port)].Colour, C::Idle) << port;
    in.LinkConnected = 7;  // any value but 0 counts as connected
    StatusIndicators out = ComputeStatus(in);
    int connected = 0;
    for (int i = 0; i < 8; ++i) connected += out[RemoteIndicator(i)].Colour == C::Connected;
    EXPECT_EQ(connected, 1) << port;
    ExpectIndicator(out[RemoteIndicator(port)], C::Connected, "8899", "link port");
  }
}

TEST(ComputeStatus, LinkPortIndexOutsideTheEightPortsLightsNothing) {
  for (int32_t index : {-1, 8, 9, -2147483647 - 1, 2147483647}) {
    StatusInputs in = DefaultInputs();
    in.LinkConnected = 1;
    in.LinkPortIndex = index;
    StatusIndicators out = ComputeStatus(in);
    for (int i = 0; i < 8; ++i) {
      ExpectIndicator(out[RemoteIndicator(i)], C::Idle, "", "index " + std::to_string(index));
    }
  }
}

TEST(ComputeStatus, LocalAndRemoteIndicatorsOfOnePortAreIndependent) {
  StatusInputs in = DefaultInputs();
  in.Active[4] = 1;
  in.ChannelConnected[4] = 1;
  in.LinkConnected = 1;
  in.LinkPortIndex = 4;
  StatusIndicators out = ComputeStatus(in);
  ExpectIndicator(out[LocalIndicator(4)], C::Connected, "8805", "local COM5");
  ExpectIndicator(out[RemoteIndicator(4)], C::Connected, "8899", "remote COM5");
}

}  // namespace
}  // namespace kov
