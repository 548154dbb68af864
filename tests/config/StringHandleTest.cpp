#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "config/ConfigFile.h"
#include "config/StringHandle.h"

namespace kov {
namespace {

TEST(CompareFirstTest, AgreesOverTheFirstNBytes) {
  EXPECT_EQ(CompareFirst("abc", "abcd", 3), 0);
  EXPECT_EQ(CompareFirst("abc", "ab", 3), -1);  // past the end of b counts as a difference
  EXPECT_EQ(CompareFirst("abc", "abd", 3), -1);
  EXPECT_EQ(CompareFirst("abc", "abd", 2), 0);
  EXPECT_EQ(CompareFirst("abc", "xbc", 3), -1);
  EXPECT_EQ(CompareFirst("abc", "ABC", 3), -1);  // case-sensitive
  EXPECT_EQ(CompareFirst("abc", "abc", 4), -1);  // past the end of both
}

TEST(CompareFirstTest, EmptyTextsNeverAgreeAndNonPositiveCountAlwaysDoes) {
  EXPECT_EQ(CompareFirst("", "abc", 0), -1);
  EXPECT_EQ(CompareFirst("abc", "", 0), -1);
  EXPECT_EQ(CompareFirst("", "", 0), -1);
  EXPECT_EQ(CompareFirst("abc", "xyz", 0), 0);
  EXPECT_EQ(CompareFirst("abc", "xyz", -5), 0);
  EXPECT_EQ(CompareFirst("abc", "xyz", INT32_MIN), 0);
}

TEST(StartsWithTest, PrefixRules) {
  EXPECT_EQ(StartsWith("None", "None"), 0);
  EXPECT_EQ(StartsWith("Nonesuch", "None"), 0);
  EXPECT_EQ(StartsWith("Non", "None"), -1);
  EXPECT_EQ(StartsWith("", "None"), -1);
  EXPECT_EQ(StartsWith("None", ""), -1);
  EXPECT_EQ(StartsWith("", ""), -1);
  EXPECT_EQ(StartsWith("none", "None"), -1);
  EXPECT_EQ(StartsWith(" None", "None"), -1);
}

TEST(StartsWithTest, ComparesEveryByteValue) {
  EXPECT_EQ(StartsWith("\xE9t\xE9", "\xE9t"), 0);
  EXPECT_EQ(StartsWith("\xE9t\xE9", "\xE8t"), -1);
  EXPECT_EQ(StartsWith(std::string("a\0b", 3), std::string("a\0", 2)), 0);
  EXPECT_EQ(StartsWith(std::string("a\0b", 3), std::string("a\0c", 3)), -1);
}

TEST(MatchesLineTest, WordMustBeFollowedByCr) {
  EXPECT_EQ(MatchesLine("PZQ\r\n", "PZQ"), 0);
  EXPECT_EQ(MatchesLine("PZQ\r", "PZQ"), 0);
  EXPECT_EQ(MatchesLine("PZQ\n", "PZQ"), -1);
  EXPECT_EQ(MatchesLine("PZQ \r\n", "PZQ"), -1);
  EXPECT_EQ(MatchesLine("PZQX\r\n", "PZQ"), -1);
  EXPECT_EQ(MatchesLine("PZQ", "PZQ"), -1);  // the line ends right after the word
  EXPECT_EQ(MatchesLine("PZ\r\n", "PZQ"), -1);
  EXPECT_EQ(MatchesLine("pzq\r\n", "PZQ"), -1);
}

TEST(MatchesLineTest, EmptyPasswordMatchesNothing) {
  EXPECT_EQ(MatchesLine("\r\n", ""), -1);
  EXPECT_EQ(MatchesLine("\r", ""), -1);
  EXPECT_EQ(MatchesLine("", ""), -1);
  EXPECT_EQ(MatchesLine("x\r\n", ""), -1);
}

TEST(MatchesWordTest, WordMustBeFollowedBySpaceOrCr) {
  EXPECT_EQ(MatchesWord("help\r\n", "help"), 0);
  EXPECT_EQ(MatchesWord("help 3 4\r\n", "help"), 0);
  EXPECT_EQ(MatchesWord("help ", "help"), 0);
  EXPECT_EQ(MatchesWord("helpme\r\n", "help"), -1);
  EXPECT_EQ(MatchesWord("help", "help"), -1);
  EXPECT_EQ(MatchesWord("help\t3\r\n", "help"), -1);
  EXPECT_EQ(MatchesWord("help\n", "help"), -1);
  EXPECT_EQ(MatchesWord("hel\r\n", "help"), -1);
  EXPECT_EQ(MatchesWord(" help\r\n", "help"), -1);
  EXPECT_EQ(MatchesWord("\r\n", ""), -1);
}

TConfigFile WithEntries(const std::string& a, const std::string& b, const std::string& c) {
  TConfigFile config("unused");
  config.AccAddress = {a, b, c};
  return config;
}

TEST(AddressAcceptedTest, AllNoneKindEntriesAcceptEveryAddress) {
  for (const auto& config : {WithEntries("None", "None", "None"), WithEntries("N", "No", "None"),
                             WithEntries("Non", "N", "No")}) {
    EXPECT_TRUE(AddressAccepted(config, "10.2.0.1"));
    EXPECT_TRUE(AddressAccepted(config, "127.0.0.1"));
    EXPECT_TRUE(AddressAccepted(config, ""));
  }
}

TEST(AddressAcceptedTest, PrefixEntriesAcceptTheirNetworkOnly) {
  const TConfigFile config = WithEntries("10.1.", "None", "None");
  EXPECT_TRUE(AddressAccepted(config, "10.1.2.3"));
  EXPECT_FALSE(AddressAccepted(config, "10.2.0.1"));
  EXPECT_FALSE(AddressAccepted(config, "127.0.0.1"));  // the "None" entries accept nothing
  EXPECT_FALSE(AddressAccepted(config, ""));

  const TConfigFile complete = WithEntries("None", "None", "192.168.1.1");
  EXPECT_TRUE(AddressAccepted(complete, "192.168.1.1"));
  EXPECT_TRUE(AddressAccepted(complete, "192.168.1.10"));  // longer addresses begin with it
  EXPECT_FALSE(AddressAccepted(complete, "192.168.1.2"));
  EXPECT_FALSE(AddressAccepted(complete, "192.168.1."));

  const TConfigFile several = WithEntries("10.", "172.16.", "192.168.");
  EXPECT_TRUE(AddressAccepted(several, "10.0.0.1"));
  EXPECT_TRUE(AddressAccepted(several, "172.16.5.5"));
  EXPECT_TRUE(AddressAccepted(several, "192.168.0.1"));
  EXPECT_FALSE(AddressAccepted(several, "172.17.0.1"));
}

TEST(AddressAcceptedTest, EmptyOrLongerNoneEntriesAreNotNoneKind) {
  const TConfigFile empty = WithEntries("", "None", "None");
  EXPECT_FALSE(AddressAccepted(empty, "127.0.0.1"));
  EXPECT_FALSE(AddressAccepted(empty, "10.1.2.3"));
  EXPECT_FALSE(AddressAccepted(empty, ""));

  const TConfigFile allEmpty = WithEntries("", "", "");
  EXPECT_FALSE(AddressAccepted(allEmpty, "127.0.0.1"));

  const TConfigFile longer = WithEntries("Nonesuch", "None", "None");
  EXPECT_FALSE(AddressAccepted(longer, "127.0.0.1"));
  EXPECT_TRUE(AddressAccepted(longer, "Nonesuch.1"));  // plain prefix match still applies
}

TEST(AddressAcceptedTest, ReadsTheStoreAtEveryCall) {
  TConfigFile config("unused");
  EXPECT_TRUE(AddressAccepted(config, "10.2.0.1"));
  config.AccAddress[1] = "10.1.";
  EXPECT_FALSE(AddressAccepted(config, "10.2.0.1"));
  EXPECT_TRUE(AddressAccepted(config, "10.1.0.1"));
  config.AccAddress[1] = "No";
  EXPECT_TRUE(AddressAccepted(config, "10.2.0.1"));
}

TEST(DeleteLastCharTest, DropsOneByte) {
  EXPECT_EQ(DeleteLastChar("abc"), "ab");
  EXPECT_EQ(DeleteLastChar("a"), "");
  EXPECT_EQ(DeleteLastChar(""), "");
  EXPECT_EQ(DeleteLastChar("ab\xFF"), "ab");
  EXPECT_EQ(DeleteLastChar(std::string("a\0", 2)), "a");
}

TEST(StateTextTest, FlagTextsAndLookup) {
  EXPECT_EQ(ActiveText(1), "Active");
  EXPECT_EQ(ActiveText(0), "Idle");
  EXPECT_EQ(ActiveText(2), "Idle");
  EXPECT_EQ(ActiveText(255), "Idle");

  EXPECT_EQ(ActiveFlagOf("Active"), 1);
  EXPECT_EQ(ActiveFlagOf("Active1"), 1);
  EXPECT_EQ(ActiveFlagOf("ActiveIdle"), 1);
  EXPECT_EQ(ActiveFlagOf("Idle"), 0);
  EXPECT_EQ(ActiveFlagOf("Idle now"), 0);
  EXPECT_EQ(ActiveFlagOf("Activated"), -1);  // "Activa..." is not "Active"
  EXPECT_EQ(ActiveFlagOf("idle"), -1);
  EXPECT_EQ(ActiveFlagOf("ACTIVE"), -1);
  EXPECT_EQ(ActiveFlagOf(" Active"), -1);
  EXPECT_EQ(ActiveFlagOf("Activ"), -1);
  EXPECT_EQ(ActiveFlagOf(""), -1);
}

TEST(SpeedTextTest, TableBothWays) {
  const char* texts[] = {"300",  "600",   "1200",  "2400",  "4800",
                         "9600", "19200", "38400", "57600", "115200"};
  for (int32_t i = 0; i < 10; ++i) {
    EXPECT_EQ(SpeedText(i), texts[i]) << i;
    EXPECT_EQ(SpeedIndexOf(texts[i]), i) << texts[i];
  }
  EXPECT_EQ(SpeedText(-1), "Unown Speed");
  EXPECT_EQ(SpeedText(10), "Unown Speed");
  EXPECT_EQ(SpeedText(INT32_MIN), "Unown Speed");
  EXPECT_EQ(SpeedText(INT32_MAX), "Unown Speed");
}

TEST(SpeedTextTest, LookupByFirstRateTheTextBeginsWith) {
  EXPECT_EQ(SpeedIndexOf("115200"), 9);
  EXPECT_EQ(SpeedIndexOf("19200"), 6);
  EXPECT_EQ(SpeedIndexOf("9600 baud"), 5);
  EXPECT_EQ(SpeedIndexOf("96000"), 5);
  EXPECT_EQ(SpeedIndexOf("3000"), 0);
  EXPECT_EQ(SpeedIndexOf("6000"), 1);
  EXPECT_EQ(SpeedIndexOf("9601"), -1);  // begins with no rate text
  EXPECT_EQ(SpeedIndexOf("110"), -1);
  EXPECT_EQ(SpeedIndexOf(" 9600"), -1);
  EXPECT_EQ(SpeedIndexOf("09600"), -1);
  EXPECT_EQ(SpeedIndexOf("+9600"), -1);
  EXPECT_EQ(SpeedIndexOf("960"), -1);
  EXPECT_EQ(SpeedIndexOf(""), -1);
}

TEST(ParityTextTest, TableBothWays) {
  EXPECT_EQ(ParityText(0), "N");
  EXPECT_EQ(ParityText(1), "O");
  EXPECT_EQ(ParityText(2), "E");
  EXPECT_EQ(ParityText(3), "Unown Parity");
  EXPECT_EQ(ParityText(-1), "Unown Parity");
  EXPECT_EQ(ParityText(INT32_MIN), "Unown Parity");

  EXPECT_EQ(ParityIndexOf("N"), 0);
  EXPECT_EQ(ParityIndexOf("O"), 1);
  EXPECT_EQ(ParityIndexOf("E"), 2);
  EXPECT_EQ(ParityIndexOf("e"), -1);
  EXPECT_EQ(ParityIndexOf("n"), -1);
  EXPECT_EQ(ParityIndexOf("EO"), -1);
  EXPECT_EQ(ParityIndexOf("E "), -1);
  EXPECT_EQ(ParityIndexOf(" E"), -1);
  EXPECT_EQ(ParityIndexOf("X"), -1);
  EXPECT_EQ(ParityIndexOf(""), -1);
}

TEST(ValidIndexTest, Ranges) {
  EXPECT_FALSE(ValidPortIndex(-1));
  EXPECT_TRUE(ValidPortIndex(0));
  EXPECT_TRUE(ValidPortIndex(7));
  EXPECT_FALSE(ValidPortIndex(8));
  EXPECT_FALSE(ValidPortIndex(INT32_MIN));

  EXPECT_FALSE(ValidAddressIndex(-1));
  EXPECT_TRUE(ValidAddressIndex(0));
  EXPECT_TRUE(ValidAddressIndex(2));
  EXPECT_FALSE(ValidAddressIndex(3));
}

TEST(StrToInt32Test, AcceptsSignedDecimals) {
  const struct {
    const char* text;
    int32_t value;
  } cases[] = {
      {"0", 0},
      {"42", 42},
      {"+42", 42},
      {"-42", -42},
      {"-0", 0},
      {"   7", 7},
      {" -5", -5},
      {"007", 7},
      {"2147483647", INT32_MAX},
      {"-2147483648", INT32_MIN},
      {"+2147483647", INT32_MAX},
      {"00000000000000000000002147483647", INT32_MAX},
  };
  for (const auto& c : cases) {
    int32_t value = 123;
    EXPECT_TRUE(StrToInt32(c.text, value)) << c.text;
    EXPECT_EQ(value, c.value) << c.text;
  }
}

TEST(StrToInt32Test, RefusesEverythingElseAndKeepsTheValue) {
  const char* cases[] = {"",
                         "-",
                         "+",
                         " ",
                         "   ",
                         "12a",
                         "1 ",
                         "- 1",
                         "--1",
                         "+-1",
                         "0x10",
                         "1.0",
                         "1e3",
                         "\t1",
                         "99999999999",
                         "2147483648",
                         "-2147483649",
                         "4294967296",
                         "-99999999999999999999999"};
  for (const char* text : cases) {
    int32_t value = 123;
    EXPECT_FALSE(StrToInt32(text, value)) << "'" << text << "'";
    EXPECT_EQ(value, 123) << text;
  }
  int32_t value = 123;
  EXPECT_FALSE(StrToInt32(std::string("1\0", 2), value));
  EXPECT_FALSE(StrToInt32("\xB2", value));
  EXPECT_EQ(value, 123);
}

}  // namespace
}  // namespace kov
