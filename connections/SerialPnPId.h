#pragma once
#include <cstdint>
#include <functional>
#include <vector>

#include "text/StringBuffer.h"

// The serial Plug and Play identifier as a device sends it after the DTR/RTS sequence at
// 1200 7N1: an optional leading "M", then "(...)" in the 7-bit form or 0x08 ... 0x09 in the
// 6-bit form (each byte 0x20 below its character), at most 256 bytes, within 2200 ms of the
// first byte. `first` is that byte; `read` answers up to count bytes within timeoutMs. Empty
// when no identifier began.
Voxlet::StringBuffer CollectPnPId(uint8_t first,
                                  const std::function<std::vector<uint8_t>(size_t count, int timeoutMs)>& read);

// What the enumeration does to a port, on its I/O thread.
struct PnPSteps {
  std::function<void(bool raised)> setDtr;
  std::function<void(bool raised)> setRts;
  std::function<void()> purge;
  std::function<void(int ms)> pause;
  // Sets the line to 1200 baud, 7 data bits, no parity.
  std::function<void()> enterPnPLine;
  std::function<std::vector<uint8_t>(size_t count, int timeoutMs)> read;
};

// The whole enumeration: RTS down and DTR up, purge, 1200 7N1, the DTR/RTS sequence (once
// more when no byte came within 200 ms), the identifier, and DTR down, RTS up at the end. The
// port restores its own line settings afterwards.
Voxlet::StringBuffer ReadPnPId(const PnPSteps& steps);
