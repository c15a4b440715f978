#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// Receiver link framing: a packet (16-bit big-endian address, command id, payload) travels as
// COBS-stuffed bytes of the packet plus an XOR checksum, closed by one 0x00 delimiter.
namespace ReceiverFrame {

// Largest payload of one incoming packet.
constexpr size_t kMaxPayload = 256;
// Packet header: address high, address low, command id.
constexpr size_t kHeaderLength = 3;
// Longest packet either way: the receiver takes no more than it sends.
constexpr size_t kMaxPacket = kHeaderLength + kMaxPayload;
// The longest stuffed run a single code byte can describe.
constexpr size_t kMaxRun = 254;

// XOR of all bytes, starting from 0.
uint8_t Checksum(const uint8_t* bytes, size_t length);

// Length of the longest run of non-zero bytes in the packet followed by its checksum.
size_t LongestRun(const uint8_t* packet, size_t length);

// True when the packet can be framed: no stuffed run (checksum included) longer than kMaxRun.
inline bool CanFrame(const uint8_t* packet, size_t length) { return LongestRun(packet, length) <= kMaxRun; }

// Writes the frame of the packet (length + 3 bytes) to out, which must hold length + 3 bytes.
// Returns the frame length, or 0 when the packet cannot be framed (out is then undefined).
size_t Encode(const uint8_t* packet, size_t length, uint8_t* out);

enum class DecodeResult { kOk, kTooShort, kBadChecksum };

struct Decoded {
  DecodeResult result = DecodeResult::kTooShort;
  size_t length = 0;     // packet length n (0 unless kOk)
  uint8_t received = 0;  // checksum byte carried in the frame
  uint8_t computed = 0;  // checksum of the decoded packet bytes
};

// Decodes one frame of `length` bytes, its 0x00 delimiter included, into out (length - 1 bytes:
// the packet, its checksum and one trailing byte). out may equal frame (in place).
Decoded Decode(const uint8_t* frame, size_t length, uint8_t* out);

// "0x%x " per byte, all joined: the dump every packet log line shows.
std::string HexDump(const uint8_t* bytes, size_t length);

}  // namespace ReceiverFrame
