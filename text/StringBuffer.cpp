#include "text/StringBuffer.h"

#include <unicode/unistr.h>

namespace Voxlet {

StringBuffer UTF8to16(std::string_view utf8) {
  const icu::UnicodeString u =
      icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
  return StringBuffer(u.getBuffer(), static_cast<size_t>(u.length()));
}

std::string UTF16to8(std::u16string_view utf16) {
  const icu::UnicodeString u(false, utf16.data(), static_cast<int32_t>(utf16.size()));
  std::string out;
  u.toUTF8String(out);
  return out;
}

}  // namespace Voxlet
