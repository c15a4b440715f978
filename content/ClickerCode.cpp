#include "content/ClickerCode.h"

#include <array>

namespace ClickerCode {
namespace {

constexpr unsigned char kFirstStructureCode = 200;

// Codes 0 to 31 and 127 to 197; 32 to 126 are ASCII.
constexpr std::array<char16_t, 32> kLowCodes = {
    u'\u00B1', u'\u00F7', u'\u00B0', u'\u221E', u'\u2208', u'\u2192', u'\u21C6', u'\u2220',
    u'\u27C2', u'\u2225', u'\u2206', u'\u2260', u'\u2248', u'\u2245', u'\u2264', u'\u2265',
    u'\u00D7', u'\u03B1', u'\u03B2', u'\u03B3', u'\u03B4', u'\u03B8', u'\u03BB', u'\u03BC',
    u'\u03C0', u'\u03C1', u'\u03C3', u'\u03C4', u'\u03C6', u'\u03A9', u'\u03A6', u'\u2209',
};
constexpr unsigned char kFirstHighCode = 127;
constexpr std::array<char16_t, 71> kHighCodes = {
    u'\u2205',
    // 128 to 143
    u'\u00A3',
    u'\u20AC',
    u'\u00C0',
    u'\u00C1',
    u'\u00C2',
    u'\u00C3',
    u'\u00C4',
    u'\u00C5',
    u'\u00C6',
    u'\u00C7',
    u'\u00C8',
    u'\u00C9',
    u'\u00CA',
    u'\u00CB',
    u'\u00CC',
    u'\u00CD',
    // 144 to 159
    u'\u00CE',
    u'\u00CF',
    u'\u00D1',
    u'\u00D2',
    u'\u00D3',
    u'\u00D4',
    u'\u00D5',
    u'\u00D6',
    u'\u00D8',
    u'\u00D9',
    u'\u00DA',
    u'\u00DB',
    u'\u00DC',
    u'\u0178',
    u'\u2026',
    u'\u0152',
    // 160 to 175
    u'\u00E0',
    u'\u00E1',
    u'\u00E2',
    u'\u00E3',
    u'\u00E4',
    u'\u00E5',
    u'\u00E6',
    u'\u00E7',
    u'\u00E8',
    u'\u00E9',
    u'\u00EA',
    u'\u00EB',
    u'\u00EC',
    u'\u00ED',
    u'\u00EE',
    u'\u00EF',
    // 176 to 191
    u'\u00F1',
    u'\u00F2',
    u'\u00F3',
    u'\u00F4',
    u'\u00F5',
    u'\u00F6',
    u'\u00F8',
    u'\u00F9',
    u'\u00FA',
    u'\u00FB',
    u'\u00FC',
    u'\u00FF',
    u'\u00DF',
    u'\u0153',
    u'\u00BF',
    u'\u00A1',
    // 192 to 197
    u'\u201E',
    u'\u201A',
    u'\u00BB',
    u'\u00AB',
    u'\u203A',
    u'\u2039',
};

constexpr std::array<std::u16string_view, 27> kStructureTexts = {
    u"{",      u"}",      u"[",      u"]",    u"\\sqrt", u"\\sqrt", u"\\frac", u"^",    u"_",
    u"arccos", u"arcsin", u"arctan", u"cosh", u"coth",   u"csch",   u"tanh",   u"sinh", u"log_",
    u"\\\\\\", u"cos",    u"cot",    u"csc",  u"sec",    u"sin",    u"tan",    u"log",  u"ln",
};
static_assert(kFirstStructureCode + kStructureTexts.size() - 1 == kLastStructureCode);

}  // namespace

char16_t Character(unsigned char code) {
  if (code < kLowCodes.size()) return kLowCodes[code];
  if (code < kFirstHighCode) return static_cast<char16_t>(code);
  const size_t high = code - kFirstHighCode;
  return high < kHighCodes.size() ? kHighCodes[high] : u'\0';
}

std::u16string_view StructureText(unsigned char code) {
  if (code < kFirstStructureCode || code > kLastStructureCode) return {};
  return kStructureTexts[code - kFirstStructureCode];
}

std::u16string_view FunctionName(size_t index) {
  return index < kFunctionNameCount ? kStructureTexts[kFirstFunctionCode - kFirstStructureCode + index]
                                    : std::u16string_view();
}

}  // namespace ClickerCode
