#pragma once
// The Windows service executable in place of the Linux one, run under Wine (the program that
// $OVANTA_WINE names, else /usr/lib/wine/wine64) in the prefix of $WINEPREFIX (a persistent
// wineserver for it is the caller's): the receiver's line is a COM port of the prefix, and the
// service's settings are in the prefix's own registry.
#include <string>
#include <vector>

#include "tests/integration/ServiceSetup.h"

namespace Replay {

// The Windows build's ovanta-hardware.exe that the replays run instead of this build's service:
// the environment's OVANTA_WINDOWS_HARDWARE_EXE; empty for none.
std::string WindowsServiceExe();

// A path of this machine as a Windows program under Wine names it: on drive Z:, which is "/".
std::string WindowsPath(const std::string& path);

class WineService {
 public:
  // `device` is the receiver's line (a pseudo-terminal, or a link to one that may be pointed at
  // another): it is mapped to a free COM port of the prefix for the life of this object.
  WineService(std::string exe, const std::string& device);
  ~WineService();
  WineService(const WineService&) = delete;
  WineService& operator=(const WineService&) = delete;

  // The COM port's device path ("\\.\COMn"), empty when none could be mapped (Error says why).
  const std::string& Port() const { return m_port; }
  const std::string& Error() const { return m_error; }

  // Replaces the keys of `values` in the prefix's registry with just these values (numbers as
  // REG_DWORD, the rest as REG_SZ), through a .reg file written to `regFile` and imported. The
  // keys are deleted again when this object goes.
  bool WriteSettings(const std::vector<RegistryValue>& values, const std::string& regFile, std::string& error);

  // The command that runs the service on the console, and the environment beside it (no file
  // store: the service reads the registry).
  std::vector<std::string> Command() const;
  std::vector<std::string> Environment() const;
  const std::string& Wine() const { return m_wine; }
  // Standard input for the service: not the test's terminal, which Wine would take over.
  int NullInput() const { return m_nullInput; }

 private:
  // Writes the .reg text to regFile and imports it into the prefix's registry.
  bool Import(const std::string& text, const std::string& regFile, std::string& error) const;

  std::string m_exe;
  std::string m_wine;
  std::vector<std::string> m_keys;  // the keys WriteSettings filled
  std::string m_regFile;
  std::string m_link;  // the prefix's dosdevices entry made for the port
  std::string m_port;
  std::string m_error;
  int m_nullInput = -1;
};

}  // namespace Replay
