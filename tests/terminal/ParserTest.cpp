#include <gtest/gtest.h>

#include <string>

#include "terminal/Parser.h"

namespace kov {
namespace {

TEST(CommandNameTest, TableInSearchOrder) {
  EXPECT_EQ(CommandName(1), "Help");
  EXPECT_EQ(CommandName(2), "Password");
  EXPECT_EQ(CommandName(5), "ConfigurationPort");
  EXPECT_EQ(CommandName(15), "ShowTrafic");
  EXPECT_EQ(CommandName(18), "DisconnectServer");
  EXPECT_EQ(CommandName(0), "");
  EXPECT_EQ(CommandName(19), "");
  EXPECT_EQ(CommandName(-1), "");
  for (int32_t k = 1; k <= 18; ++k) EXPECT_LE(CommandName(k).size(), kMaxParamLength);
}

TEST(SplitCommandLineTest, WordInAnyCaseFollowedByBlankOrCr) {
  EXPECT_EQ(SplitCommandLine("HELP\r\n").Number, kCmdHelp);
  EXPECT_EQ(SplitCommandLine("help\r\n").Number, kCmdHelp);
  EXPECT_EQ(SplitCommandLine("hElP\r\n").Number, kCmdHelp);
  EXPECT_EQ(SplitCommandLine("help x\r\n").Number, kCmdHelp);
  EXPECT_EQ(SplitCommandLine("sHoWcOnNeCtIoN\r\n").Number, kCmdShowConnection);
  EXPECT_EQ(SplitCommandLine("disconnectserver\r\n").Number, kCmdDisconnectServer);
  // Not recognised: a blank first, more letters, a tab, LF alone right after the word.
  EXPECT_EQ(SplitCommandLine(" help\r\n").Number, 0);
  EXPECT_EQ(SplitCommandLine("helpme\r\n").Number, 0);
  EXPECT_EQ(SplitCommandLine("help\t1\r\n").Number, 0);
  EXPECT_EQ(SplitCommandLine("help\n").Number, 0);
  EXPECT_EQ(SplitCommandLine("xyz\r\n").Number, 0);
  EXPECT_EQ(SplitCommandLine("\r\n").Number, 0);
  EXPECT_EQ(SplitCommandLine("").Number, 0);
  // Only A to Z are lower-cased: a byte above 127 is not a letter of any word.
  EXPECT_EQ(SplitCommandLine("H\xC9LP\r\n").Number, 0);
}

TEST(SplitCommandLineTest, ParametersSplitAtEachBlank) {
  CommandLine l = SplitCommandLine("Stop 1\r\n");
  EXPECT_EQ(l.Number, kCmdStop);
  EXPECT_EQ(l.P1, "1");

  // LF alone: the last character of the line is taken as part of its end.
  l = SplitCommandLine("Stop 1\n");
  EXPECT_EQ(l.Number, kCmdStop);
  EXPECT_EQ(l.P1, "");

  l = SplitCommandLine("Baud  1 9600\r\n");
  EXPECT_EQ(l.Number, kCmdBaud);
  EXPECT_EQ(l.P1, "");
  EXPECT_EQ(l.P2, "1");
  EXPECT_EQ(l.P3, "9600");

  l = SplitCommandLine("Accept 1 10.0.0.1\r\n");
  EXPECT_EQ(l.P1, "1");
  EXPECT_EQ(l.P2, "10.0.0.1");

  // Parameters keep their case.
  l = SplitCommandLine("PARITY 2 e\r\n");
  EXPECT_EQ(l.Number, kCmdParity);
  EXPECT_EQ(l.P2, "e");

  // One blank right before the line end is ignored.
  l = SplitCommandLine("Start 3 \r\n");
  EXPECT_EQ(l.P1, "3");
  EXPECT_EQ(l.P2, "");
}

TEST(SplitCommandLineTest, FourParametersAtMost) {
  CommandLine l = SplitCommandLine("Help a b c d\r\n");
  EXPECT_EQ(l.Number, kCmdHelp);
  EXPECT_EQ(l.P1, "a");
  EXPECT_EQ(l.P2, "b");
  EXPECT_EQ(l.P3, "c");
  EXPECT_EQ(l.P4, "d");
  EXPECT_EQ(SplitCommandLine("Help a b c d e\r\n").Number, 0);
  // Empty parameters count too: four blanks then a fifth before the end.
  EXPECT_EQ(SplitCommandLine("Help     x\r\n").Number, 0);
  // A blank at the last scanned position while collecting the fourth parameter is its end.
  l = SplitCommandLine("Help a b c d \r\n");
  EXPECT_EQ(l.Number, kCmdHelp);
  EXPECT_EQ(l.P4, "d");
}

TEST(SplitCommandLineTest, ParametersCutToTwentyCharacters) {
  CommandLine l = SplitCommandLine("Accept 1 abcdefghijklmnopqrstuvwxy\r\n");
  EXPECT_EQ(l.Number, kCmdAccept);
  EXPECT_EQ(l.P2, "abcdefghijklmnopqrst");
  l = SplitCommandLine("Accept 1 abcdefghijklmnopqrstuvwxy 7\r\n");
  EXPECT_EQ(l.P3, "7");
}

TEST(SplitCommandLineTest, PasswordWordTakesNothingFromTheLine) {
  CommandLine l = SplitCommandLine("password abc abc\r\n");
  EXPECT_EQ(l.Number, kCmdPassword);
  EXPECT_EQ(l.P1, "");
  EXPECT_EQ(SplitCommandLine("Password a b c d e f\r\n").Number, kCmdPassword);
}

TEST(SplitCommandLineTest, OddBytesStayInsideTheLine) {
  // CR inside the line, NUL bytes and bytes above 127 are ordinary characters.
  CommandLine l = SplitCommandLine(std::string("Help\r\0 \xFF\r\n", 10));
  EXPECT_EQ(l.Number, kCmdHelp);
  EXPECT_EQ(l.P1, "\xFF");
  l = SplitCommandLine("Help\r");
  EXPECT_EQ(l.Number, kCmdHelp);
  EXPECT_EQ(l.P1, "");
}

TEST(SplitPasswordLineTest, TwoWords) {
  PasswordWords w = SplitPasswordLine("abc abd\r\n");
  EXPECT_TRUE(w.Complete);
  EXPECT_EQ(w.First, "abc");
  EXPECT_EQ(w.Second, "abd");

  w = SplitPasswordLine("single\r\n");
  EXPECT_TRUE(w.Complete);
  EXPECT_EQ(w.First, "single");
  EXPECT_EQ(w.Second, "");

  w = SplitPasswordLine("abc abc \r\n");  // one trailing blank is the line's end
  EXPECT_TRUE(w.Complete);
  EXPECT_EQ(w.Second, "abc");

  w = SplitPasswordLine("abcdefghijklmnopqrstuvwxyz abcdefghijklmnopqrstuvwxyz\r\n");
  EXPECT_EQ(w.First, "abcdefghijklmnopqrst");
  EXPECT_EQ(w.Second, "abcdefghijklmnopqrst");
}

TEST(SplitPasswordLineTest, LinesThatAreNotTwoWords) {
  EXPECT_FALSE(SplitPasswordLine("\r\n").Complete);
  EXPECT_FALSE(SplitPasswordLine("\n").Complete);
  EXPECT_FALSE(SplitPasswordLine("").Complete);
  EXPECT_FALSE(SplitPasswordLine("abc  abc\r\n").Complete);
  EXPECT_FALSE(SplitPasswordLine("abc abc abc\r\n").Complete);
  EXPECT_FALSE(SplitPasswordLine("abc abc  \r\n").Complete);
  EXPECT_FALSE(SplitPasswordLine(" abc abc\r\n").Complete);
  EXPECT_FALSE(SplitPasswordLine("       \r\n").Complete);
}

}  // namespace
}  // namespace kov
