#include "connections/HidReportDescriptor.h"

#include <algorithm>
#include <map>
#include <vector>

namespace {

struct Globals {
  uint32_t reportSize = 0;
  uint32_t reportCount = 0;
  uint8_t reportId = 0;
};

// Reports are counted in bits up to the longest length a HidReportLengths can hold; a
// descriptor that claims more (sizes and counts are 32-bit each) gets that longest length
// rather than a count that wrapped round to a short one.
constexpr uint64_t kMaxBytes = 0xFFFF;
constexpr uint64_t kMaxBits = kMaxBytes * 8;

void AddBits(std::map<uint8_t, uint64_t>& bits, const Globals& globals) {
  const uint64_t add = std::min(uint64_t{globals.reportSize} * globals.reportCount, kMaxBits);
  uint64_t& total = bits[globals.reportId];
  total = std::min(total + add, kMaxBits);
}

uint16_t BytesOf(const std::map<uint8_t, uint64_t>& bits) {
  uint64_t longest = 0;
  for (const auto& [id, count] : bits) longest = std::max(longest, count);
  return longest ? static_cast<uint16_t>(std::min((longest + 7) / 8 + 1, kMaxBytes)) : 0;
}

}  // namespace

HidReportLengths ParseReportDescriptor(const uint8_t* d, size_t length) {
  // Bits per report id and kind, from the short items of the descriptor.
  std::map<uint8_t, uint64_t> input, output, feature;
  Globals globals;
  std::vector<Globals> stack;
  bool numbered = false;
  size_t i = 0;
  while (i < length) {
    const uint8_t prefix = d[i];
    if (prefix == 0xFE) {  // long item: skip it
      if (i + 1 >= length) break;
      i += 3 + d[i + 1];
      continue;
    }
    static constexpr size_t kSizes[] = {0, 1, 2, 4};
    const size_t size = kSizes[prefix & 3];
    if (i + 1 + size > length) break;
    uint32_t value = 0;
    for (size_t b = 0; b < size; ++b) value |= static_cast<uint32_t>(d[i + 1 + b]) << (8 * b);
    switch (prefix & 0xFC) {
      case 0x74:
        globals.reportSize = value;
        break;
      case 0x94:
        globals.reportCount = value;
        break;
      case 0x84:
        globals.reportId = static_cast<uint8_t>(value);
        numbered = true;
        break;
      case 0xA4:
        stack.push_back(globals);
        break;
      case 0xB4:
        if (!stack.empty()) {
          globals = stack.back();
          stack.pop_back();
        }
        break;
      case 0x80:
        AddBits(input, globals);
        break;
      case 0x90:
        AddBits(output, globals);
        break;
      case 0xB0:
        AddBits(feature, globals);
        break;
      default:
        break;
    }
    i += 1 + size;
  }
  return {BytesOf(input), BytesOf(output), BytesOf(feature), numbered};
}
