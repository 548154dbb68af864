#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/ConfigFile.h"
#include "terminal/Listings.h"

namespace kov {
namespace {

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find("\n\r", start)) != std::string::npos; start = end + 2) {
    lines.push_back(text.substr(start, end - start));
  }
  lines.push_back(text.substr(start));
  return lines;
}

TEST(HelpTextTest, TwentyFourLinesThenPrompt) {
  const std::string text = HelpText();
  const std::vector<std::string> lines = SplitLines(text);
  ASSERT_EQ(lines.size(), 26u);  // 24 lines, the empty line before the prompt, the prompt
  EXPECT_EQ(lines[24], "");
  EXPECT_EQ(lines[25], "Bridge:\\>");
  EXPECT_EQ(lines[0], " Help                          - This page");
  EXPECT_EQ(lines[8], " CommPort <SerPort><TcpIpPort> - Set TCP/IP PORT number for Bridge Channel");
  EXPECT_EQ(lines[15], " Stop  <SerPort>               - Stop Comm Bridge");
  EXPECT_EQ(lines[17], "                                 Port: 1-8 ");
  EXPECT_EQ(lines[22], " About                         - About KOV Bridge Application");
  EXPECT_EQ(lines[23], " Exit                          - Exit from program");
  // Every command line has its dash in column 32, every continuation 33 blanks first.
  for (size_t i = 0; i < 24; ++i) {
    if (lines[i].compare(0, 33, std::string(33, ' ')) == 0) {
      EXPECT_NE(lines[i][33], ' ') << i;
    } else {
      EXPECT_EQ(lines[i].substr(30, 3), " - ") << i;
    }
  }
}

TEST(ShowConfigTextTest, Defaults) {
  TConfigFile config;
  const std::vector<std::string> lines = SplitLines(ShowConfigText(config));
  ASSERT_EQ(lines.size(), 12u);
  EXPECT_EQ(lines[0], " ConfigurationPort: 8800");
  EXPECT_EQ(lines[1], " Accepted TCP/IP Address: None, None, None");
  EXPECT_EQ(lines[2], " Port 1: Idle, TcpIpPort: 8801, Baud: 115200, Parity: E");
  EXPECT_EQ(lines[9], " Port 8: Idle, TcpIpPort: 8808, Baud: 115200, Parity: E");
  EXPECT_EQ(lines[10], "");
  EXPECT_EQ(lines[11], "Bridge:\\>");
}

TEST(ShowConfigTextTest, ValuesAsStored) {
  TConfigFile config;
  config.ServicePort = "+09000";
  config.AccAddress = {"None1", "", "10.1."};
  config.Ports[1] = {-5, 5, 0, 1};
  config.Ports[2] = {0, 10, 3, 2};
  config.Ports[3] = {8804, -1, -1, 0};
  const std::vector<std::string> lines = SplitLines(ShowConfigText(config));
  EXPECT_EQ(lines[0], " ConfigurationPort: +09000");
  EXPECT_EQ(lines[1], " Accepted TCP/IP Address: None, , 10.1.");
  EXPECT_EQ(lines[3], " Port 2: Active, TcpIpPort: -5, Baud: 9600, Parity: N");
  EXPECT_EQ(lines[4], " Port 3: Idle, TcpIpPort: 0, Baud: Unown Speed, Parity: Unown Parity");
  EXPECT_EQ(lines[5], " Port 4: Idle, TcpIpPort: 8804, Baud: Unown Speed, Parity: Unown Parity");
}

TEST(AboutTextTest, VersionBuildAndCredit) {
  EXPECT_EQ(AboutText(1, 3, 791),
            "  KOV Bridge Version: Ver.: 1.3\n\r"
            "      Build: 791 \n\r"
            "      KOV Bridge serial to TCP/IP bridge for Linux\n\r"
            "\n\rBridge:\\>");
  EXPECT_EQ(AboutText(65535, 0, 0).substr(0, 35), "  KOV Bridge Version: Ver.: 65535.0");
}

TEST(PortStateLineTest, ActiveOnlyForOne) {
  EXPECT_EQ(PortStateLine(1, 1), " Port 1: Active\n\r");
  EXPECT_EQ(PortStateLine(8, 0), " Port 8: Idle\n\r");
  EXPECT_EQ(PortStateLine(3, 2), " Port 3: Idle\n\r");
}

}  // namespace
}  // namespace kov
