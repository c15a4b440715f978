#pragma once
#include <array>
#include <cstdint>
#include <deque>
#include <string>

#include "protocol/ReceiverCommands.h"
#include "text/StringBuffer.h"

// One energy reading of a channel: empty texts when there is none.
struct ScanReading {
  Voxlet::StringBuffer value;      // energy 0..255 as decimal text
  Voxlet::StringBuffer pid;        // "0x%04X" of the PAN ID seen, or empty
  Voxlet::StringBuffer timestamp;  // when it was read
};

// The latest reading of a channel and up to three older ones, oldest first.
struct ScanChannel {
  int id = 0;  // 11..26
  ScanReading latest;
  std::deque<ScanReading> history;
};

// The latest energy reading and PAN ID seen on each of the 16 channels, with a short
// history: what the receiver's scan-results document holds.
class ScanResultsTable {
 public:
  static constexpr size_t kHistory = 3;

  ScanResultsTable();

  // Takes the entries of a SCAN_RESULTS packet: entry j belongs to the j-th set bit of the
  // scanned mask; bits beyond the entries are left alone.
  void Update(uint16_t scannedMask, uint16_t panMask, const std::vector<CChannelScanResults>& entries,
              const Voxlet::StringBuffer& timestamp);

  const std::array<ScanChannel, 16>& Channels() const { return m_channels; }
  const ScanChannel& Channel(int id) const { return m_channels[static_cast<size_t>(id - 11)]; }

 private:
  std::array<ScanChannel, 16> m_channels;
};
