#include "sdk/SdkMessages.h"

#include <algorithm>

void CVariableIntMessage::WriteData(CWireWriter& out) const {
  for (int32_t value : m_values) out.I32(value);
}

bool CVariableIntMessage::ReadData(CWireReader& in) {
  for (int32_t& value : m_values)
    if (!in.I32(value)) return false;
  return true;
}

std::u16string CStatusMessage::NameOf(const ReceiverStatusW& record) {
  const char16_t* name = record.receiverName;
  return std::u16string(name, std::find(name, name + kMaxNameLength, u'\0'));
}

void CStatusMessage::SetName(ReceiverStatusW& record, std::u16string_view name) {
  size_t length = std::min(name.size(), kMaxNameLength);
  // A high surrogate whose low half would be cut off goes too.
  if (length < name.size() && length > 0 && name[length - 1] >= 0xD800 && name[length - 1] <= 0xDBFF) --length;
  std::fill(std::begin(record.receiverName), std::end(record.receiverName), u'\0');
  std::copy_n(name.begin(), length, record.receiverName);
}

size_t CStatusMessage::GetDataSize() const {
  size_t size = 4;
  for (const auto& record : m_records) size += 8 + Wire::StringSize(NameOf(record));
  return size;
}

void CStatusMessage::WriteData(CWireWriter& out) const {
  out.I32(static_cast<int32_t>(m_records.size()));
  for (const auto& record : m_records) {
    out.I32(static_cast<int32_t>(record.receiverNumber));
    out.I32(static_cast<int32_t>(record.receiverState));
    out.String(NameOf(record));
  }
}

bool CStatusMessage::ReadData(CWireReader& in) {
  int32_t count = 0;
  if (!in.I32(count) || count < 0) return false;
  // A record takes at least 10 bytes: a count beyond that cannot be real.
  if (static_cast<size_t>(count) > in.Remaining() / 10) return false;
  std::vector<ReceiverStatusW> records(static_cast<size_t>(count));
  for (auto& record : records) {
    int32_t number = 0, state = 0;
    std::u16string name;
    if (!in.I32(number) || !in.I32(state) || !in.String(name)) return false;
    record.receiverNumber = static_cast<uint32_t>(number);
    record.receiverState = static_cast<uint32_t>(state);
    SetName(record, name);
  }
  m_records = std::move(records);
  return true;
}
