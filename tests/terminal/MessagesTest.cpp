#include <gtest/gtest.h>

#include <string>

#include "terminal/Messages.h"

namespace kov {
namespace {

TEST(ErrorMessageTest, EveryCodeOfTheTable) {
  EXPECT_EQ(ErrorMessage(-300), "The name specified is not recognized as command.");
  EXPECT_EQ(ErrorMessage(-299), "TermError: No Handle Function for Command !");
  EXPECT_EQ(ErrorMessage(-298), "FileError: Can't open BridgeConfig.sys file !");
  EXPECT_EQ(ErrorMessage(-297), "TermError: Bad parameters.");
  EXPECT_EQ(ErrorMessage(-296), "FileError: Wrong data in BridgeConfig.sys file.");
  EXPECT_EQ(ErrorMessage(-295), "SerCommError: Port already opened.");
  EXPECT_EQ(ErrorMessage(-101), "SerCommError: Parameter out of range !");
  EXPECT_EQ(ErrorMessage(-12), "SerCommError: Unsupported baud rate !");
  EXPECT_EQ(ErrorMessage(-11), "SerCommError: Unsupported byte size !");
  EXPECT_EQ(ErrorMessage(-10), "SerCommError: Hardware error !");
  EXPECT_EQ(ErrorMessage(-5), "SerCommError: In default parameters !");
  EXPECT_EQ(ErrorMessage(-4), "SerCommError: Cannot allocate memory !");
  EXPECT_EQ(ErrorMessage(-3), "SerCommError: Port not opened.");
  EXPECT_EQ(ErrorMessage(-2), "SerCommError: Cannot open port !");
  EXPECT_EQ(ErrorMessage(-1), "SerCommError: Bad port ID !");
}

TEST(ErrorMessageTest, CodesNotListed) {
  for (int32_t code : {-9, -8, -7, -6, -13, -100, -102, -294, -301, 0, 1, INT32_MIN}) {
    EXPECT_EQ(ErrorMessage(code), "Unown Error !") << code;
  }
}

TEST(ErrorReportTest, MessageThenTwoLineEndsAndPrompt) {
  EXPECT_EQ(ErrorReport(-3), "SerCommError: Port not opened.\n\r\n\rBridge:\\>");
  EXPECT_EQ(ErrorReport(-7), "Unown Error !\n\r\n\rBridge:\\>");
  for (int32_t code = -301; code <= 0; ++code) {
    EXPECT_LE(ErrorMessage(code).size(), 61u);
  }
}

}  // namespace
}  // namespace kov
