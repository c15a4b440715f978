#pragma once
#include <cstdint>
#include <mutex>
#include <string>

// The two settings the service writes back: the log file path and the log category mask.
// They live under the preference path's hardware-service key, "Log20Location" and "LogFlags".
class CReceiverServiceSettings {
 public:
  virtual ~CReceiverServiceSettings() = default;

  // Reads both values, with their defaults.
  void Load();
  void SaveLogPath(const std::string& path);
  void SaveLogFlags(uint16_t flags);

  std::string GetLogFileName() const;
  void SetLogFileName(const std::string& path);
  uint16_t GetLogFlags() const;
  void SetLogFlags(uint16_t flags);

  // The directory the default log lives under: $OVANTA_SYSTEM_DIR, else the platform's
  // (the Windows directory; /var/log/ovanta on Linux).
  static std::string SystemDirectory();
  // SystemDirectory(), a separator ("\\" on Windows, "/" on Linux) when it does not end in
  // one, then "Debug", a separator and "OvantaHardwareService.log".
  static std::string DefaultLogPath();

 private:
  mutable std::mutex m_lock;  // the SDK thread sets the flags while the service runs
  std::string m_logPath;
  uint16_t m_logFlags = 1;
};

// The directory of the answer spool: "SpoolDirectory" under the hardware-service key.
std::string SpoolDirectorySetting();
// How many days an answer stays in the spool before it is no longer submitted: "SpoolMaxAgeDays"
// under the hardware-service key (default 7; 0 keeps answers until they are taken).
uint32_t SpoolMaxAgeDaysSetting();

// The registry layer's view of the hardware-service key.
std::string HardwareServiceKeyPath();
std::string InstallKeyPath();
std::string PreferenceStore();
