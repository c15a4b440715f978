#include "protocol/Frame.h"

#include <cstdio>
#include <cstring>

namespace ReceiverFrame {

uint8_t Checksum(const uint8_t* bytes, size_t length) {
  // Eight bytes at a time; XOR is byte-wise, so folding the word gives the byte checksum.
  uint64_t wide = 0;
  size_t i = 0;
  for (; i + 8 <= length; i += 8) {
    uint64_t word;
    memcpy(&word, bytes + i, 8);
    wide ^= word;
  }
  wide ^= wide >> 32;
  wide ^= wide >> 16;
  wide ^= wide >> 8;
  uint8_t sum = static_cast<uint8_t>(wide);
  for (; i < length; ++i) sum ^= bytes[i];
  return sum;
}

size_t LongestRun(const uint8_t* packet, size_t length) {
  size_t longest = 0;
  size_t start = 0;
  while (start <= length) {
    const void* zero = start < length ? memchr(packet + start, 0, length - start) : nullptr;
    const size_t end = zero ? static_cast<size_t>(static_cast<const uint8_t*>(zero) - packet) : length;
    size_t run = end - start;
    if (!zero) {
      // The run reaching the end of the packet goes on through a non-zero checksum.
      if (Checksum(packet, length) != 0) ++run;
      if (run > longest) longest = run;
      break;
    }
    if (run > longest) longest = run;
    start = end + 1;
  }
  return longest;
}

size_t Encode(const uint8_t* packet, size_t length, uint8_t* out) {
  // Runs of non-zero bytes are copied whole; each zero (and the closing delimiter) ends a run
  // whose distance goes into the code byte in front of it.
  const uint8_t sum = Checksum(packet, length);
  size_t code = 0;  // position of the pending code byte
  size_t pos = 0;   // next packet byte to place
  while (pos < length) {
    const void* zero = memchr(packet + pos, 0, length - pos);
    const size_t end = zero ? static_cast<size_t>(static_cast<const uint8_t*>(zero) - packet) : length;
    memcpy(out + pos + 1, packet + pos, end - pos);
    if (!zero) {
      pos = end;
      break;
    }
    const size_t distance = end + 1 - code;
    if (distance > kMaxRun + 1) return 0;
    out[code] = static_cast<uint8_t>(distance);
    code = end + 1;
    pos = end + 1;
  }
  // The checksum at length + 1: a zero checksum closes the run there, else it joins it.
  if (sum == 0) {
    const size_t distance = length + 1 - code;
    if (distance > kMaxRun + 1) return 0;
    out[code] = static_cast<uint8_t>(distance);
    code = length + 1;
  } else {
    out[length + 1] = sum;
  }
  const size_t distance = length + 2 - code;
  if (distance > kMaxRun + 1) return 0;
  out[code] = static_cast<uint8_t>(distance);
  out[length + 2] = 0;
  return length + 3;
}

Decoded Decode(const uint8_t* frame, size_t length, uint8_t* out) {
  Decoded d;
  if (length < 3) return d;
  // Byte i of the frame lands at i - 1; at every position the running code reaches, a zero
  // is restored and the byte found there is the next code. Copies go forward, so the
  // in-place case (out == frame) only ever moves bytes one place down.
  size_t next = frame[0];
  size_t i = 1;
  while (i < length) {
    const size_t stop = next < length ? next : length;
    if (stop > i) {
      memmove(out + i - 1, frame + i, stop - i);
      i = stop;
    }
    if (i >= length) break;
    const uint8_t code = frame[i];
    out[i - 1] = 0;
    // A zero code (only possible at the delimiter) would wrap the 8-bit count: 256 steps on.
    next = i + (code ? code : 256);
    ++i;
  }
  const size_t n = length - 3;
  d.received = out[n];
  d.computed = Checksum(out, n);
  if (d.received != d.computed) {
    d.result = DecodeResult::kBadChecksum;
    return d;
  }
  d.result = DecodeResult::kOk;
  d.length = n;
  return d;
}

std::string HexDump(const uint8_t* bytes, size_t length) {
  std::string text;
  text.reserve(length * 5);
  char item[8];
  for (size_t i = 0; i < length; ++i) {
    const int written = snprintf(item, sizeof item, "0x%x ", bytes[i]);
    text.append(item, static_cast<size_t>(written));
  }
  return text;
}

}  // namespace ReceiverFrame
