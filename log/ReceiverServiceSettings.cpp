#include "log/ReceiverServiceSettings.h"

#include <cstdlib>

#include "client/Preferences.h"
#include "platform/Registry.h"
#include "platform/SystemServices.h"

namespace {
constexpr const char* kLogPathValue = "Log20Location";
constexpr const char* kLogFlagsValue = "LogFlags";
constexpr const char* kSpoolDirectoryValue = "SpoolDirectory";
constexpr const char* kSpoolMaxAgeValue = "SpoolMaxAgeDays";
constexpr uint32_t kDefaultSpoolMaxAgeDays = 7;
}  // namespace

std::string HardwareServiceKeyPath() {
  return Voxlet::UTF16to8(Voxlet::Preferences::Path) + "\\" +
         Voxlet::UTF16to8(Voxlet::Preferences::HardwareService::Key);
}

std::string InstallKeyPath() {
  return Voxlet::UTF16to8(Voxlet::Preferences::Path) + "\\" + Voxlet::UTF16to8(Voxlet::Preferences::Install::Key);
}

std::string PreferenceStore() { return Voxlet::UTF16to8(Voxlet::Preferences::File); }

std::string SpoolDirectorySetting() {
  // By default "/var/lib/ovanta/spool" on Linux, "<ProgramData>\Ovanta\spool" on Windows.
  const std::string defaultDirectory = Platform::StateDirectory() + Platform::PathSeparator() + "spool";
  return ReadRegistryString(Platform::kLocalMachine, HardwareServiceKeyPath(), kSpoolDirectoryValue, defaultDirectory,
                            PreferenceStore());
}

uint32_t SpoolMaxAgeDaysSetting() {
  return ReadRegistryDword(Platform::kLocalMachine, HardwareServiceKeyPath(), kSpoolMaxAgeValue,
                           kDefaultSpoolMaxAgeDays, PreferenceStore());
}

std::string CReceiverServiceSettings::SystemDirectory() {
  // OVANTA_SYSTEM_DIR moves it, for tests and for machines that keep logs elsewhere.
  const char* dir = std::getenv("OVANTA_SYSTEM_DIR");
  return (dir && *dir) ? dir : Platform::SystemDirectory();
}

std::string CReceiverServiceSettings::DefaultLogPath() {
  const char separator = Platform::PathSeparator();
  std::string path = SystemDirectory();
  if (path.empty() || path.back() != separator) path += separator;
  return path + "Debug" + separator + "OvantaHardwareService.log";
}

void CReceiverServiceSettings::Load() {
  const std::string path = ReadRegistryString(Platform::kLocalMachine, HardwareServiceKeyPath(), kLogPathValue,
                                              DefaultLogPath(), PreferenceStore());
  const uint32_t flags =
      ReadRegistryDword(Platform::kLocalMachine, HardwareServiceKeyPath(), kLogFlagsValue, 1, PreferenceStore());
  std::lock_guard<std::mutex> guard(m_lock);
  m_logPath = path;
  m_logFlags = static_cast<uint16_t>(flags);
}

void CReceiverServiceSettings::SaveLogPath(const std::string& path) {
  WriteRegistryString(Platform::kLocalMachine, HardwareServiceKeyPath(), kLogPathValue, path, PreferenceStore());
}

void CReceiverServiceSettings::SaveLogFlags(uint16_t flags) {
  WriteRegistryDword(Platform::kLocalMachine, HardwareServiceKeyPath(), kLogFlagsValue, flags, PreferenceStore());
}

std::string CReceiverServiceSettings::GetLogFileName() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_logPath;
}

void CReceiverServiceSettings::SetLogFileName(const std::string& path) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_logPath = path;
}

uint16_t CReceiverServiceSettings::GetLogFlags() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_logFlags;
}

void CReceiverServiceSettings::SetLogFlags(uint16_t flags) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_logFlags = flags;
}
