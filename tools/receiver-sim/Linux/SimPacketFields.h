#pragma once
// The byte fields the simulated receiver's packets share: a short address's high and low byte,
// a 32-bit value in network order, and a student number packed as a join carries it.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace SimPacketFields {

using Bytes = std::vector<uint8_t>;

inline uint8_t Hi(uint16_t v) { return static_cast<uint8_t>(v >> 8); }
inline uint8_t Lo(uint16_t v) { return static_cast<uint8_t>(v); }

inline void PutWord(Bytes& b, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) b.push_back(static_cast<uint8_t>(v >> shift));
}

// A student number as a join carries it: two characters a byte, low nibble first, each of
// "-./0123456789" as 1 to 13. Nothing for other characters or more than 16.
inline std::optional<Bytes> PackStudentNumber(const std::string& number) {
  if (number.empty() || number.size() > 16) return std::nullopt;
  Bytes packed((number.size() + 1) / 2, 0);
  for (size_t k = 0; k < number.size(); ++k) {
    const char c = number[k];
    if (c < '-' || c > '9') return std::nullopt;
    packed[k / 2] |= static_cast<uint8_t>((c - 44) << ((k % 2) * 4));
  }
  return packed;
}

inline bool ValidStudentNumber(const std::string& number) {
  return number.empty() || PackStudentNumber(number).has_value();
}

}  // namespace SimPacketFields
