#pragma once
// What the service binary needs to run in a test: its settings in a registry store in the test's
// folder and an environment pointing the service at it, at a system folder there and at an
// empty sysfs (so it finds no real receiver).
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/service/TestFiles.h"

// One value of the registry under HKEY_LOCAL_MACHINE.
struct RegistryValue {
  std::string key;
  std::string name;
  std::string value;
};

// The service's settings for a test: the log file and flags, the listed ports (none when empty),
// the answer spool in dir/spool, further "Name=value" lines of the hardware-service key, and the
// software service's URI. `servicePath` names a file of this machine as the service names it
// (a Windows service under Wine needs a drive letter); by default as it is.
inline std::vector<RegistryValue> ServiceSettings(
    const TempDir& dir, const std::string& logPath, int logFlags, const std::string& ports, const std::string& uri,
    const std::vector<std::string>& settings = {},
    const std::function<std::string(const std::string&)>& servicePath = [](const std::string& p) { return p; }) {
  const std::string hardware = "SOFTWARE\\Vantrel\\Voxlet\\HardwareService";
  std::vector<RegistryValue> values = {{hardware, "Log20Location", servicePath(logPath)},
                                       {hardware, "LogFlags", std::to_string(logFlags)}};
  if (!ports.empty()) values.push_back({hardware, "Ports", ports});
  // The answer spool in the test's folder too, unless the test names another.
  bool spoolNamed = false;
  for (const std::string& line : settings) spoolNamed = spoolNamed || line.rfind("SpoolDirectory=", 0) == 0;
  if (!spoolNamed) values.push_back({hardware, "SpoolDirectory", servicePath(dir.File("spool"))});
  for (const std::string& line : settings) {
    const size_t equals = line.find('=');
    values.push_back({hardware, line.substr(0, equals), equals == std::string::npos ? "" : line.substr(equals + 1)});
  }
  values.push_back({"SOFTWARE\\Vantrel\\Voxlet\\SoftwareService", "Uri", uri});
  return values;
}

// Writes the service's settings (ServiceSettings) to dir/registry.ini and returns the environment
// for the service process.
inline std::vector<std::string> ServiceEnvironment(const TempDir& dir, const std::string& logPath, int logFlags,
                                                   const std::string& ports, const std::string& uri,
                                                   const std::vector<std::string>& settings = {}) {
  std::filesystem::create_directories(dir.File("sys"));
  std::map<std::string, std::string> sections;
  std::vector<std::string> order;
  for (const RegistryValue& v : ServiceSettings(dir, logPath, logFlags, ports, uri, settings)) {
    if (!sections.count(v.key)) order.push_back(v.key);
    sections[v.key] += v.name + "=" + v.value + "\n";
  }
  std::string ini;
  for (const std::string& key : order) ini += (ini.empty() ? "" : "\n") + ("[HKEY_LM\\" + key + "]\n") + sections[key];
  WriteFile(dir.File("registry.ini"), ini);
  return {"OVANTA_REGISTRY=" + dir.File("registry.ini"), "OVANTA_SYSTEM_DIR=" + dir.File("system"),
          "OVANTA_SYSFS_ROOT=" + dir.File("sys")};
}
