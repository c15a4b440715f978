#include "sdk/LogText.h"

#include <cstdint>
#include <cstdio>

namespace {

void AppendHex(std::string& out, const char* prefix, unsigned value, int digits) {
  char text[12];
  std::snprintf(text, sizeof text, "%s%0*X", prefix, digits, value);
  out += text;
}

}  // namespace

std::string EscapeForLog(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size(); ++i) {
    const auto byte = static_cast<uint8_t>(utf8[i]);
    switch (byte) {
      case '\\':
        out += "\\\\";
        continue;
      case '\r':
        out += "\\r";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case '\t':
        out += "\\t";
        continue;
      default:
        break;
    }
    if (byte < 0x20 || byte == 0x7F) {
      AppendHex(out, "\\x", byte, 2);
      continue;
    }
    // U+0080 to U+009F (C2 80 to C2 9F): NEL among them, which some readers break lines at.
    if (byte == 0xC2 && i + 1 < utf8.size()) {
      const auto next = static_cast<uint8_t>(utf8[i + 1]);
      if (next >= 0x80 && next <= 0x9F) {
        AppendHex(out, "\\u", next, 4);
        ++i;
        continue;
      }
    }
    // U+2028 and U+2029 (E2 80 A8 and E2 80 A9), the line and paragraph separators.
    if (byte == 0xE2 && i + 2 < utf8.size() && static_cast<uint8_t>(utf8[i + 1]) == 0x80) {
      const auto last = static_cast<uint8_t>(utf8[i + 2]);
      if (last == 0xA8 || last == 0xA9) {
        AppendHex(out, "\\u", 0x2000u | (last - 0x80u), 4);
        i += 2;
        continue;
      }
    }
    out += static_cast<char>(byte);
  }
  return out;
}
