#pragma once
// What the service binary needs to run in a test: a registry store in the test's folder and an
// environment pointing the service at it, at a system folder there and at an empty sysfs (so
// it finds no real receiver).
#include <filesystem>
#include <string>
#include <vector>

#include "tests/service/TestFiles.h"

// Writes dir/registry.ini: the log file and flags, the listed ports (none when empty), the answer
// spool in dir/spool, further "Name=value" lines of the hardware-service key, and the software
// service's URI. Returns the
// environment for the service process.
inline std::vector<std::string> ServiceEnvironment(const TempDir& dir, const std::string& logPath, int logFlags,
                                                   const std::string& ports, const std::string& uri,
                                                   const std::vector<std::string>& settings = {}) {
  std::filesystem::create_directories(dir.File("sys"));
  std::string hardware = "[HKEY_LM\\SOFTWARE\\Vantrel\\Voxlet\\HardwareService]\nLog20Location=" + logPath +
                         "\nLogFlags=" + std::to_string(logFlags) + "\n";
  if (!ports.empty()) hardware += "Ports=" + ports + "\n";
  // The answer spool in the test's folder too, unless the test names another.
  bool spoolNamed = false;
  for (const std::string& line : settings) spoolNamed = spoolNamed || line.rfind("SpoolDirectory=", 0) == 0;
  if (!spoolNamed) hardware += "SpoolDirectory=" + dir.File("spool") + "\n";
  for (const std::string& line : settings) hardware += line + "\n";
  WriteFile(dir.File("registry.ini"),
            hardware + "\n[HKEY_LM\\SOFTWARE\\Vantrel\\Voxlet\\SoftwareService]\nUri=" + uri + "\n");
  return {"OVANTA_REGISTRY=" + dir.File("registry.ini"), "OVANTA_SYSTEM_DIR=" + dir.File("system"),
          "OVANTA_SYSFS_ROOT=" + dir.File("sys")};
}
