#include <fstream>

#include "connections/RestartDeviceThread.h"

namespace {

bool WriteAttribute(const std::string& path, const char* value) {
  std::ofstream out(path);
  if (!out) return false;
  out << value;
  out.flush();
  return static_cast<bool>(out);
}

}  // namespace

// The device (its sysfs path) is de-authorised and authorised again, which makes the kernel
// drop and re-probe it.
bool CRestartDeviceThread::RestartDevice(const std::string& deviceSysfsPath) {
  if (deviceSysfsPath.empty()) return false;
  const std::string authorized = deviceSysfsPath + "/authorized";
  return WriteAttribute(authorized, "0") && WriteAttribute(authorized, "1");
}
