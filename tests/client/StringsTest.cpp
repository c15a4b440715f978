#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "client/Strings.h"

namespace Voxlet {
namespace {

TEST(Strings, TokenizeCompareAndEscape) {
  EXPECT_EQ(Tokenize(u"a;b,,c;", u";,"), (StringList{u"a", u"b", u"c"}));
  EXPECT_EQ(Tokenize(u"", u";"), StringList{});
  EXPECT_EQ(Tokenize(u"whole", u";"), StringList{u"whole"});
  EXPECT_TRUE(CompareStringLiterals(u"feedback#never", u"feedback#never", false));
  EXPECT_FALSE(CompareStringLiterals(u"feedback#never", u"Feedback#Never", false));
  EXPECT_FALSE(CompareStringLiterals(u"feedback#never", u"feedback#neve", false));
  EXPECT_EQ(Url::Encode(u"receiver.00-11-AA_~"), u"receiver.00-11-AA_~");
  EXPECT_EQ(Url::Encode(u"a b&c=d/e?f"), u"a%20b%26c%3Dd%2Fe%3Ff");
  EXPECT_EQ(Url::Encode(u"caf\u00E9\U0001F600"), u"caf%C3%A9%F0%9F%98%80");
  EXPECT_EQ(SafeForXml(u"a<b>&\"c'"), u"a&lt;b&gt;&amp;&quot;c&apos;");
}

TEST(Strings, ParseIntegerBooleanDoubleOrGiveTheDefault) {
  EXPECT_EQ(ParseInteger(u" -7 "), -7);
  EXPECT_EQ(ParseInteger(u"+5"), 5);
  EXPECT_EQ(ParseInteger(u"9223372036854775807"), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(ParseInteger(u"9223372036854775808", -1), -1);
  for (const char16_t* bad : {u"", u"  ", u"12a", u"1.5", u"+-5", u"0x10", u"\u0661"})
    EXPECT_EQ(ParseInteger(bad, -99), -99) << UTF16to8(bad);
  for (int64_t v : {int64_t{0}, int64_t{-1}, int64_t{1234567}, std::numeric_limits<int64_t>::min()})
    EXPECT_EQ(ParseInteger(FormatInteger(v), 1), v);
  for (const char16_t* yes : {u"TRUE", u" yes", u"1", u"maybe"}) EXPECT_TRUE(ParseBoolean(yes, true)) << UTF16to8(yes);
  for (const char16_t* no : {u"false", u"No"}) EXPECT_FALSE(ParseBoolean(no, true)) << UTF16to8(no);
  EXPECT_FALSE(ParseBoolean(u"", false));
  EXPECT_DOUBLE_EQ(ParseDouble(u"0.8765"), 0.8765);
  EXPECT_DOUBLE_EQ(ParseDouble(u"-1.5e2"), -150.0);
  EXPECT_TRUE(std::isnan(ParseDouble(u"nan")));
  for (const char16_t* bad : {u"0,5", u"abc", u""}) EXPECT_EQ(ParseDouble(bad, 3.0), 3.0) << UTF16to8(bad);
}

}  // namespace
}  // namespace Voxlet
