#include "connections/Windows/ThreadedProlificPort.h"

#include "connections/SerialPnPId.h"
#include "connections/Windows/Win32LinkErrors.h"
#include "platform/Windows/WideText.h"
#include "platform/Windows/Win32Error.h"

CThreadedProlificPort::~CThreadedProlificPort() { ClosePort(); }

std::error_code CThreadedProlificPort::DoOpen(const std::string& name) {
  if (name.empty()) return Platform::Error::kNotPresent;
  // Overlapped, so that the I/O thread waits on a pending read together with its events
  // (a read on a handle without it would hold the thread until bytes come).
  const HANDLE handle = ::CreateFileW(Platform::Widen(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return Platform::LastWin32Error();
  // A device whose driver has no line coding is no bridge of a receiver.
  ProlificLine::Coding coding{};
  if (!m_driver.ReadLineCoding(handle, &coding)) {
    const DWORD error = ::GetLastError();
    ::CloseHandle(handle);
    return Win32LinkErrors::OpenFailure(error);
  }
  ProlificLine::Apply(LineSettings{9600, 8, 0, 0}, coding);
  if (!m_driver.WriteLineCoding(handle, coding)) {
    const DWORD error = ::GetLastError();
    ::CloseHandle(handle);
    return Win32LinkErrors::OpenFailure(error);
  }
  {
    std::lock_guard<std::mutex> guard(m_portLock);
    m_handle = handle;
  }
  m_controlLines = 0;
  m_failedReads = 0;
  Escape(SETRTS);
  return {};
}

void CThreadedProlificPort::DoClose() {
  if (m_handle == INVALID_HANDLE_VALUE) return;
  m_driver.Purge(m_handle, kPurgeAll);
  ::CloseHandle(m_handle);
  m_handle = INVALID_HANDLE_VALUE;
}

bool CThreadedProlificPort::SetLine(const LineSettings& settings) {
  if (!ProlificLine::Valid(settings)) return false;
  std::lock_guard<std::mutex> guard(m_portLock);
  ProlificLine::Coding coding{};
  if (m_handle == INVALID_HANDLE_VALUE || !m_driver.ReadLineCoding(m_handle, &coding)) return false;
  ProlificLine::Apply(settings, coding);
  return m_driver.WriteLineCoding(m_handle, coding) != FALSE;
}

bool CThreadedProlificPort::GetLine(LineSettings* settings) {
  std::lock_guard<std::mutex> guard(m_portLock);
  ProlificLine::Coding coding{};
  if (m_handle == INVALID_HANDLE_VALUE || !m_driver.ReadLineCoding(m_handle, &coding)) return false;
  *settings = ProlificLine::Read(coding);
  return true;
}

void CThreadedProlificPort::Escape(DWORD function) {
  if (m_handle == INVALID_HANDLE_VALUE || !ProlificLine::ApplyEscape(function, m_controlLines)) return;
  m_driver.WriteControlLines(m_handle, m_controlLines);
}

void CThreadedProlificPort::Purge(DWORD flags) {
  if (m_handle != INVALID_HANDLE_VALUE) m_driver.Purge(m_handle, flags);
}

BOOL CThreadedProlificPort::BeginRead(void* buffer, DWORD size, DWORD* got, OVERLAPPED* overlapped) {
  return m_driver.ReadData(m_handle, buffer, size, got, overlapped);
}

BOOL CThreadedProlificPort::BeginWrite(const void* bytes, DWORD size, DWORD* written, OVERLAPPED* overlapped) {
  return m_driver.WriteData(m_handle, bytes, size, written, overlapped);
}

BOOL CThreadedProlificPort::EndIo(OVERLAPPED* overlapped, DWORD* transferred, BOOL wait) {
  return m_driver.Result(m_handle, overlapped, transferred, wait);
}

void CThreadedProlificPort::CancelIo(OVERLAPPED* overlapped) { m_driver.Cancel(m_handle, overlapped); }

void CThreadedProlificPort::OnReadFailed() {
  if (++m_failedReads < kFailedReadsBeforeRestart) return;
  m_failedReads = 0;
  ++m_restarts;
  // Nothing stays outstanding on the handle that closes.
  QuiesceIo();
  {
    std::lock_guard<std::mutex> guard(m_portLock);
    DoClose();
  }
  // The consumer learns that this link is gone; the restarted bridge comes back as a new
  // device, which the receiver manager finds and opens.
  MarkLost();
  m_restartThread.Restart(m_instanceId);
}

bool CThreadedProlificPort::DoReset(bool pulse) {
  Purge(QuiesceIo() ? kPurgeAll : PURGE_TXCLEAR | PURGE_RXCLEAR);
  return Detect(
      pulse, 500, [this](bool raised) { Escape(raised ? SETRTS : CLRRTS); },
      [this](std::span<const uint8_t> bytes, int timeoutMs) { return WriteAll(bytes, timeoutMs); },
      [this](size_t count, int timeoutMs) { return ReadFor(count, timeoutMs); });
}

Voxlet::StringBuffer CThreadedProlificPort::DoPnPId() {
  QuiesceIo();
  LineSettings saved;
  const bool haveSaved = GetLine(&saved);
  PnPSteps steps;
  steps.setDtr = [this](bool raised) { Escape(raised ? SETDTR : CLRDTR); };
  steps.setRts = [this](bool raised) { Escape(raised ? SETRTS : CLRRTS); };
  steps.purge = [this] { Purge(kPurgeAll); };
  steps.pause = [this](int ms) { m_stopEvent.Wait(ms); };
  steps.enterPnPLine = [this, saved] { SetLine(LineSettings{1200, 7, 0, saved.stopBits}); };
  steps.read = [this](size_t count, int timeoutMs) { return ReadFor(count, timeoutMs); };
  const Voxlet::StringBuffer id = ReadPnPId(steps);
  if (haveSaved) SetLine(saved);
  return id;
}
