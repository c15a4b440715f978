#pragma once
#include <cstdint>

// Background-scan pacing, the same for every receiver of the process.
struct ScanSettings {
  bool on = false;
  int interval = -1;       // ticks between two single-channel scans
  int activeExponent = 0;  // 255: no active scan
  int energyExponent = 0;  // 255: no energy scan
  int channelSeconds = 0;  // time one channel's scan takes
};

// The settings from the three preference values.
ScanSettings ComputeScanSettings(int64_t interval, int64_t activeExponent, int64_t energyExponent);

// Read once per process from the registry store (BackgroundScanInterval,
// BackgroundActiveDuration, BackgroundEnergyDuration).
const ScanSettings& ProcessScanSettings();
