#include "protocol/JoinPayload.h"

Voxlet::StringBuffer DecodeStudentId(const uint8_t* bytes, size_t length) {
  constexpr size_t kMaxCharacters = 16;
  Voxlet::StringBuffer id;
  for (size_t i = 0; i < length && id.size() < kMaxCharacters; ++i) {
    const uint8_t nibbles[2] = {static_cast<uint8_t>(bytes[i] & 0x0F), static_cast<uint8_t>(bytes[i] >> 4)};
    for (uint8_t v : nibbles) {
      if (v == 0 || v >= 14 || id.size() >= kMaxCharacters) return id;
      id.push_back(static_cast<char16_t>(44 + v));
    }
  }
  return id;
}
