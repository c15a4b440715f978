#pragma once
// How a clicker puts an answer into bytes: the five answer bytes of a single-packet answer
// (choice and number codes in nibbles, short answers in a 6-bit code) and the clicker's own
// one-byte character code of the multi-packet text and math answers. Written apart from the
// service's decoders so that a fault in one shows against the other.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace SimAnswers {

using Bytes = std::vector<uint8_t>;
using AnswerBytes = std::array<uint8_t, 5>;

// How an answer travels, by the question type code of a question batch.
enum class Kind { Choice, Number, ShortAnswer, Text, Math };
Kind KindOfType(uint8_t typeCode);
const char* KindName(Kind kind);
std::optional<Kind> KindFromName(std::string_view name);  // "choice", "number", "short", "text", "math"

// Choice formats: one 4-bit code per chosen position (1 to 10), low half of byte 0 first.
// Nothing for no position, more than ten, or a position outside 1 to 10.
std::optional<AnswerBytes> EncodeChoice(const std::vector<int>& positions);

// Positions from a typed choice answer: letters A to J (either case), numbers 1 to 10,
// true/false and yes/no (1 and 2); separated by blanks or commas, or letters run together
// ("AC"). Nothing when a word is none of these.
std::optional<std::vector<int>> ParseChoice(std::string_view text);

// Number formats: one 4-bit code per character of "-./0123456789 " (1 to 14), at most ten.
std::optional<AnswerBytes> EncodeNumber(std::string_view text);

// Short answers: byte 0 counts the packed bytes that follow; characters 0-9, A-Z, a-z and
// blank as 6-bit codes 1 to 63, four to three bytes. At most five characters fit.
constexpr size_t kMaxShortAnswer = 5;
std::optional<AnswerBytes> EncodeShortAnswer(std::string_view text);

// Text answers in the clicker character code (codes 0 to 197); nothing when a character has
// no code. The text is UTF-8.
std::optional<Bytes> EncodeText(std::string_view utf8);

// Math answers: as text, but "{", "}", "^" and "_" are the keypad's structure keys, and a
// backslash names a structure key: \sqrt, \frac, \sin, \cos, \tan, \sec, \csc, \cot, \sinh,
// \cosh, \tanh, \coth, \csch, \arcsin, \arccos, \arctan, \log, \log_, \ln; "\\", "\{", "\}",
// "\^" and "\_" are the plain characters. Nothing for an unknown name or a character without
// a code.
std::optional<Bytes> EncodeMath(std::string_view utf8);

// The ENHANCED_ANSWER_UPLOAD packets of one answer from the clicker at `address`: at most
// `chunk` data bytes each; the first carries the question number. Nothing when the answer
// needs more than 255 packets.
std::optional<std::vector<Bytes>> EnhancedPackets(uint16_t address, uint8_t sequence, uint8_t question,
                                                  const Bytes& data, size_t chunk);

// The text a clicker shows for an answer typed as `text`, encoded for `kind`: the bytes, or
// nothing when the text cannot be sent that way.
std::optional<Bytes> Encode(Kind kind, std::string_view text);

// UTF-8 to UTF-16 code units (characters outside the basic plane become U+FFFD).
std::u16string Utf8ToUtf16(std::string_view utf8);

}  // namespace SimAnswers
