#pragma once
#include <atomic>
#include <string>

#include "platform/Thread.h"

// Restarts a USB device by its sysfs path: de-authorises it and authorises it again, which
// makes the kernel drop and re-probe it (its tty comes back as a new device).
class CRestartDeviceThread : public CThread {
 public:
  ~CRestartDeviceThread() override { Join(); }

  // Starts a restart of the device; false when one is still running.
  bool Restart(const std::string& deviceSysfsPath);
  bool LastResult() const { return m_result.load(); }

  // The restart itself (also run directly by tests).
  static bool RestartDevice(const std::string& deviceSysfsPath);

 protected:
  unsigned Run() override;

 private:
  std::string m_path;
  std::atomic<bool> m_result{false};
};
