#include "content/HexFields.h"

#include <charconv>

namespace Content {

void AppendHex(Voxlet::StringBuffer& text, uint64_t value) {
  char digits[16];
  const auto end = std::to_chars(digits, digits + sizeof digits, value, 16).ptr;
  text.append(digits, end);
}

void AppendHexField(Voxlet::StringBuffer& text, uint64_t value) {
  text += u',';
  AppendHex(text, value);
}

}  // namespace Content
