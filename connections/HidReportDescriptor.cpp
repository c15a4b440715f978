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

uint16_t BytesOf(const std::map<uint8_t, uint32_t>& bits) {
  uint32_t longest = 0;
  for (const auto& [id, count] : bits) longest = std::max(longest, count);
  return longest ? static_cast<uint16_t>((longest + 7) / 8 + 1) : 0;
}

}  // namespace

HidReportLengths ParseReportDescriptor(const uint8_t* d, size_t length) {
  // Bits per report id and kind, from the short items of the descriptor.
  std::map<uint8_t, uint32_t> input, output, feature;
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
        input[globals.reportId] += globals.reportSize * globals.reportCount;
        break;
      case 0x90:
        output[globals.reportId] += globals.reportSize * globals.reportCount;
        break;
      case 0xB0:
        feature[globals.reportId] += globals.reportSize * globals.reportCount;
        break;
      default:
        break;
    }
    i += 1 + size;
  }
  return {BytesOf(input), BytesOf(output), BytesOf(feature), numbered};
}
