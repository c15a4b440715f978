#include <gtest/gtest.h>
#include <unicode/locid.h>

#include <algorithm>
#include <regex>
#include <set>

#include "client/Format.h"

namespace Voxlet {
namespace {

bool Matches(const StringBuffer& text, const char* pattern) {
  return std::regex_match(UTF16to8(text), std::regex(pattern));
}

// (A clicker's endpoint id is the clicker registry's test.)
TEST(MessageFormat, NumbersAreNeverGroupedInALocaleThatGroups) {
  const icu::Locale saved = icu::Locale::getDefault();
  UErrorCode status = U_ZERO_ERROR;
  icu::Locale::setDefault(icu::Locale("de_DE"), status);  // groups digits: "1.234.567"
  ASSERT_TRUE(U_SUCCESS(status));
  EXPECT_EQ(MessageFormat(u"{0}", {1234567890123LL}), u"1234567890123");
  EXPECT_EQ(MessageFormat(u"{0}", {-65535}), u"-65535");
  icu::Locale::setDefault(saved, status);
}

// An argument used twice is filled twice, XML with double quotes passes untouched, text
// arguments are not reinterpreted.
TEST(MessageFormat, FillsTemplatesAsTheServiceRequestsUseThem) {
  EXPECT_EQ(MessageFormat(u"/voxlet/builtins/teachers/submit?assessment={0}&class={1}", {u"a-1", u"class 2"}),
            u"/voxlet/builtins/teachers/submit?assessment=a-1&class=class 2");
  EXPECT_EQ(MessageFormat(u"<?xml version=\"1.0\"?><r t=\"{0}\">{0}</r>", {u"x"}),
            u"<?xml version=\"1.0\"?><r t=\"x\">x</r>");
  EXPECT_EQ(MessageFormat(u"{0}", {u"{1} it's"}), u"{1} it's");
}

// Timestamps are fixed-width UTC whose text order is time order; ids are unique hexadecimal.
TEST(CurrentTimestampAndNewId, FixedWidthUtcAndUniqueHexadecimal) {
  const StringBuffer text = CurrentTimestamp();
  EXPECT_TRUE(Matches(text, R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")) << UTF16to8(text);
  // Offsets across a minute, an hour, a day, a year and back into the past.
  const std::vector<int64_t> offsets = {-400 * 86400LL, -3600, -61, -1, 0, 1, 59, 3600, 86400, 366 * 86400LL};
  std::vector<StringBuffer> stamps;
  for (int64_t offset : offsets) stamps.push_back(CurrentTimestamp(offset));
  EXPECT_TRUE(std::is_sorted(stamps.begin(), stamps.end()));
  EXPECT_EQ(std::set<StringBuffer>(stamps.begin(), stamps.end()).size(), stamps.size());
  // A deadline 90 seconds ahead is later than now and earlier than 91 seconds ahead.
  const StringBuffer deadline = CurrentTimestamp(90);
  EXPECT_LT(CurrentTimestamp(), deadline);
  EXPECT_LT(deadline, CurrentTimestamp(91 + 1));

  std::set<StringBuffer> ids;
  for (int i = 0; i < 2000; ++i) ids.insert(NewId());
  EXPECT_EQ(ids.size(), 2000u);
  const StringBuffer id = NewId(u"n");
  EXPECT_TRUE(Matches(id, "n[0-9a-f]{32}")) << UTF16to8(id);
}

}  // namespace
}  // namespace Voxlet
