#pragma once
#include <windows.h>

#include <atomic>
#include <string>

#include "connections/RestartDeviceThread.h"
#include "connections/Windows/ProlificDriver.h"
#include "connections/Windows/ThreadedPort.h"

// A receiver behind a USB-serial bridge, reached through the bridge driver's own requests
// (ProlificDriver.h) on the bridge's device handle: line settings and control lines are the
// driver's words, bytes go with its data requests. A bridge that keeps failing reads is
// restarted: after 75 failed reads the port closes, the link is lost and the device is
// restarted through SetupAPI.
class CThreadedProlificPort : public CThreadedPort {
 public:
  static constexpr int kFailedReadsBeforeRestart = 75;

  explicit CThreadedProlificPort(std::string deviceInstanceId, CProlificDriver& driver = CProlificDriver::System())
      : m_driver(driver), m_instanceId(std::move(deviceInstanceId)) {}
  ~CThreadedProlificPort() override;

  bool SetLine(const LineSettings& settings) override;
  bool GetLine(LineSettings* settings) override;

  int FailedReads() const { return m_failedReads.load(); }
  int Restarts() const { return m_restarts.load(); }

 protected:
  std::error_code DoOpen(const std::string& name) override;
  void DoClose() override;
  Voxlet::StringBuffer DoPnPId() override;
  bool DoReset(bool pulse) override;
  void OnReadFailed() override;

  BOOL BeginRead(void* buffer, DWORD size, DWORD* got, OVERLAPPED* overlapped) override;
  BOOL BeginWrite(const void* bytes, DWORD size, DWORD* written, OVERLAPPED* overlapped) override;
  BOOL EndIo(OVERLAPPED* overlapped, DWORD* transferred, BOOL wait) override;
  void CancelIo(OVERLAPPED* overlapped) override;

 private:
  static constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

  // An EscapeCommFunction code (SETRTS, CLRDTR, ...) on the control-line word, then written.
  void Escape(DWORD function);
  void Purge(DWORD flags);

  CProlificDriver& m_driver;
  std::string m_instanceId;
  uint16_t m_controlLines = 0;  // I/O thread only
  std::atomic<int> m_failedReads{0};
  std::atomic<int> m_restarts{0};
  CRestartDeviceThread m_restartThread;
};
