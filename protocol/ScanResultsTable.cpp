#include "protocol/ScanResultsTable.h"

#include <cstdio>

namespace {

Voxlet::StringBuffer Ascii(const char* text) {
  Voxlet::StringBuffer out;
  for (; *text; ++text) out.push_back(static_cast<char16_t>(*text));
  return out;
}

}  // namespace

ScanResultsTable::ScanResultsTable() {
  for (int i = 0; i < 16; ++i) m_channels[static_cast<size_t>(i)].id = 11 + i;
}

void ScanResultsTable::Update(uint16_t scannedMask, uint16_t panMask, const std::vector<CChannelScanResults>& entries,
                              const Voxlet::StringBuffer& timestamp) {
  size_t next = 0;
  for (int i = 0; i < 16 && next < entries.size(); ++i) {
    if (!(scannedMask & (1u << i))) continue;
    const CChannelScanResults& entry = entries[next++];
    ScanChannel& channel = m_channels[static_cast<size_t>(i)];
    const ScanReading previous = channel.latest;
    char text[16];
    if (panMask & (1u << i)) {
      snprintf(text, sizeof text, "0x%04X", entry.m_panId);
      channel.latest.pid = Ascii(text);
    } else {
      channel.latest.pid.clear();
    }
    if (!previous.value.empty()) {
      if (channel.history.size() >= kHistory) channel.history.pop_front();
      channel.history.push_back(previous);
    }
    snprintf(text, sizeof text, "%d", entry.m_energy);
    channel.latest.value = Ascii(text);
    channel.latest.timestamp = timestamp;
  }
}
