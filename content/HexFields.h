#pragma once
#include <cstdint>

#include "text/StringBuffer.h"

namespace Content {

// Appends value as lower-case hexadecimal without leading zeros ("%x").
void AppendHex(Voxlet::StringBuffer& text, uint64_t value);

// Appends "," and the value in hexadecimal (",%x"): one field of a packet text.
void AppendHexField(Voxlet::StringBuffer& text, uint64_t value);

}  // namespace Content
