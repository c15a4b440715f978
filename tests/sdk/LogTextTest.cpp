// Text from outside made fit for one log line.
#include <gtest/gtest.h>

#include "sdk/LogText.h"

namespace {

TEST(EscapeForLog, ControlsLineBreaksAndBackslashesAreEscapedAndTheRestKept) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"", ""},
      {"0,97,1 /dev/ttyACM0", "0,97,1 /dev/ttyACM0"},
      {"caf\xC3\xA9 \xE4\xB8\xAD \xF0\x9F\x99\x82", "caf\xC3\xA9 \xE4\xB8\xAD \xF0\x9F\x99\x82"},
      {"\xC2\xA0\xE2\x80\xA7", "\xC2\xA0\xE2\x80\xA7"},  // next to the ranges that are escaped
      {"a\r\nb", "a\\r\\nb"},
      {"a\tb", "a\\tb"},
      {std::string_view("\0\x01\x1B[2J\x7F", 7), "\\x00\\x01\\x1B[2J\\x7F"},
      {"a\xC2\x85z\xC2\x80\xC2\x9F", "a\\u0085z\\u0080\\u009F"},  // NEL and the other C1 controls
      {"a\xE2\x80\xA8z\xE2\x80\xA9", "a\\u2028z\\u2029"},         // line and paragraph separators
      {"\\n", "\\\\n"},                                           // so that no escape can be forged
      {"a\xC2", "a\xC2"},                                         // cut sequences at the end are kept
      {"a\xE2\x80", "a\xE2\x80"},
  };
  for (const auto& [text, escaped] : cases) EXPECT_EQ(EscapeForLog(text), escaped) << text;
}

}  // namespace
