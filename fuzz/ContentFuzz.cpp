// Feeds arbitrary bytes to the clicker answer translation (text and math) and, read as a run
// of parts, to the multi-packet answer container.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "content/PacketContainer.h"
#include "content/Translation.h"

namespace {

// Cuts the input into parts: each part is a part-number byte, a length byte and up to that
// many bytes. The first byte is the number of parts the answer has.
PacketContainer FillContainer(const uint8_t* data, size_t size) {
  PacketContainer container(size > 0 ? data[0] : 0);
  size_t at = 1;
  while (at + 2 <= size) {
    const unsigned int part = data[at];
    const size_t length = std::min<size_t>(data[at + 1], size - at - 2);
    container.insertPart(part, data + at + 2, static_cast<int>(length));
    at += 2 + length;
  }
  return container;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const Translation translation;
  const std::vector<unsigned char> bytes(data, data + size);
  translation.translateToUnicodeString(bytes, false);
  translation.translateToUnicodeString(bytes, true);

  // The same bytes as UTF-16 code units, so that every key and function name can appear.
  std::u16string units(size / 2, u'\0');
  std::memcpy(units.data(), data, units.size() * sizeof(char16_t));
  translation.translateMathAnswer(units);

  PacketContainer container = FillContainer(data, size);
  const std::vector<unsigned char>& combined = container.combineAllPacketParts();
  if (container.containsAllParts()) translation.translateToUnicodeString(combined, true);
  return 0;
}
