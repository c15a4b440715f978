#include "content/PacketContainer.h"

PacketContainer::PacketContainer(unsigned int totalParts) : m_totalParts(totalParts) {}

bool PacketContainer::insertPart(unsigned int partNumber, const unsigned char* bytes, int length) {
  std::vector<unsigned char>& part = m_parts[partNumber];
  if (bytes != nullptr && length > 0) {
    part.assign(bytes, bytes + length);
  } else {
    part.clear();
  }
  return true;
}

bool PacketContainer::containsAllParts() const { return m_parts.size() == m_totalParts; }

const std::vector<unsigned char>& PacketContainer::combineAllPacketParts() {
  m_combined.clear();
  if (!containsAllParts()) return m_combined;
  for (const auto& [number, part] : m_parts) m_combined.insert(m_combined.end(), part.begin(), part.end());
  return m_combined;
}
