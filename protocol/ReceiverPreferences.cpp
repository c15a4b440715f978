#include "protocol/ReceiverPreferences.h"

#include "client/Preferences.h"
#include "platform/Registry.h"

namespace ReceiverPreferences {

namespace {
Voxlet::StringBuffer Key() {
  return Voxlet::StringBuffer(Voxlet::Preferences::Path) + u"\\" + Voxlet::Preferences::HardwareService::Key;
}
}  // namespace

int64_t ReadRegistryInteger(const char16_t* name, int64_t fallback) {
  return Voxlet::Preferences::ReadIntegerValue(Voxlet::UTF8to16(kRegistryStoreName), Key(), name, fallback);
}

int64_t ReadFileInteger(const Voxlet::StringBuffer& name, int64_t fallback) {
  return Voxlet::Preferences::ReadIntegerValue(Voxlet::Preferences::File, Key(), name, fallback);
}

bool WriteFileInteger(const Voxlet::StringBuffer& name, int64_t value) {
  return Voxlet::Preferences::WriteIntegerValue(Voxlet::Preferences::File, Key(), name, value);
}

Voxlet::StringBuffer LastChannelName(const Voxlet::StringBuffer& receiverName) {
  return u"LastChannel(" + receiverName + u")";
}

}  // namespace ReceiverPreferences
