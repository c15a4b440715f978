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
