// Text from outside made fit for one log line.
#include <gtest/gtest.h>

#include "sdk/LogText.h"

namespace {

TEST(EscapeForLog, PlainTextIsKeptWhateverItsScript) {
  EXPECT_EQ(EscapeForLog(""), "");
  EXPECT_EQ(EscapeForLog("0,97,1 /dev/ttyACM0"), "0,97,1 /dev/ttyACM0");
  EXPECT_EQ(EscapeForLog("caf\xC3\xA9 \xE4\xB8\xAD \xF0\x9F\x99\x82"), "caf\xC3\xA9 \xE4\xB8\xAD \xF0\x9F\x99\x82");
  // U+00A0 and U+2027 sit next to the ranges that are escaped.
  EXPECT_EQ(EscapeForLog("\xC2\xA0\xE2\x80\xA7"), "\xC2\xA0\xE2\x80\xA7");
}

TEST(EscapeForLog, LineBreaksAndOtherControlsBecomeEscapes) {
  EXPECT_EQ(EscapeForLog("a\r\nb"), "a\\r\\nb");
  EXPECT_EQ(EscapeForLog("\n"), "\\n");
  EXPECT_EQ(EscapeForLog("a\tb"), "a\\tb");
  EXPECT_EQ(EscapeForLog(std::string_view("\0\x01\x1B[2J\x7F", 7)), "\\x00\\x01\\x1B[2J\\x7F");
  // NEL and the other C1 controls, and the line and paragraph separators.
  EXPECT_EQ(EscapeForLog("a\xC2\x85z\xC2\x80\xC2\x9F"), "a\\u0085z\\u0080\\u009F");
  EXPECT_EQ(EscapeForLog("a\xE2\x80\xA8z\xE2\x80\xA9"), "a\\u2028z\\u2029");
}

TEST(EscapeForLog, BackslashIsEscapedSoNoEscapeCanBeForged) {
  EXPECT_EQ(EscapeForLog("\\n"), "\\\\n");
  EXPECT_EQ(EscapeForLog("C:\\log\\"), "C:\\\\log\\\\");
  // A text and the escape of another never look alike.
  EXPECT_NE(EscapeForLog("\\r"), EscapeForLog("\r"));
}

TEST(EscapeForLog, CutSequencesAtTheEndAreKept) {
  EXPECT_EQ(EscapeForLog("a\xC2"), "a\xC2");
  EXPECT_EQ(EscapeForLog("a\xE2\x80"), "a\xE2\x80");
}

}  // namespace
