#pragma once
#include <cstdint>
#include <functional>
#include <vector>

#include "protocol/ScanResultsTable.h"

// What the channel choice knows of one channel.
struct ChannelInfo {
  int channel = 0;
  bool excluded = false;
  std::vector<double> readings;  // newest first
  double largest = 0;
  double p = 0;
};

// The usable readings of a channel: its own and its history's, newest first. A channel with
// a PAN ID, never scanned, without usable readings, or 26 when exclude26 is set, is excluded.
ChannelInfo BuildChannelInfo(const ScanChannel& channel, bool exclude26);

// Weighted average of readings, the newest weighing k^2 and the oldest 1.
double WeightedLevel(const std::vector<double>& readings);

struct ChannelChoice {
  const ScanResultsTable* table = nullptr;
  bool exclude26 = false;
  int current = -1;          // the channel in use (11..26) or -1
  int thresholdPercent = 0;  // ScanThresholdGoodPoor
  std::function<uint32_t()> random;
};

// The channel for a class: the current one while it is quiet enough, else one of the
// channels whose quietness score P is within the threshold of the best; -1 when no channel
// is usable.
int ChooseChannel(const ChannelChoice& choice);
