#include "service/ConfigCheck.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <vector>

#include "client/Preferences.h"
#include "client/http/RequestWire.h"
#include "log/ReceiverServiceSettings.h"
#include "platform/Registry.h"
#include "platform/SystemServices.h"

namespace {

// Which keys a setting is read from: the preference subkey first and then the plain key, or the
// plain key only (the registry itself).
enum class Store { kPreferences, kPlain };
enum class Kind { kNumber, kText, kFile, kDirectory, kAddress };
enum class Key { kHardwareService, kInstall, kSoftwareService };

struct Setting {
  const char* name;
  Key key;
  Store store;
  Kind kind;
  std::string defaultValue;
};

std::string KeyPath(Key key) {
  switch (key) {
    case Key::kHardwareService:
      return HardwareServiceKeyPath();
    case Key::kInstall:
      return InstallKeyPath();
    case Key::kSoftwareService:
      break;
  }
  return Voxlet::UTF16to8(Voxlet::Preferences::Path) + "\\" +
         Voxlet::UTF16to8(Voxlet::Preferences::SoftwareService::Key);
}

// Every setting the service reads, where it reads it and its default.
std::vector<Setting> Settings() {
  const std::string spool = Platform::StateDirectory() + Platform::PathSeparator() + "spool";
  const Key hs = Key::kHardwareService;
  const Store pref = Store::kPreferences, plain = Store::kPlain;
  return {
      {"Log20Location", hs, pref, Kind::kFile, CReceiverServiceSettings::DefaultLogPath()},
      {"LogFlags", hs, pref, Kind::kNumber, "1"},
      {"LogServicesMessages", hs, pref, Kind::kNumber, "0"},
      {"ReconnectOnSoftReset", hs, pref, Kind::kNumber, "0"},
      {"Ports", hs, pref, Kind::kText, ""},
      {"SpoolDirectory", hs, pref, Kind::kDirectory, spool},
      {"SpoolMaxAgeDays", hs, pref, Kind::kNumber, "7"},
      {"ScanThresholdGoodPoor", hs, pref, Kind::kNumber, "20"},
      {"ScanThresholdExcellentGood", hs, pref, Kind::kNumber, "10"},
      {"ChannelAnalysis", hs, pref, Kind::kNumber, "0"},
      {"ChannelAnalysisFrequency", hs, pref, Kind::kNumber, "60"},
      {"BaudRate", hs, plain, Kind::kNumber, "57600"},
      {"BackgroundScanInterval", hs, plain, Kind::kNumber, "14"},
      {"BackgroundActiveDuration", hs, plain, Kind::kNumber, "5"},
      {"BackgroundEnergyDuration", hs, plain, Kind::kNumber, "6"},
      {"RemotesControl", hs, plain, Kind::kNumber, "0"},
      {"RemotesLatency", hs, plain, Kind::kNumber, "10000"},
      {"RemotesResponseWindow", hs, plain, Kind::kNumber, "6000"},
      {"EmailLogOn", Key::kInstall, pref, Kind::kNumber, "0"},
      {"SMTPServer", Key::kInstall, pref, Kind::kText, "localhost"},
      {"EmailLogRecipient", Key::kInstall, pref, Kind::kText, "root@localhost"},
      {"Uri", Key::kSoftwareService, plain, Kind::kAddress,
       Voxlet::UTF16to8(Voxlet::Preferences::SoftwareService::DefaultUri)},
  };
}

bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// A number as the registry readers take it: decimal, or hexadecimal after "0x", not negative,
// at most 32 bits.
bool ReadsAsNumber(const std::string& text) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string digits = hex ? text.substr(2) : text;
  if (digits.empty() || digits.size() > 10) return false;
  if (digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") != std::string::npos) return false;
  return std::strtoull(digits.c_str(), nullptr, hex ? 16 : 10) <= 0xFFFFFFFFull;
}

// "LastChannel(<port>)": written by the service for each receiver, read back by it.
bool IsLastChannel(const std::string& name) {
  return name.size() > 13 && SameName(name.substr(0, 12), "LastChannel(") && name.back() == ')';
}

class Checker {
 public:
  Checker(std::FILE* out, std::FILE* err, const ConfigCheckEnvironment& environment)
      : m_out(out), m_err(err), m_environment(environment) {}

  void Setting(const ::Setting& setting) {
    const std::string key = KeyPath(setting.key);
    const auto plain =
        Platform::ReadStoredValue(Platform::kLocalMachine, RegistryKeyPath(key, kRegistryStoreName), setting.name);
    std::optional<std::string> preferred;
    if (setting.store == Store::kPreferences)
      preferred =
          Platform::ReadStoredValue(Platform::kLocalMachine, RegistryKeyPath(key, PreferenceStore()), setting.name);
    std::string value = setting.defaultValue, source = "default";
    if (preferred) {
      value = *preferred, source = "preference subkey";
      if (plain && *plain != *preferred)
        Warning(setting.name, "the preference subkey's \"" + *preferred + "\" is used; the plain key's \"" + *plain +
                                  "\" is ignored");
    } else if (plain) {
      value = *plain, source = "key";
    }
    const bool stored = preferred || plain;
    if (setting.kind == Kind::kAddress && value.empty()) value = setting.defaultValue, source = "default (empty)";
    std::fprintf(m_out, "  %-27s %s  (%s)\n", setting.name, value.empty() ? "(empty)" : value.c_str(), source.c_str());
    if (stored) Check(setting, value);
  }

  // Values under the key (and its preference subkey) that no setting of `settings` names.
  void Unread(Key key, const std::vector<::Setting>& settings) {
    const std::string path = KeyPath(key);
    for (const Store store : {Store::kPlain, Store::kPreferences}) {
      const std::string stored = RegistryKeyPath(path, store == Store::kPlain ? kRegistryStoreName : PreferenceStore());
      for (const std::string& name : Platform::StoredValueNames(Platform::kLocalMachine, stored)) {
        const auto known = std::find_if(settings.begin(), settings.end(),
                                        [&](const ::Setting& s) { return s.key == key && SameName(s.name, name); });
        if (known == settings.end() && !(key == Key::kHardwareService && IsLastChannel(name)))
          Problem(name, "under " + stored + " is not a setting the service reads");
        else if (known != settings.end() && known->store == Store::kPlain && store == Store::kPreferences)
          Problem(name, "under " + stored + " is not read: the service reads it from " + path + " only");
        else if (IsLastChannel(name))
          CheckNumber(name, Platform::ReadStoredValue(Platform::kLocalMachine, stored, name).value_or(""), "-1");
      }
    }
  }

  void Heading(const std::string& text) { std::fprintf(m_out, "%s\n", text.c_str()); }
  int Status() const { return m_problems == 0 ? 0 : 1; }

 private:
  void Check(const ::Setting& setting, const std::string& value) {
    switch (setting.kind) {
      case Kind::kNumber:
        CheckNumber(setting.name, value, setting.defaultValue);
        break;
      case Kind::kFile:
        CheckWritable(setting.name, std::filesystem::path(value), false);
        break;
      case Kind::kDirectory:
        CheckWritable(setting.name, std::filesystem::path(value), true);
        break;
      case Kind::kAddress:
        if (!Voxlet::Detail::ParseServiceAddress(Voxlet::UTF8to16(value)))
          Problem(setting.name,
                  "\"" + value + "\" is not an address the service can connect to (http://host[:port][/path])");
        break;
      case Kind::kText:
        break;
    }
  }

  void CheckNumber(const std::string& name, const std::string& value, const std::string& fallback) {
    if (!ReadsAsNumber(value))
      Problem(name, "\"" + value + "\" is not a number (decimal, or hexadecimal after 0x); the service uses " +
                        fallback + " instead");
  }

  // A file the service creates or appends to, or a directory it creates files in (made when
  // missing): the nearest folder that exists must take new files, and the file itself, when
  // there, must be writable.
  void CheckWritable(const std::string& name, const std::filesystem::path& path, bool directory) {
    std::error_code ec;
    if (path.empty()) return Problem(name, "is empty");
    const auto status = std::filesystem::status(path, ec);
    if (std::filesystem::exists(status)) {
      if (directory != std::filesystem::is_directory(status))
        return Problem(name, path.string() + (directory ? " is not a directory" : " is a directory"));
      if (!directory && access(path.string().c_str(), W_OK) != 0)
        return Problem(name, path.string() + " cannot be written (" + std::strerror(errno) + ")");
      if (directory && !CanWrite(path.string())) return Problem(name, path.string() + " does not take new files");
      return;
    }
    std::filesystem::path folder = std::filesystem::absolute(path, ec).parent_path();
    while (!folder.empty() && !std::filesystem::exists(folder, ec) && folder != folder.parent_path())
      folder = folder.parent_path();
    if (!std::filesystem::is_directory(folder, ec))
      Problem(name, path.string() + " cannot be created: " + folder.string() + " is not a directory");
    else if (!CanWrite(folder.string()))
      Problem(name, path.string() + " cannot be created: " + folder.string() + " does not take new files");
  }

  bool CanWrite(const std::string& directory) const {
    if (m_environment.canWrite) return m_environment.canWrite(directory);
#ifdef _WIN32
    return access(directory.c_str(), W_OK) == 0;  // Windows knows no search permission
#else
    return access(directory.c_str(), W_OK | X_OK) == 0;
#endif
  }

  void Problem(const std::string& name, const std::string& text) {
    ++m_problems;
    std::fprintf(m_err, "ovanta-hardware: %s: %s\n", name.c_str(), text.c_str());
  }
  void Warning(const std::string& name, const std::string& text) {
    std::fprintf(m_err, "ovanta-hardware: warning: %s: %s\n", name.c_str(), text.c_str());
  }

  std::FILE* m_out;
  std::FILE* m_err;
  const ConfigCheckEnvironment& m_environment;
  int m_problems = 0;
};

}  // namespace

int CheckConfiguration(std::FILE* out, std::FILE* err, const ConfigCheckEnvironment& environment) {
  Checker checker(out, err, environment);
  const std::string store = Platform::RegistryFilePath();
  checker.Heading("registry store: " + (store.empty() ? std::string("the system registry") : store));
#ifndef _WIN32
  // The service runs as root: another user's check of the paths may differ from the service's.
  if (geteuid() != 0) checker.Heading("note: paths are checked as user " + std::to_string(geteuid()) + ", not as root");
#endif
  const std::vector<Setting> settings = Settings();
  for (const Key key : {Key::kHardwareService, Key::kInstall, Key::kSoftwareService}) {
    checker.Heading("HKEY_LM\\" + KeyPath(key));
    for (const Setting& setting : settings)
      if (setting.key == key) checker.Setting(setting);
  }
  // The install key is shared with the rest of the product: only the service's own keys are
  // checked for values it does not read.
  checker.Unread(Key::kHardwareService, settings);
  checker.Unread(Key::kSoftwareService, settings);
  std::fflush(out);
  std::fflush(err);
  return checker.Status();
}
