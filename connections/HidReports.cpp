#include "connections/HidReports.h"

namespace HidReports {

size_t ReceivedLength(size_t got, const HidReportLengths& lengths, uint16_t productId) {
  if (got == 0 || got != lengths.input) return 0;
  return productId == kTrimmedProductId && got >= 2 ? got - 2 : got;
}

uint32_t CheckOutgoing(const CSBIOPacket& packet, const HidReportLengths& lengths) {
  const uint32_t expected = packet.m_flag ? lengths.feature : lengths.output;
  return packet.StoredLength() != 0 && packet.StoredLength() == expected ? 0 : kWrongLength;
}

}  // namespace HidReports
