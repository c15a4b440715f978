#include "sdk/Wire.h"

#include <bit>
#include <cstring>

#include "text/StringBuffer.h"

namespace Wire {

std::string StringBytes(std::u16string_view text) {
  std::string utf8 = Voxlet::UTF16to8(text);
  if (utf8.size() <= kMaxStringBytes) return utf8;
  size_t cut = kMaxStringBytes;
  // Step back over continuation bytes to the start of the character that does not fit.
  while (cut > 0 && (static_cast<uint8_t>(utf8[cut]) & 0xC0) == 0x80) --cut;
  utf8.resize(cut);
  return utf8;
}

void PutU16(uint8_t* at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value >> 8);
  at[1] = static_cast<uint8_t>(value);
}

void PutU32(uint8_t* at, uint32_t value) {
  at[0] = static_cast<uint8_t>(value >> 24);
  at[1] = static_cast<uint8_t>(value >> 16);
  at[2] = static_cast<uint8_t>(value >> 8);
  at[3] = static_cast<uint8_t>(value);
}

uint16_t GetU16(const uint8_t* at) { return static_cast<uint16_t>(at[0] << 8 | at[1]); }

uint32_t GetU32(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) << 24 | static_cast<uint32_t>(at[1]) << 16 | static_cast<uint32_t>(at[2]) << 8 |
         at[3];
}

}  // namespace Wire

void CWireWriter::U16(uint16_t value) {
  uint8_t bytes[2];
  Wire::PutU16(bytes, value);
  m_out.insert(m_out.end(), bytes, bytes + 2);
}

void CWireWriter::U32(uint32_t value) {
  uint8_t bytes[4];
  Wire::PutU32(bytes, value);
  m_out.insert(m_out.end(), bytes, bytes + 4);
}

void CWireWriter::Float(float value) { U32(std::bit_cast<uint32_t>(value)); }

void CWireWriter::Double(double value) { I64(std::bit_cast<int64_t>(value)); }

void CWireWriter::I64(int64_t value) {
  const uint64_t bits = static_cast<uint64_t>(value);
  U32(static_cast<uint32_t>(bits >> 32));
  U32(static_cast<uint32_t>(bits));
}

void CWireWriter::String(std::u16string_view text) { NarrowString(Wire::StringBytes(text)); }

void CWireWriter::NarrowString(std::string_view utf8) {
  if (utf8.size() > Wire::kMaxStringBytes) {
    // Cut through the wide form so that the cut falls between characters.
    String(Voxlet::UTF8to16(utf8));
    return;
  }
  U16(static_cast<uint16_t>(utf8.size()));
  m_out.insert(m_out.end(), utf8.begin(), utf8.end());
}

void CWireWriter::Blob(std::span<const uint8_t> bytes) {
  I32(static_cast<int32_t>(bytes.size()));
  Raw(bytes);
}

const uint8_t* CWireReader::Need(size_t n) {
  if (m_failed || m_bytes.size() - m_pos < n) {
    m_failed = true;
    return nullptr;
  }
  const uint8_t* at = m_bytes.data() + m_pos;
  m_pos += n;
  return at;
}

bool CWireReader::U8(uint8_t& value) {
  const uint8_t* at = Need(1);
  if (at) value = *at;
  return at != nullptr;
}

bool CWireReader::Bool(bool& value) {
  uint8_t byte = 0;
  if (!U8(byte)) return false;
  value = byte != 0;
  return true;
}

bool CWireReader::U16(uint16_t& value) {
  const uint8_t* at = Need(2);
  if (at) value = Wire::GetU16(at);
  return at != nullptr;
}

bool CWireReader::U32(uint32_t& value) {
  const uint8_t* at = Need(4);
  if (at) value = Wire::GetU32(at);
  return at != nullptr;
}

bool CWireReader::I32(int32_t& value) {
  uint32_t bits = 0;
  if (!U32(bits)) return false;
  value = static_cast<int32_t>(bits);
  return true;
}

bool CWireReader::Float(float& value) {
  uint32_t bits = 0;
  if (!U32(bits)) return false;
  value = std::bit_cast<float>(bits);
  return true;
}

bool CWireReader::I64(int64_t& value) {
  uint32_t high = 0, low = 0;
  if (!U32(high) || !U32(low)) return false;
  value = static_cast<int64_t>(static_cast<uint64_t>(high) << 32 | low);
  return true;
}

bool CWireReader::Double(double& value) {
  int64_t bits = 0;
  if (!I64(bits)) return false;
  value = std::bit_cast<double>(bits);
  return true;
}

bool CWireReader::NarrowString(std::string& utf8) {
  uint16_t length = 0;
  std::span<const uint8_t> bytes;
  if (!U16(length) || !Take(length, bytes)) return false;
  utf8.assign(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  return true;
}

bool CWireReader::String(std::u16string& text) {
  std::string utf8;
  if (!NarrowString(utf8)) return false;
  text = Voxlet::UTF8to16(utf8);
  return true;
}

bool CWireReader::Blob(std::vector<uint8_t>& bytes) {
  int32_t length = 0;
  std::span<const uint8_t> view;
  if (!I32(length)) return false;
  if (length < 0) {
    m_failed = true;
    return false;
  }
  if (!Take(static_cast<size_t>(length), view)) return false;
  bytes.assign(view.begin(), view.end());
  return true;
}

bool CWireReader::Take(size_t n, std::span<const uint8_t>& bytes) {
  const uint8_t* at = Need(n);
  if (at) bytes = {at, n};
  return at != nullptr;
}
