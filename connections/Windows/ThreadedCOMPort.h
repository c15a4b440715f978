#pragma once
#include <windows.h>

#include "connections/Windows/ThreadedPort.h"

// A receiver on a Win32 serial port ("\\.\COMn"), opened exclusively for overlapped I/O:
// 9600 8N1 in binary mode without flow control, DTR off and RTS on, queues of 2048 bytes in
// and 1024 out. The port's own settings come back at close.
class CThreadedCOMPort : public CThreadedPort {
 public:
  CThreadedCOMPort() = default;
  ~CThreadedCOMPort() override;

  bool SetLine(const LineSettings& settings) override;
  bool GetLine(LineSettings* settings) override;

  // The port's time-outs (see ThreadedCOMPort.cpp).
  static COMMTIMEOUTS Timeouts();
  // The settings a port is opened with.
  static DCB OpenTemplate();

 protected:
  std::error_code DoOpen(const std::string& name) override;
  // Reads what the driver holds already, or waits for the next byte when it holds none.
  BOOL BeginRead(void* buffer, DWORD size, DWORD* got, OVERLAPPED* overlapped) override;
  void DoClose() override;
  Voxlet::StringBuffer DoPnPId() override;
  bool DoReset(bool pulse) override;

  // Pause after each candidate setting of the detection routine.
  virtual int CandidateSettleMs() const { return 0; }
  // EscapeCommFunction (SETRTS, CLRDTR, ...); a port without modem lines (a pseudo-terminal
  // under Wine) refuses, which changes nothing here.
  void Escape(DWORD function);

 private:
  DCB m_saved{};
  bool m_savedValid = false;
};
