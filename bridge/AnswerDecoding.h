#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "text/StringBuffer.h"

// Turning the answer bytes of a single-packet answer into answer text, by question format.
namespace Bridge {

enum class AnswerFormat { Choice, Number, ShortAnswer, Text, Math, Other };

// The format family of a question format term (the full vocabulary term, or empty).
AnswerFormat AnswerFormatOf(const Voxlet::StringBuffer& formatTerm);

// Ten 4-bit codes, low half of each byte first: code c in 1..10 picks choiceValues[c - 1];
// picked values are joined by one blank. Other codes, and codes past the listed values, are
// skipped.
Voxlet::StringBuffer DecodeChoiceAnswer(const uint8_t* bytes, size_t length,
                                        const std::vector<Voxlet::StringBuffer>& choiceValues);

// The same ten codes as characters: 1 "-", 2 ".", 3 "/", 4..13 "0".."9", 14 a blank.
Voxlet::StringBuffer DecodeNumberAnswer(const uint8_t* bytes, size_t length);

// Byte 0 counts the packed bytes that follow; four 6-bit codes per three bytes, most
// significant bits first: 1..10 "0".."9", 11..36 "A".."Z", 37..62 "a".."z", 63 a blank, 0 the
// end. Never reads past length.
Voxlet::StringBuffer DecodeShortAnswer(const uint8_t* bytes, size_t length);

}  // namespace Bridge
