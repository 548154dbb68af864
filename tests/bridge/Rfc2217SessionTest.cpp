#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/bridge/Rfc2217TestSupport.h"

namespace kov {
namespace {

using namespace std::string_literals;

const std::string kOffer = "\xff\xfd\x2c\xff\xfb\x2c";  // DO, WILL COM-PORT-OPTION
const std::string kClientWill = "\xff\xfb\x2c";          // the client takes the offer

TEST(Rfc2217SessionTest, NegotiationInEveryChunking) {
  struct Case {
    std::string client;  // after the offer
    std::string answer;
    bool active;
  };
  const Case cases[] = {
      {"\xff\xfb\x2c\xff\xfd\x2c", "", true},  // the offer taken: nothing more to say
      {"\xff\xfd\x2c", "", true},
      {"\xff\xfe\x2c\xff\xfc\x2c", "", false},  // the offer refused
      {"\xff\xfb\x2c\xff\xfc\x2c", "\xff\xfe\x2c", false},  // on, then off
      {"\xff\xfb\x00\xff\xfd\x00\xff\xfb\x00"s, "\xff\xfd\x00\xff\xfb\x00"s, false},  // BINARY
      // A client's opening: DO ECHO, WILL and DO SUPPRESS-GO-AHEAD, WILL and DO COM-PORT.
      {"\xff\xfd\x01\xff\xfb\x03\xff\xfd\x03\xff\xfb\x2c\xff\xfd\x2c",
       "\xff\xfc\x01\xff\xfe\x03\xff\xfc\x03", true},
      {"\xff\xfb\x18\xff\xfd\xc8\xff\xfe\x05\xff\xfc\x01", "\xff\xfe\x18\xff\xfc\xc8", false},
  };
  for (const Case& c : cases) {
    ForEachChunking(c.client.size(), [&](const std::vector<size_t>& cuts) {
      Rfc2217Harness h;
      ASSERT_EQ(h.TakeClient(), kOffer);
      h.Feed(c.client, cuts);
      EXPECT_EQ(h.client, c.answer) << testing::PrintToString(c.client);
      EXPECT_EQ(h.session.ComPortActive(), c.active);
    });
  }
}

TEST(Rfc2217SessionTest, EachCommandAnsweredWithTheValueInForce) {
  struct Case {
    std::vector<std::string> commands;  // payloads after IAC SB 44
    std::vector<std::string> answers;
    std::string line;  // the line afterwards
  };
  const std::string kSame = "9600 8N1 none dtr rts";
  const Case cases[] = {
      {{"\x00"s}, {"\x64KOV\xff"}, kSame},
      {{"\x00me"s}, {}, kSame},  // the client's own signature
      {{"\x01\x00\x00\x4b\x00"s}, {"\x65\x00\x00\x4b\x00"s}, "19200 8N1 none dtr rts"},
      {{"\x01\x00\x00\x30\x39"s}, {"\x65\x00\x00\x25\x80"s}, kSame},  // 12345: refused
      {{"\x01\x00\x00\x00\xff"s}, {"\x65\x00\x00\x25\x80"s}, kSame},  // 255, doubled
      {{"\x01\x00\x00\x00\x00"s}, {"\x65\x00\x00\x25\x80"s}, kSame},  // asks
      {{"\x02\x07", "\x02\x05", "\x02\x00"s, "\x02\x09"}, {"\x66\x07", "\x66\x07", "\x66\x07",
       "\x66\x07"}, "9600 7N1 none dtr rts"},
      {{"\x03\x03", "\x03\x04", "\x03\x05", "\x03\x00"s}, {"\x67\x03", "\x67\x03", "\x67\x03",
       "\x67\x03"}, "9600 8E1 none dtr rts"},
      {{"\x03\x02", "\x03\x01"}, {"\x67\x02", "\x67\x01"}, kSame},
      {{"\x04\x02", "\x04\x03", "\x04\x00"s}, {"\x68\x02", "\x68\x02", "\x68\x02"},
       "9600 8N2 none dtr rts"},
      // Flow control, outbound and inbound alike; DCD, DTR and DSR flow control are not offered.
      {{"\x05\x00"s, "\x05\x03", "\x05\x0d", "\x05\x11", "\x05\x12", "\x05\x13"},
       {"\x69\x01", "\x69\x03", "\x69\x10", "\x69\x03", "\x69\x10", "\x69\x03"},
       "9600 8N1 rtscts dtr rts"},
      {{"\x05\x0f", "\x05\x00"s}, {"\x69\x0f", "\x69\x02"}, "9600 8N1 xonxoff dtr rts"},
      {{"\x05\x02", "\x05\x0e", "\x05\x01"}, {"\x69\x02", "\x69\x0e", "\x69\x01"}, kSame},
      // BREAK, DTR, RTS: asked, set, asked again.
      {{"\x05\x04", "\x05\x05", "\x05\x04", "\x05\x09", "\x05\x07", "\x05\x0c", "\x05\x0a"},
       {"\x69\x06", "\x69\x05", "\x69\x05", "\x69\x09", "\x69\x09", "\x69\x0c", "\x69\x0c"},
       "9600 8N1 none break"},
      {{"\x05\x05", "\x05\x06", "\x05\x08", "\x05\x0b"},
       {"\x69\x05", "\x69\x06", "\x69\x08", "\x69\x0b"}, kSame},
      {{"\x05\x03", "\x05\x0c"}, {"\x69\x03", "\x69\x0b"}, "9600 8N1 rtscts dtr rts"},  // RTS held
      {{"\x0c\x01", "\x0c\x02", "\x0c\x03"}, {"\x70\x01", "\x70\x02", "\x70\x03"},
       kSame + " rx tx rx tx"},
      {{"\x0a\x0c", "\x0b\xff"}, {"\x6e\x0c", "\x6f\xff"}, kSame},
      // Ignored: wrong lengths, unknown codes and values, the server's own codes, flow control
      // of the data to the client, an empty payload.
      {{"\x01\x00\x00\x25"s, "\x01\x00\x00\x25\x80\x00"s, "\x02", "\x02\x07\x07", "\x05\x14", "\x0c\x04", "\x0c\x00"s,
        "\x63", "\x65\x00\x00\x25\x80"s, "\x08", "\x09", "\x07", "\x0b", ""},
       {}, kSame},
  };
  for (const Case& c : cases) {
    std::string input, answers;
    for (const std::string& command : c.commands) input += Sb(command);
    for (const std::string& answer : c.answers) answers += Sb(answer);
    ForEachChunking(input.size(), [&](const std::vector<size_t>& cuts) {
      Rfc2217Harness h;
      h.Feed(kClientWill);
      h.TakeClient();
      h.Feed(input, cuts);
      EXPECT_EQ(h.client, answers) << testing::PrintToString(c.commands);
      EXPECT_EQ(h.line.Describe(), c.line);
    });
  }
}

TEST(Rfc2217SessionTest, OptionCommandsCountOnceTheOptionIsOnOrTheOfferIsTaken) {
  Rfc2217Harness h;
  const std::string ask = Sb("\x01\x00\x00\x00\x00"s);
  // The offer not answered yet: a client that uses the option has taken it (its own request
  // crossed the offer), and is answered.
  h.Feed(ask);
  EXPECT_EQ(h.TakeClient(), kOffer + Sb("\x65\x00\x00\x25\x80"s));
  EXPECT_TRUE(h.session.ComPortActive());
  h.Feed("\xff\xfe\x2c\xff\xfc\x2c");  // then refused: the client's word counts
  EXPECT_FALSE(h.session.ComPortActive());
  h.Feed(ask);
  // Another option's subnegotiation, one cut short by a command, one too long.
  h.Feed("\xff\xfa\x18\x01\xff\xf0" + kClientWill + "\xff\xfa\x2c\x00\xff\xfb\x00"s +
         "\xff\xfa\x2c\x00"s + std::string(300, 'x') + "\xff\xf0");
  EXPECT_EQ(h.client, "\xff\xfd\x2c" + "\xff\xfd\x00"s);
  EXPECT_EQ(h.session.ClientSignature(), "");
  h.Feed(Sb("\x00me"s));
  EXPECT_EQ(h.session.ClientSignature(), "me");
}

TEST(Rfc2217SessionTest, ModemAndLineStateToldWhereTheMasksAskForThem) {
  Rfc2217Harness h;
  h.line.modem = TRfc2217Line::TModemLines{.cts = true, .cd = true};
  h.session.ModemLinesChanged({.cts = true});  // not told before the option is on
  EXPECT_EQ(h.TakeClient(), kOffer);
  h.Feed(kClientWill);
  EXPECT_EQ(h.TakeClient(), Sb("\x6b\x90"));  // the first view: CD, CTS
  const auto change = [&h](TRfc2217Line::TModemLines lines) {
    h.session.ModemLinesChanged(lines);
    return h.TakeClient();
  };
  EXPECT_EQ(change({.cts = true, .cd = true}), "");
  EXPECT_EQ(change({.cd = true}), Sb("\x6b\x81"));                // CTS dropped
  EXPECT_EQ(change({.ri = true, .cd = true}), Sb("\x6b\xc0"));    // RI up
  EXPECT_EQ(change({.cd = true}), Sb("\x6b\x84"));                // RI's trailing edge
  EXPECT_EQ(change({.dsr = true}), Sb("\x6b\x2a"));               // CD down, DSR up
  h.Feed(Sb("\x0b\x10"));                                          // CTS only
  EXPECT_EQ(h.TakeClient(), Sb("\x6f\x10"));
  EXPECT_EQ(change({}), "");
  EXPECT_EQ(change({.cts = true}), Sb("\x6b\x10"));
  h.line.modem = TRfc2217Line::TModemLines{.dsr = true, .ri = true};
  h.Feed(Sb("\x07"));  // asked: the whole state, whatever the mask
  EXPECT_EQ(h.TakeClient(), Sb("\x6b\x60"));
  EXPECT_EQ(h.session.ModemStateMask(), 0x10);

  h.session.LineStateChanged(0x08);  // no line states asked for at first
  h.Feed(Sb("\x0a\x0c"));
  h.session.LineStateChanged(0x48);
  h.session.LineStateChanged(0x40);
  EXPECT_EQ(h.TakeClient(), Sb("\x6e\x0c") + Sb("\x6a\x08"));
}

TEST(Rfc2217SessionTest, ClientSuspendsAndResumesTheData) {
  Rfc2217Harness h;
  std::vector<bool> told;
  h.session.OnClientFlow = [&told](bool suspended) { told.push_back(suspended); };
  h.Feed(kClientWill + Sb("\x08") + Sb("\x08"));
  EXPECT_TRUE(h.session.ClientSuspended());
  h.Feed(Sb("\x09"));
  EXPECT_FALSE(h.session.ClientSuspended());
  EXPECT_EQ(told, (std::vector<bool>{true, false}));
  EXPECT_EQ(h.client, kOffer);  // not answered
}

}  // namespace
}  // namespace kov
