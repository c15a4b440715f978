#pragma once
#include <windows.h>

#include <cstdint>

#include "connections/ProlificLine.h"

// The USB-serial bridge driver's own device-control requests on an open bridge handle. The
// system's driver is reached with DeviceIoControl; tests stand in for it (no bridge under
// Wine). The data requests are overlapped: they answer as ReadFile and WriteFile do, and end
// through Result and Cancel.
class CProlificDriver {
 public:
  // The driver's control codes.
  static constexpr DWORD kReadLineCoding = 0x222034;
  static constexpr DWORD kWriteLineCoding = 0x222038;
  static constexpr DWORD kPurge = 0x222040;
  static constexpr DWORD kWriteData = 0x22203C;
  static constexpr DWORD kWriteControlLines = 0x22204C;
  static constexpr DWORD kReadData = 0x22205C;
  static constexpr DWORD kReadModemStatus = 0x222060;

  CProlificDriver() = default;
  virtual ~CProlificDriver() = default;
  CProlificDriver(const CProlificDriver&) = delete;
  CProlificDriver& operator=(const CProlificDriver&) = delete;

  virtual BOOL ReadLineCoding(HANDLE device, ProlificLine::Coding* coding);
  virtual BOOL WriteLineCoding(HANDLE device, const ProlificLine::Coding& coding);
  virtual BOOL WriteControlLines(HANDLE device, uint16_t word);
  // PURGE_TXABORT, PURGE_RXABORT, PURGE_TXCLEAR, PURGE_RXCLEAR.
  virtual BOOL Purge(HANDLE device, DWORD flags);
  virtual BOOL WriteData(HANDLE device, const void* bytes, DWORD size, DWORD* written, OVERLAPPED* overlapped);
  virtual BOOL ReadData(HANDLE device, void* buffer, DWORD size, DWORD* got, OVERLAPPED* overlapped);
  virtual BOOL Result(HANDLE device, OVERLAPPED* overlapped, DWORD* transferred, BOOL wait);
  virtual void Cancel(HANDLE device, OVERLAPPED* overlapped);
  // In GetCommModemStatus's bits (MS_CTS_ON, MS_DSR_ON, MS_RING_ON).
  virtual BOOL ReadModemStatus(HANDLE device, DWORD* status);

  // The system's driver.
  static CProlificDriver& System();

 private:
  // A request without overlapped I/O on the overlapped handle: waits for its end.
  static BOOL Request(HANDLE device, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize);
};
