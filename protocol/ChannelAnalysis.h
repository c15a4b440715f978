#pragma once
#include <cstdint>
#include <vector>

// Channel-analysis mode: how often, and why, the channel choice would switch channels at
// thresholds 5, 10, ... 50.
struct ChannelAnalysis {
  struct Threshold {
    int threshold = 0;
    int switches = 0;
    int switchesDueToPid = 0;
  };
  bool on = false;
  int reportMinutes = 0;
  std::vector<Threshold> thresholds;
  int reports = 0;
  uint32_t startMs = 0;  // ticks (wrap-safe differences)
  uint32_t lastReportMs = 0;
  int64_t savedThreshold = 0;  // ScanThresholdGoodPoor when analysis began
  bool initialised = false;
};
