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

namespace LinkResult {
// Open results: 0 success, 2 not present, 3 in use (held by another program), 110 already open.
constexpr uint32_t kSuccess = 0;
constexpr uint32_t kNotPresent = 2;
constexpr uint32_t kInUse = 3;
constexpr uint32_t kAlreadyOpen = 110;
// Maps an errno from opening a device to the result above; other values pass through.
uint32_t FromErrno(int error);
}  // namespace LinkResult
