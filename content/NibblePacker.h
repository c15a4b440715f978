#pragma once
#include <array>
#include <cstddef>

namespace Content {

// Packs small values (0 to 15) into the five answer bytes of a question, low half of byte 1
// first, then its high half, then byte 2 and so on. After the tenth value the position
// returns to the low half of byte 1 and further values are OR-ed into what is there.
class NibblePacker {
 public:
  explicit NibblePacker(std::array<unsigned char, 5>& bytes) : m_bytes(bytes) {}

  void Add(unsigned int value) {
    const size_t position = m_count++ % (m_bytes.size() * 2);
    const unsigned int shift = (position % 2) * 4;
    m_bytes[position / 2] |= static_cast<unsigned char>((value & 0xF) << shift);
  }

 private:
  std::array<unsigned char, 5>& m_bytes;
  size_t m_count = 0;
};

}  // namespace Content
