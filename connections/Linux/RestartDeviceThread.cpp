#include "connections/RestartDeviceThread.h"

#include <fstream>

namespace {

bool WriteAttribute(const std::string& path, const char* value) {
  std::ofstream out(path);
  if (!out) return false;
  out << value;
  out.flush();
  return static_cast<bool>(out);
}

}  // namespace

bool CRestartDeviceThread::Restart(const std::string& deviceSysfsPath) {
  Join();
  m_path = deviceSysfsPath;
  return Start();
}

bool CRestartDeviceThread::RestartDevice(const std::string& deviceSysfsPath) {
  if (deviceSysfsPath.empty()) return false;
  const std::string authorized = deviceSysfsPath + "/authorized";
  return WriteAttribute(authorized, "0") && WriteAttribute(authorized, "1");
}

unsigned CRestartDeviceThread::Run() {
  m_result = RestartDevice(m_path);
  return m_result.load() ? 0 : 1;
}
