#include <gtest/gtest.h>

#include <string>

#include "text/StringBuffer.h"

namespace Voxlet {
namespace {

TEST(StringBuffer, WellFormedTextRoundTripsThroughBothEncodings) {
  struct Case {
    std::string utf8;
    StringBuffer utf16;
  };
  const Case cases[] = {
      {"", u""},
      {"Receiver 00-11-AA", u"Receiver 00-11-AA"},
      {"caf\xC3\xA9 \xE2\x82\xAC", u"caf\u00E9 \u20AC"},
      // Outside the basic plane: one code point, two UTF-16 code units.
      {"\xF0\x9F\x98\x80", u"\U0001F600"},
      // A zero inside the text is text, not its end.
      {std::string("a\0b", 3), StringBuffer(u"a\0b", 3)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(UTF8to16(c.utf8), c.utf16) << c.utf8;
    EXPECT_EQ(UTF16to8(c.utf16), c.utf8) << c.utf8;
  }
}

TEST(StringBuffer, MalformedInputBecomesTheReplacementCharacter) {
  // A stray continuation byte, a sequence cut short and an over-long encoding of '/'.
  EXPECT_EQ(UTF8to16("a\x80z"), u"a\uFFFDz");
  EXPECT_EQ(UTF8to16("a\xE2\x82"), u"a\uFFFD");
  EXPECT_EQ(UTF8to16("\xC0\xAF"), u"\uFFFD\uFFFD");
  // A surrogate without its partner cannot be written as UTF-8.
  EXPECT_EQ(UTF16to8(StringBuffer(1, char16_t{0xD83D}) + u"x"), "\xEF\xBF\xBDx");
  EXPECT_EQ(UTF16to8(u"x" + StringBuffer(1, char16_t{0xDE00})), "x\xEF\xBF\xBD");
}

}  // namespace
}  // namespace Voxlet
