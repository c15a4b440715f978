#pragma once
#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <variant>

#include "text/StringBuffer.h"

namespace Voxlet {

// One argument of MessageFormat: a whole number, a double or a text.
class FormatArgument {
 public:
  FormatArgument(int value) : m_value(static_cast<int64_t>(value)) {}
  FormatArgument(unsigned value) : m_value(static_cast<int64_t>(value)) {}
  FormatArgument(long value) : m_value(static_cast<int64_t>(value)) {}
  FormatArgument(unsigned long value) : m_value(static_cast<int64_t>(value)) {}
  FormatArgument(long long value) : m_value(static_cast<int64_t>(value)) {}
  FormatArgument(double value) : m_value(value) {}
  FormatArgument(const StringBuffer& value) : m_value(value) {}
  FormatArgument(std::u16string_view value) : m_value(StringBuffer(value)) {}
  FormatArgument(const char16_t* value) : m_value(StringBuffer(value)) {}

  const std::variant<int64_t, double, StringBuffer>& Value() const { return m_value; }

 private:
  std::variant<int64_t, double, StringBuffer> m_value;
};

// ICU MessageFormat: "{0}", "{1,number,#.##}" ... filled from args (numbered from 0), with
// ICU's quoting rules (a doubled apostrophe is one apostrophe). Numbers never carry grouping
// separators, and a number in a plain "{n}" is written with "." as decimal point, so ids built
// with it do not depend on the process locale. Empty text when the pattern is malformed.
StringBuffer MessageFormat(std::u16string_view pattern, std::initializer_list<FormatArgument> args);

// Now plus offsetSeconds as UTC "YYYY-MM-DDTHH:MM:SS.mmmZ": fixed width, so comparing two
// texts compares the times.
StringBuffer CurrentTimestamp(int64_t offsetSeconds = 0);

// prefix followed by 32 random lower-case hexadecimal digits (128 bits): an identifier unique
// in practice, usable as an XML name when prefix is one.
StringBuffer NewId(std::u16string_view prefix = {});

}  // namespace Voxlet
