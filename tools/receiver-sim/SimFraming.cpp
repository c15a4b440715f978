#include "SimFraming.h"

namespace SimFraming {

std::vector<uint8_t> Frame(const std::vector<uint8_t>& packet) {
  std::vector<uint8_t> data = packet;
  uint8_t sum = 0;
  for (uint8_t b : packet) sum ^= b;
  data.push_back(sum);
  std::vector<uint8_t> out;
  std::vector<uint8_t> block;
  for (uint8_t b : data) {
    if (b == 0) {
      out.push_back(static_cast<uint8_t>(block.size() + 1));
      out.insert(out.end(), block.begin(), block.end());
      block.clear();
    } else {
      block.push_back(b);
    }
  }
  out.push_back(static_cast<uint8_t>(block.size() + 1));
  out.insert(out.end(), block.begin(), block.end());
  out.push_back(0);
  return out;
}

std::optional<std::vector<uint8_t>> Unframe(const std::vector<uint8_t>& stuffed) {
  std::vector<uint8_t> out;
  size_t i = 0;
  while (i < stuffed.size()) {
    const size_t code = stuffed[i];
    if (code == 0 || i + code > stuffed.size()) return std::nullopt;
    out.insert(out.end(), stuffed.begin() + static_cast<long>(i) + 1, stuffed.begin() + static_cast<long>(i + code));
    i += code;
    if (i < stuffed.size()) out.push_back(0);
  }
  if (out.size() < 4) return std::nullopt;  // three header bytes and the checksum
  uint8_t sum = 0;
  for (size_t j = 0; j + 1 < out.size(); ++j) sum ^= out[j];
  if (sum != out.back()) return std::nullopt;
  out.pop_back();
  return out;
}

}  // namespace SimFraming
