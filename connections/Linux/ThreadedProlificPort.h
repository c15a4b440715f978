#pragma once
#include <atomic>

#include "connections/Linux/ThreadedCOMPort.h"
#include "connections/RestartDeviceThread.h"

// A receiver behind a USB-serial bridge, on the kernel's USB-serial tty. A bridge that keeps
// failing reads is restarted: after 75 failed reads the port closes and the USB device is
// reset.
class CThreadedProlificPort : public CThreadedCOMPort {
 public:
  static constexpr int kFailedReadsBeforeRestart = 75;

  explicit CThreadedProlificPort(std::string deviceInstanceId) : m_instanceId(std::move(deviceInstanceId)) {}
  ~CThreadedProlificPort() override;

  int FailedReads() const { return m_failedReads.load(); }
  int Restarts() const { return m_restarts.load(); }

 protected:
  void OnReadFailed() override;
  int CandidateSettleMs() const override { return 500; }
  // The device restart (replaced by tests).
  virtual void RestartDevice();

 private:
  std::string m_instanceId;
  std::atomic<int> m_failedReads{0};
  std::atomic<int> m_restarts{0};
  CRestartDeviceThread m_restartThread;
};
