#pragma once
#include <cstdint>
#include <functional>
#include <vector>

#include "client/StringBuffer.h"

// The serial Plug and Play identifier as a device sends it after the DTR/RTS sequence at
// 1200 7N1: an optional leading "M", then "(...)" in the 7-bit form or 0x08 ... 0x09 in the
// 6-bit form (each byte 0x20 below its character), at most 256 bytes, within 2200 ms of the
// first byte. `first` is that byte; `read` answers up to count bytes within timeoutMs. Empty
// when no identifier began.
Voxlet::StringBuffer CollectPnPId(uint8_t first,
                                  const std::function<std::vector<uint8_t>(size_t count, int timeoutMs)>& read);

// What the Plug and Play sequence needs of a serial port, on the port's I/O thread.
struct PnPLine {
  std::function<void(bool dtr, bool raised)> setModemLine;  // the DTR line, else RTS
  std::function<void()> purge;                              // drops what is queued both ways
  std::function<void()> enterPnPSettings;  // 1200 baud, 7 bits, no parity, DTR and RTS under the program's control
  std::function<void(int ms)> pause;
  std::function<std::vector<uint8_t>(size_t count, int timeoutMs)> read;
};

// The serial Plug and Play enumeration: DTR up and RTS down, a purge and the 1200 7N1 line,
// then the DTR/RTS sequence (both down, DTR up, RTS up, 200 ms apart), once more when no byte
// answers within 200 ms; the identifier that begins (CollectPnPId); last DTR down and RTS up.
// The caller keeps the port's settings and restores them afterwards.
Voxlet::StringBuffer ReadPnPId(const PnPLine& line);
