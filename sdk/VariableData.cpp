#include "sdk/VariableData.h"

namespace {

// The type a field of type `sent` may be read as `expected`.
bool Compatible(uint8_t sent, uint8_t expected) {
  if (sent == expected) return true;
  auto pair = [&](uint8_t a, uint8_t b) { return (sent == a && expected == b) || (sent == b && expected == a); };
  return pair(CVariableData::kNarrowChar, CVariableData::kWideChar) ||
         pair(CVariableData::kNarrowString, CVariableData::kWideString);
}

bool Known(uint8_t type) { return type >= CVariableData::kByte && type <= CVariableData::kWideChar; }

// Decodes one value, whose field type is compatible with the destination's, into it.
bool ReadValue(CWireReader& in, uint8_t type, void* to) {
  switch (type) {
    case CVariableData::kByte:
      return in.U8(*static_cast<uint8_t*>(to));
    case CVariableData::kBool:
      return in.Bool(*static_cast<bool*>(to));
    case CVariableData::kNarrowChar: {
      uint16_t value = 0;
      if (!in.U16(value)) return false;
      *static_cast<char*>(to) = static_cast<char>(value);
      return true;
    }
    case CVariableData::kWideChar: {
      uint16_t value = 0;
      if (!in.U16(value)) return false;
      *static_cast<char16_t*>(to) = static_cast<char16_t>(value);
      return true;
    }
    case CVariableData::kU16:
      return in.U16(*static_cast<uint16_t*>(to));
    case CVariableData::kI32:
      return in.I32(*static_cast<int32_t*>(to));
    case CVariableData::kFloat:
      return in.Float(*static_cast<float*>(to));
    case CVariableData::kDouble:
      return in.Double(*static_cast<double*>(to));
    case CVariableData::kNarrowString:
      return in.NarrowString(*static_cast<std::string*>(to));
    case CVariableData::kWideString:
      return in.String(*static_cast<std::u16string*>(to));
    case CVariableData::kBlob:
      return in.Blob(*static_cast<std::vector<uint8_t>*>(to));
    default:
      return false;
  }
}

}  // namespace

std::vector<uint8_t>& CVariableData::NewField(uint8_t type) {
  m_fields.emplace_back(1, type);
  return m_fields.back();
}

void CVariableData::AddByte(uint8_t value) { CWireWriter(NewField(kByte)).U8(value); }
void CVariableData::AddBool(bool value) { CWireWriter(NewField(kBool)).Bool(value); }
void CVariableData::AddNarrowChar(char value) { CWireWriter(NewField(kNarrowChar)).NarrowChar(value); }
void CVariableData::AddU16(uint16_t value) { CWireWriter(NewField(kU16)).U16(value); }
void CVariableData::AddI32(int32_t value) { CWireWriter(NewField(kI32)).I32(value); }
void CVariableData::AddFloat(float value) { CWireWriter(NewField(kFloat)).Float(value); }
void CVariableData::AddDouble(double value) { CWireWriter(NewField(kDouble)).Double(value); }
void CVariableData::AddNarrowString(std::string_view utf8) { CWireWriter(NewField(kNarrowString)).NarrowString(utf8); }
void CVariableData::AddBlob(std::span<const uint8_t> bytes) { CWireWriter(NewField(kBlob)).Blob(bytes); }
void CVariableData::AddWideString(std::u16string_view text) { CWireWriter(NewField(kWideString)).String(text); }
void CVariableData::AddWideChar(char16_t value) { CWireWriter(NewField(kWideChar)).WideChar(value); }

void CVariableData::AddRawField(uint8_t type, std::span<const uint8_t> value) {
  CWireWriter(NewField(type)).Raw(value);
}

bool CVariableData::Extract(std::span<const Out> outs) const {
  if (outs.empty() || outs.size() > m_fields.size()) return false;
  for (size_t i = 0; i < outs.size(); ++i) {
    const std::vector<uint8_t>& field = m_fields[i];
    const uint8_t expected = outs[i].m_type;
    if (field.empty() || !Known(expected) || !Compatible(field[0], expected)) return false;
    CWireReader in(std::span<const uint8_t>(field).subspan(1));
    if (!ReadValue(in, expected, outs[i].m_to)) return false;
  }
  return true;
}

size_t CVariableData::EncodedSize() const {
  size_t size = 4;
  for (const auto& field : m_fields) size += Wire::BlobSize(field.size());
  return size;
}

void CVariableData::Write(CWireWriter& out) const {
  out.I32(static_cast<int32_t>(m_fields.size()));
  for (const auto& field : m_fields) out.Blob(field);
}

bool CVariableData::Read(CWireReader& in) {
  int32_t count = 0;
  if (!in.I32(count) || count < 0) return false;
  // Each field takes at least its 4-byte length: a count beyond that cannot be real.
  if (static_cast<size_t>(count) > in.Remaining() / 4) return false;
  std::vector<std::vector<uint8_t>> fields(static_cast<size_t>(count));
  for (auto& field : fields)
    if (!in.Blob(field)) return false;
  m_fields = std::move(fields);
  return true;
}
