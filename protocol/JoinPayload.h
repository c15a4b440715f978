#pragma once
#include <cstddef>
#include <cstdint>

#include "text/StringBuffer.h"

// The student id of a join: two characters per byte, low nibble first, at most 16. Nibbles
// 1..13 stand for "-./0123456789"; 0, 14 and 15 end the text.
Voxlet::StringBuffer DecodeStudentId(const uint8_t* bytes, size_t length);
