// Feeds arbitrary bytes to the HID report descriptor parser as a device would hand them over.
// Besides the sanitizers, checks a property the parser must keep whatever the descriptor: a
// Main item appended to it never makes the reports of that kind shorter (items are walked in
// order, so what follows the descriptor can only add to what it defined).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "connections/HidReportDescriptor.h"

namespace {

uint16_t LengthOf(const HidReportLengths& lengths, uint8_t item) {
  switch (item) {
    case 0x81:
      return lengths.input;
    case 0x91:
      return lengths.output;
    default:
      return lengths.feature;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const HidReportLengths lengths = ParseReportDescriptor(data, size);
  for (const uint8_t item : {uint8_t{0x81}, uint8_t{0x91}, uint8_t{0xB1}}) {
    std::vector<uint8_t> extended(data, data + size);
    extended.insert(extended.end(), {item, 0x02});
    const HidReportLengths after = ParseReportDescriptor(extended.data(), extended.size());
    if (LengthOf(after, item) < LengthOf(lengths, item)) abort();
  }
  return 0;
}
