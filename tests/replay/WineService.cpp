#include "tests/replay/WineService.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <set>

#include "tests/integration/ChildProcess.h"

namespace Replay {

namespace {

namespace fs = std::filesystem;

// The COM ports the replays map (the connection tests' serial peers take COM40 and up).
constexpr int kFirstPort = 20;
constexpr int kLastPort = 39;

std::string DosDevices() {
  const char* prefix = std::getenv("WINEPREFIX");
  const char* home = std::getenv("HOME");
  return (prefix && *prefix ? std::string(prefix) : std::string(home ? home : "") + "/.wine") + "/dosdevices";
}

// A number within 32 bits, written in decimal digits only: stored as REG_DWORD.
bool IsDword(const std::string& text) {
  return !text.empty() && text.size() <= 10 && std::all_of(text.begin(), text.end(), ::isdigit) &&
         std::stoull(text) <= 0xFFFFFFFFull;
}

// A .reg file's quoted string: backslashes and quotes escaped.
std::string Quoted(const std::string& text) {
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '\\' || c == '"') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

}  // namespace

std::string WindowsServiceExe() {
  const char* exe = std::getenv("OVANTA_WINDOWS_HARDWARE_EXE");
  return exe ? exe : "";
}

std::string WindowsPath(const std::string& path) {
  std::string windows = "Z:" + path;
  std::replace(windows.begin(), windows.end(), '/', '\\');
  return windows;
}

WineService::WineService(std::string exe, const std::string& device) : m_exe(std::move(exe)) {
  const char* wine = std::getenv("OVANTA_WINE");
  m_wine = wine && *wine ? wine : "/usr/lib/wine/wine64";
  m_nullInput = open("/dev/null", O_RDONLY | O_CLOEXEC);
  // A link of the prefix's dosdevices folder is a COM port at once, without a wineserver
  // restart (the registry's HKLM\Software\Wine\Ports values become such links only when Wine
  // starts). Each replay takes a port number no other run holds; a link whose device is gone is
  // left over from a run that ended without removing it.
  std::error_code ec;
  fs::create_directories(DosDevices(), ec);
  for (int number = kFirstPort; number <= kLastPort && m_port.empty(); ++number) {
    const std::string link = DosDevices() + "/com" + std::to_string(number);
    if (fs::is_symlink(link, ec) && !fs::exists(link, ec)) fs::remove(link, ec);
    if (symlink(device.c_str(), link.c_str()) == 0) {
      m_link = link;
      m_port = "\\\\.\\COM" + std::to_string(number);
    }
  }
  if (m_port.empty())
    m_error = "no free COM port COM" + std::to_string(kFirstPort) + "..COM" + std::to_string(kLastPort) + " in " +
              DosDevices();
}

WineService::~WineService() {
  // The service's keys go with the replay: other programs of the prefix (the Windows build's
  // tests) find the registry as it was.
  if (!m_keys.empty()) {
    std::string text = "REGEDIT4\n\n";
    for (const std::string& key : m_keys) text += "[-HKEY_LOCAL_MACHINE\\" + key + "]\n";
    std::string error;
    Import(text, m_regFile, error);
  }
  if (!m_link.empty()) unlink(m_link.c_str());
  if (m_nullInput >= 0) close(m_nullInput);
}

bool WineService::WriteSettings(const std::vector<RegistryValue>& values, const std::string& regFile,
                                std::string& error) {
  for (const RegistryValue& v : values)
    if (std::find(m_keys.begin(), m_keys.end(), v.key) == m_keys.end()) m_keys.push_back(v.key);
  m_regFile = regFile;
  // The keys go first with what an earlier run left in them (their subkeys too).
  std::string text = "REGEDIT4\n\n";
  for (const std::string& key : m_keys) text += "[-HKEY_LOCAL_MACHINE\\" + key + "]\n";
  for (const std::string& key : m_keys) {
    text += "\n[HKEY_LOCAL_MACHINE\\" + key + "]\n";
    for (const RegistryValue& v : values) {
      if (v.key != key) continue;
      char dword[16];
      if (IsDword(v.value)) std::snprintf(dword, sizeof dword, "dword:%08llx", std::stoull(v.value));
      text += Quoted(v.name) + "=" + (IsDword(v.value) ? std::string(dword) : Quoted(v.value)) + "\n";
    }
  }
  return Import(text, regFile, error);
}

bool WineService::Import(const std::string& text, const std::string& regFile, std::string& error) const {
  WriteFile(regFile, text);
  ChildOptions quiet;
  const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
  quiet.stdinFd = m_nullInput;
  quiet.stdoutFd = quiet.stderrFd = devNull;
  ChildProcess reg({m_wine, "reg", "import", WindowsPath(regFile)}, Environment(), quiet);
  const int status = reg.Started() ? reg.Wait() : -1;
  if (devNull >= 0) close(devNull);
  if (status != 0) error = "wine reg import " + regFile + " ended with " + std::to_string(status);
  return status == 0;
}

std::vector<std::string> WineService::Command() const { return {m_wine, m_exe, "-d"}; }

std::vector<std::string> WineService::Environment() const {
  return {"OVANTA_REGISTRY", "OVANTA_SYSTEM_DIR", "OVANTA_SYSFS_ROOT"};
}

}  // namespace Replay
