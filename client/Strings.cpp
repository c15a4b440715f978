#include "client/Strings.h"

#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <charconv>
#include <cmath>
#include <cstdio>

namespace Voxlet {
namespace {

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

std::u16string_view TrimBlanks(std::u16string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// Where the digits of a number start: after one optional "+", which a "-" may not follow.
const char* SkipPlus(const std::string& ascii) {
  if (ascii[0] != '+') return ascii.data();
  return (ascii.size() > 1 && ascii[1] == '-') ? nullptr : ascii.data() + 1;
}

// The text as ASCII, or nothing when it holds anything else (numbers never do).
bool ToAscii(std::u16string_view text, std::string& out) {
  out.clear();
  out.reserve(text.size());
  for (char16_t c : text) {
    if (c > 0x7F) return false;
    out.push_back(static_cast<char>(c));
  }
  return true;
}

StringBuffer FromAscii(std::string_view text) { return StringBuffer(text.begin(), text.end()); }

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const char x = (a[i] >= 'A' && a[i] <= 'Z') ? static_cast<char>(a[i] + 32) : a[i];
    if (x != b[i]) return false;
  }
  return true;
}

}  // namespace

StringList Tokenize(std::u16string_view text, std::u16string_view delimiters, bool keepEmpty) {
  StringList pieces;
  size_t start = 0;
  while (true) {
    const size_t end = text.find_first_of(delimiters, start);
    const std::u16string_view piece = text.substr(start, end == std::u16string_view::npos ? end : end - start);
    if (keepEmpty || !piece.empty()) pieces.emplace_back(piece);
    if (end == std::u16string_view::npos) break;
    start = end + 1;
  }
  return pieces;
}

bool CompareStringLiterals(std::u16string_view a, std::u16string_view b, bool ignoreCase) {
  if (!ignoreCase) return a == b;
  const icu::UnicodeString ua(false, a.data(), static_cast<int32_t>(a.size()));
  const icu::UnicodeString ub(false, b.data(), static_cast<int32_t>(b.size()));
  return ua.caseCompare(ub, U_FOLD_CASE_DEFAULT) == 0;
}

int64_t ParseInteger(std::u16string_view text, int64_t defaultValue) {
  std::string ascii;
  if (!ToAscii(TrimBlanks(text), ascii) || ascii.empty()) return defaultValue;
  const char* begin = SkipPlus(ascii);
  const char* end = ascii.data() + ascii.size();
  if (!begin) return defaultValue;
  int64_t value = 0;
  const auto [ptr, ec] = std::from_chars(begin, end, value);
  return (ec == std::errc() && ptr == end) ? value : defaultValue;
}

double ParseDouble(std::u16string_view text, double defaultValue) {
  std::string ascii;
  if (!ToAscii(TrimBlanks(text), ascii) || ascii.empty()) return defaultValue;
  const char* begin = SkipPlus(ascii);
  const char* end = ascii.data() + ascii.size();
  if (!begin) return defaultValue;
  double value = 0;
  const auto [ptr, ec] = std::from_chars(begin, end, value);
  return (ec == std::errc() && ptr == end) ? value : defaultValue;
}

bool ParseBoolean(std::u16string_view text, bool defaultValue) {
  std::string ascii;
  if (!ToAscii(TrimBlanks(text), ascii)) return defaultValue;
  for (const char* t : {"true", "yes", "1"})
    if (EqualsIgnoringAsciiCase(ascii, t)) return true;
  for (const char* f : {"false", "no", "0"})
    if (EqualsIgnoringAsciiCase(ascii, f)) return false;
  return defaultValue;
}

StringBuffer FormatInteger(int64_t value) {
  char buffer[24];
  const auto [ptr, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  return FromAscii(std::string_view(buffer, static_cast<size_t>(ptr - buffer)));
}

StringBuffer FormatDouble(double value) {
  if (std::isnan(value)) return u"nan";
  char buffer[32];
  const auto [ptr, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  return FromAscii(std::string_view(buffer, static_cast<size_t>(ptr - buffer)));
}

StringBuffer FormatBoolean(bool value) { return value ? u"true" : u"false"; }

StringBuffer SafeForXml(std::u16string_view text) {
  StringBuffer out;
  out.reserve(text.size());
  for (char16_t c : text) {
    switch (c) {
      case u'&':
        out += u"&amp;";
        break;
      case u'<':
        out += u"&lt;";
        break;
      case u'>':
        out += u"&gt;";
        break;
      case u'"':
        out += u"&quot;";
        break;
      case u'\'':
        out += u"&apos;";
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

namespace Url {
StringBuffer Encode(std::u16string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const std::string utf8 = UTF16to8(text);
  StringBuffer out;
  out.reserve(utf8.size());
  for (unsigned char c : utf8) {
    const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                            c == '_' || c == '.' || c == '~';
    if (unreserved) {
      out.push_back(c);
    } else {
      out.push_back(u'%');
      out.push_back(static_cast<char16_t>(kHex[c >> 4]));
      out.push_back(static_cast<char16_t>(kHex[c & 0xF]));
    }
  }
  return out;
}
}  // namespace Url

}  // namespace Voxlet
