#include "protocol/CommandText.h"

#include <cctype>
#include <cstdlib>
#include <string>

namespace {

// Reads a field as "%x" does: leading blanks, an optional 0x, then hexadecimal digits up to
// the first other character.
uint8_t FieldValue(std::string_view field) {
  size_t i = 0;
  while (i < field.size() && isspace(static_cast<unsigned char>(field[i]))) ++i;
  if (i == field.size()) return 0;
  std::string digits(field.substr(i));
  char* end = nullptr;
  const unsigned long value = strtoul(digits.c_str(), &end, 16);
  // strtoul also takes a sign; "%x" does too, but a field with no digit at all fails.
  if (end == digits.c_str()) return 0xFF;
  return static_cast<uint8_t>(value);
}

}  // namespace

std::vector<uint8_t> ParseCommandText(std::string_view text) {
  std::vector<uint8_t> bytes;
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    const std::string_view field = text.substr(start, comma == std::string_view::npos ? comma : comma - start);
    bytes.push_back(FieldValue(field));
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  return bytes;
}
