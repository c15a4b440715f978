#pragma once
#include <atomic>
#include <string>

#include "platform/Thread.h"

// Restarts a USB device on a thread of its own: a bridge that keeps failing is dropped by the
// system and found again (its port comes back as a new device). The device is named by its
// instance id (Windows: the device instance ID; Linux: its sysfs path).
class CRestartDeviceThread : public CThread {
 public:
  ~CRestartDeviceThread() override { Join(); }

  // Starts a restart of the device (after the last one has ended).
  bool Restart(const std::string& instanceId);
  bool LastResult() const { return m_result.load(); }

  // The restart itself, each platform's (also run directly by tests); true when it was done.
  static bool RestartDevice(const std::string& instanceId);

 protected:
  unsigned Run() override;

 private:
  std::string m_instanceId;
  std::atomic<bool> m_result{false};
};
