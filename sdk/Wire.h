#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The value encodings of message data. Every multi-byte number is big-endian.
//
// Strings travel as UTF-8: an unsigned 16-bit byte count, then the bytes, no terminator.
// A string whose UTF-8 form is longer than 65535 bytes is cut at the last whole character
// that fits, so that the count always describes the bytes that follow.

namespace Wire {

constexpr size_t kMaxStringBytes = 0xFFFF;

// The UTF-8 bytes a string is sent as (already cut to kMaxStringBytes).
std::string StringBytes(std::u16string_view text);
// Encoded sizes.
inline size_t StringSize(std::u16string_view text) { return 2 + StringBytes(text).size(); }
inline size_t BlobSize(size_t length) { return 4 + length; }

void PutU16(uint8_t* at, uint16_t value);
void PutU32(uint8_t* at, uint32_t value);
uint16_t GetU16(const uint8_t* at);
uint32_t GetU32(const uint8_t* at);

}  // namespace Wire

// Appends encoded values to a byte vector.
class CWireWriter {
 public:
  explicit CWireWriter(std::vector<uint8_t>& out) : m_out(out) {}

  void U8(uint8_t value) { m_out.push_back(value); }
  void Bool(bool value) { m_out.push_back(value ? 1 : 0); }
  void NarrowChar(char value) { U16(static_cast<uint8_t>(value)); }
  void WideChar(char16_t value) { U16(value); }
  void U16(uint16_t value);
  void I32(int32_t value) { U32(static_cast<uint32_t>(value)); }
  void U32(uint32_t value);
  void Float(float value);
  void Double(double value);
  void I64(int64_t value);
  void String(std::u16string_view text);
  // A narrow text is sent as a string: its bytes are taken as UTF-8.
  void NarrowString(std::string_view utf8);
  void Blob(std::span<const uint8_t> bytes);
  void Raw(std::span<const uint8_t> bytes) { m_out.insert(m_out.end(), bytes.begin(), bytes.end()); }

 private:
  std::vector<uint8_t>& m_out;
};

// Reads encoded values from a byte range. Every read checks the bytes left; a read past the
// end fails and leaves the reader failed, so a sequence of reads needs one check at its end.
class CWireReader {
 public:
  explicit CWireReader(std::span<const uint8_t> bytes) : m_bytes(bytes) {}

  bool U8(uint8_t& value);
  bool Bool(bool& value);
  bool U16(uint16_t& value);
  bool I32(int32_t& value);
  bool U32(uint32_t& value);
  bool Float(float& value);
  bool Double(double& value);
  bool I64(int64_t& value);
  bool String(std::u16string& text);
  bool NarrowString(std::string& utf8);
  bool Blob(std::vector<uint8_t>& bytes);
  // A view of the next n bytes, consumed.
  bool Take(size_t n, std::span<const uint8_t>& bytes);

  size_t Remaining() const { return m_failed ? 0 : m_bytes.size() - m_pos; }
  bool Ok() const { return !m_failed; }

 private:
  const uint8_t* Need(size_t n);

  std::span<const uint8_t> m_bytes;
  size_t m_pos = 0;
  bool m_failed = false;
};
