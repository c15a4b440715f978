#pragma once
#include <string_view>

// The clickers' own one-byte character code: characters 0 to 197 and the structure codes
// 200 to 226 of the math keypad (braces, roots, fractions, function names).
namespace ClickerCode {

// The character of a code from 0 to 197; U+0000 for any other code (198, 199 and 200 up).
char16_t Character(unsigned char code);

// The text of a structure code from 200 to 226; empty for any other code.
std::u16string_view StructureText(unsigned char code);

// The function names of the math rewrite: the texts of the structure codes 209 to 226.
constexpr unsigned char kFirstFunctionCode = 209;
constexpr unsigned char kLastStructureCode = 226;
constexpr size_t kFunctionNameCount = kLastStructureCode - kFirstFunctionCode + 1;
std::u16string_view FunctionName(size_t index);

}  // namespace ClickerCode
