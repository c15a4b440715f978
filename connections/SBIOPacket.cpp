#include "connections/SBIOPacket.h"

#include <cstring>

void CSBIOPacket::Set(const uint8_t* bytes, uint32_t length, bool raw) {
  if (!bytes) length = 0;
  const uint32_t lead = raw ? 0 : 1;
  m_length = length + lead;
  if (m_length == 0) {
    m_data.reset();
    return;
  }
  m_data = std::make_unique<uint8_t[]>(m_length);
  m_data[0] = 0;
  if (length) memcpy(m_data.get() + lead, bytes, length);
}
