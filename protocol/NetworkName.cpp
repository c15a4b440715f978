#include "protocol/NetworkName.h"

std::string BuildNetworkName(const Voxlet::StringBuffer& classroomName, uint32_t receiverNumber,
                             uint32_t connectedReceivers) {
  const bool several = connectedReceivers > 1;
  const size_t limit = several ? 6 : 8;
  const Voxlet::StringBuffer source = classroomName.empty() ? Voxlet::StringBuffer(u"Voxlet") : classroomName;
  std::string name;
  for (size_t i = 0; i < source.size() && name.size() < limit; ++i) {
    const char16_t c = source[i];
    name.push_back(c < 0x20 || c > 0x7E ? '_' : static_cast<char>(c));
  }
  if (several) {
    name.resize(6, ' ');
    name.push_back('(');
    name.push_back(static_cast<char>('0' + receiverNumber));
  }
  return name;
}
