#pragma once
#include <cstdint>

#include "text/StringBuffer.h"

// The hardware-service preferences a receiver reads: from the registry itself (BaudRate,
// Background*) or from the preference file (LastChannel, ScanThreshold*, ChannelAnalysis*).
namespace ReceiverPreferences {

int64_t ReadRegistryInteger(const char16_t* name, int64_t fallback);
int64_t ReadFileInteger(const Voxlet::StringBuffer& name, int64_t fallback);
bool WriteFileInteger(const Voxlet::StringBuffer& name, int64_t value);
// "LastChannel(<receiver name>)".
Voxlet::StringBuffer LastChannelName(const Voxlet::StringBuffer& receiverName);

}  // namespace ReceiverPreferences
