#include "bridge/AnswerDecoding.h"

#include "client/Namespaces.h"

namespace Bridge {

namespace {

constexpr size_t kCodeBytes = 5;  // ten 4-bit codes

// The 4-bit code number i (0..9): the low half of byte i / 2 first.
int Nibble(const uint8_t* bytes, size_t length, size_t i) {
  const size_t at = i / 2;
  if (at >= length) return 0;
  return (i % 2 == 0) ? (bytes[at] & 0x0F) : (bytes[at] >> 4);
}

char16_t ShortAnswerCharacter(int code) {
  if (code <= 10) return static_cast<char16_t>(u'0' + code - 1);
  if (code <= 36) return static_cast<char16_t>(u'A' + code - 11);
  if (code <= 62) return static_cast<char16_t>(u'a' + code - 37);
  return u' ';
}

}  // namespace

AnswerFormat AnswerFormatOf(const Voxlet::StringBuffer& formatTerm) {
  static const Voxlet::StringBuffer kBase = Voxlet::VocabularyTerm(u"questionformat#");
  if (formatTerm.size() <= kBase.size() || formatTerm.compare(0, kBase.size(), kBase) != 0) return AnswerFormat::Other;
  const std::u16string_view name = std::u16string_view(formatTerm).substr(kBase.size());
  if (name == u"ordering" || name == u"selection" || name == u"choice" || name == u"matching")
    return AnswerFormat::Choice;
  if (name == u"decimal" || name == u"fractional" || name == u"fraction") return AnswerFormat::Number;
  if (name == u"short-answer") return AnswerFormat::ShortAnswer;
  if (name == u"text") return AnswerFormat::Text;
  if (name == u"math") return AnswerFormat::Math;
  return AnswerFormat::Other;
}

Voxlet::StringBuffer DecodeChoiceAnswer(const uint8_t* bytes, size_t length,
                                        const std::vector<Voxlet::StringBuffer>& choiceValues) {
  Voxlet::StringBuffer text;
  for (size_t i = 0; i < 2 * kCodeBytes; ++i) {
    const int code = Nibble(bytes, length, i);
    if (code < 1 || code > 10 || static_cast<size_t>(code) > choiceValues.size()) continue;
    if (!text.empty()) text += u' ';
    text += choiceValues[static_cast<size_t>(code - 1)];
  }
  return text;
}

Voxlet::StringBuffer DecodeNumberAnswer(const uint8_t* bytes, size_t length) {
  static constexpr char16_t kCharacters[] = u"?-./0123456789 ";
  Voxlet::StringBuffer text;
  for (size_t i = 0; i < 2 * kCodeBytes; ++i) {
    const int code = Nibble(bytes, length, i);
    if (code >= 1 && code <= 14) text += kCharacters[code];
  }
  return text;
}

Voxlet::StringBuffer DecodeShortAnswer(const uint8_t* bytes, size_t length) {
  Voxlet::StringBuffer text;
  if (length == 0) return text;
  const size_t count = bytes[0];
  const uint8_t* data = bytes + 1;
  const size_t available = length - 1;
  // Character k of the code takes 6 bits starting at bit 6k of the data bytes; the byte
  // counter is how many data bytes have been finished, as the clicker packs them.
  size_t counter = 0;
  for (size_t k = 0;; ++k) {
    if (counter >= 15) break;
    const size_t bit = 6 * k;
    const size_t first = bit / 8;
    const size_t last = (bit + 5) / 8;
    if (last >= available) break;  // the character is not all there
    const unsigned window = (static_cast<unsigned>(data[first]) << 8) | (last > first ? data[last] : 0u);
    const unsigned shift = 16 - 6 - (bit % 8);
    const int code = static_cast<int>((window >> shift) & 0x3F);
    if (k % 4 != 0) ++counter;
    if (code == 0) break;
    text += ShortAnswerCharacter(code);
    if (counter >= count) break;
  }
  return text;
}

}  // namespace Bridge
