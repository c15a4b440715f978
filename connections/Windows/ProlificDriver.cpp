#include "connections/Windows/ProlificDriver.h"

#include "platform/WaitEvent.h"

BOOL CProlificDriver::Request(HANDLE device, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize) {
  CWaitEvent done;
  OVERLAPPED overlapped{};
  overlapped.hEvent = reinterpret_cast<HANDLE>(done.Fd());
  DWORD returned = 0;
  if (::DeviceIoControl(device, code, const_cast<void*>(in), inSize, out, outSize, &returned, &overlapped)) return TRUE;
  if (::GetLastError() != ERROR_IO_PENDING) return FALSE;
  return ::GetOverlappedResult(device, &overlapped, &returned, TRUE);
}

BOOL CProlificDriver::ReadLineCoding(HANDLE device, ProlificLine::Coding* coding) {
  return Request(device, kReadLineCoding, nullptr, 0, coding->data(), static_cast<DWORD>(coding->size()));
}

BOOL CProlificDriver::WriteLineCoding(HANDLE device, const ProlificLine::Coding& coding) {
  return Request(device, kWriteLineCoding, coding.data(), static_cast<DWORD>(coding.size()), nullptr, 0);
}

BOOL CProlificDriver::WriteControlLines(HANDLE device, uint16_t word) {
  return Request(device, kWriteControlLines, &word, sizeof word, nullptr, 0);
}

BOOL CProlificDriver::Purge(HANDLE device, DWORD flags) {
  return Request(device, kPurge, &flags, sizeof flags, nullptr, 0);
}

BOOL CProlificDriver::WriteData(HANDLE device, const void* bytes, DWORD size, DWORD* written, OVERLAPPED* overlapped) {
  return ::DeviceIoControl(device, kWriteData, const_cast<void*>(bytes), size, nullptr, 0, written, overlapped);
}

BOOL CProlificDriver::ReadData(HANDLE device, void* buffer, DWORD size, DWORD* got, OVERLAPPED* overlapped) {
  return ::DeviceIoControl(device, kReadData, nullptr, 0, buffer, size, got, overlapped);
}

BOOL CProlificDriver::Result(HANDLE device, OVERLAPPED* overlapped, DWORD* transferred, BOOL wait) {
  return ::GetOverlappedResult(device, overlapped, transferred, wait);
}

void CProlificDriver::Cancel(HANDLE device, OVERLAPPED* overlapped) { ::CancelIoEx(device, overlapped); }

BOOL CProlificDriver::ReadModemStatus(HANDLE device, DWORD* status) {
  uint8_t bytes[2] = {};
  if (!Request(device, kReadModemStatus, nullptr, 0, bytes, sizeof bytes)) return FALSE;
  *status = ProlificLine::ModemStatus(bytes[0]);
  return TRUE;
}

CProlificDriver& CProlificDriver::System() {
  static CProlificDriver system;
  return system;
}
