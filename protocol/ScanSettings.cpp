#include "protocol/ScanSettings.h"

#include <algorithm>
#include <cmath>
#include <mutex>

#include "client/HardwareServicePreferences.h"
#include "platform/Registry.h"

ScanSettings ComputeScanSettings(int64_t interval, int64_t active, int64_t energy) {
  ScanSettings s;
  s.on = true;
  s.interval = interval < 1 ? -1 : static_cast<int>(interval);
  if (interval < 1) s.on = false;
  auto exponent = [&s](int64_t value) {
    if (value < 1) s.on = false;
    return value > 14 ? 255 : static_cast<int>(value);
  };
  s.activeExponent = exponent(active);
  s.energyExponent = exponent(energy);
  if (s.activeExponent == 255 && s.energyExponent == 255) s.on = false;
  if (!s.on) return s;
  // An 802.15.4 scan of exponent n lasts (2^n - 1) symbol periods of 15.36 ms.
  double periods = 0;
  if (s.activeExponent != 255) periods += std::pow(2.0, s.activeExponent) - 1;
  if (s.energyExponent != 255) periods += std::pow(2.0, s.energyExponent) - 1;
  s.channelSeconds = std::max(2, static_cast<int>(std::ceil(periods * 0.01536)));
  if (s.interval < s.channelSeconds + 2) s.interval = s.channelSeconds + 2;
  return s;
}

const ScanSettings& ProcessScanSettings() {
  static std::once_flag once;
  static ScanSettings settings;
  std::call_once(once, [] {
    namespace P = Voxlet::Preferences;
    namespace HS = Voxlet::Preferences::HardwareService;
    const Voxlet::StringBuffer key = Voxlet::StringBuffer(P::Path) + u"\\" + HS::Key;
    auto read = [&key](const char16_t* name, int64_t fallback) {
      return P::ReadIntegerValue(Voxlet::UTF8to16(kRegistryStoreName), key, name, fallback);
    };
    settings = ComputeScanSettings(read(HS::BackgroundScanInterval, HS::DefaultBackgroundScanInterval),
                                   read(HS::BackgroundActiveDuration, HS::DefaultBackgroundActiveDuration),
                                   read(HS::BackgroundEnergyDuration, HS::DefaultBackgroundEnergyDuration));
  });
  return settings;
}
