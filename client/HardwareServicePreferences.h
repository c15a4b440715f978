#pragma once
#include <cstdint>

#include "client/Preferences.h"

// The hardware service's tuning values: names under Preferences::Path\HardwareService::Key and
// the value used when a name is absent. BaudRate and the Background* values are read from the
// registry itself ("com.vantrel.Registry"); the ScanThreshold* and ChannelAnalysis* values, like
// "LastChannel(%s)", live in the preference file (Preferences::File).
namespace Voxlet::Preferences::HardwareService {

inline constexpr const char16_t* ScanThresholdGoodPoor = u"ScanThresholdGoodPoor";
inline constexpr const char16_t* ScanThresholdExcellentGood = u"ScanThresholdExcellentGood";
inline constexpr const char16_t* ChannelAnalysis = u"ChannelAnalysis";
inline constexpr const char16_t* ChannelAnalysisFrequency = u"ChannelAnalysisFrequency";
inline constexpr const char16_t* BaudRate = u"BaudRate";
inline constexpr const char16_t* BackgroundScanInterval = u"BackgroundScanInterval";
inline constexpr const char16_t* BackgroundActiveDuration = u"BackgroundActiveDuration";
inline constexpr const char16_t* BackgroundEnergyDuration = u"BackgroundEnergyDuration";

// A channel whose newest energy reading is below this stays in use; otherwise channels whose
// quietness score is within this percentage of the best one are candidates.
inline constexpr int32_t DefaultScanThresholdGoodPoor = 20;
// The stricter threshold for an excellent channel (reported beside the good/poor one).
inline constexpr int32_t DefaultScanThresholdExcellentGood = 10;
// Channel analysis keeps classes from starting, so it is off unless asked for.
inline constexpr int32_t DefaultChannelAnalysis = 0;
// Minutes between two channel-analysis reports.
inline constexpr int32_t DefaultChannelAnalysisFrequency = 60;
// The fastest line setting the receivers' link detection finds them answering at (8N1).
inline constexpr int32_t DefaultBaudRate = 57600;
// Ticks between two single-channel background scans.
inline constexpr int32_t DefaultBackgroundScanInterval = 14;
// 802.15.4 scan duration exponents: (2^n - 1) x 15.36 ms per channel, so 5 and 6 take about
// 0.5 s and 1 s, a two-second scan per channel all told.
inline constexpr int32_t DefaultBackgroundActiveDuration = 5;
inline constexpr int32_t DefaultBackgroundEnergyDuration = 6;

static_assert(DefaultScanThresholdExcellentGood < DefaultScanThresholdGoodPoor);
static_assert(DefaultBackgroundActiveDuration >= 1 && DefaultBackgroundActiveDuration <= 14);
static_assert(DefaultBackgroundEnergyDuration >= 1 && DefaultBackgroundEnergyDuration <= 14);

}  // namespace Voxlet::Preferences::HardwareService
