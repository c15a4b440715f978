#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace Voxlet {

// The one wide-string type of the system: UTF-16 text with value semantics. char16_t is
// also Xerces' XMLCh, so DOM strings pass without copies of another type.
using StringBuffer = std::u16string;
using StringList = std::vector<StringBuffer>;

// The only UTF-8 <-> UTF-16 conversions of the system. Invalid input becomes U+FFFD.
StringBuffer UTF8to16(std::string_view utf8);
std::string UTF16to8(std::u16string_view utf16);

}  // namespace Voxlet
