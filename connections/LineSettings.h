#pragma once
#include <cstdint>

// A serial line's settings in the receiver's terms: parity 0 none, 1 odd, 2 even, 3 mark,
// 4 space; stop bits 0 one, 1 one and a half, 2 two.
struct LineSettings {
  uint32_t baudRate = 9600;
  uint8_t byteSize = 8;
  uint8_t parity = 0;
  uint8_t stopBits = 0;

  bool operator==(const LineSettings&) const = default;
};
