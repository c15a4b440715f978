#include "connections/Windows/ThreadedCOMPort.h"

#include <algorithm>

#include "connections/DetectionProbes.h"
#include "connections/SerialPnPId.h"
#include "connections/Windows/Win32LinkErrors.h"
#include "platform/Windows/WideText.h"
#include "platform/Windows/Win32Error.h"

namespace {

constexpr DWORD kInputQueue = 2048;
constexpr DWORD kOutputQueue = 1024;
constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

}  // namespace

CThreadedCOMPort::~CThreadedCOMPort() { ClosePort(); }

BOOL CThreadedCOMPort::BeginRead(void* buffer, DWORD size, DWORD* got, OVERLAPPED* overlapped) {
  // A read of the whole buffer would end only once it is full or the line has been quiet for
  // the interval time-out, and answers that stream in at the line's pace keep the line busy:
  // every answer of a burst would wait for its end. So a read asks for what the driver holds
  // (it ends at once), or for one byte, which ends as the next byte comes. Reading the
  // driver's count also clears a line error that would stop further reads.
  DWORD errors = 0;
  COMSTAT status{};
  DWORD want = 1;
  if (::ClearCommError(m_handle, &errors, &status) && status.cbInQue > 0) want = std::min(size, status.cbInQue);
  return CThreadedPort::BeginRead(buffer, std::min(want, size), got, overlapped);
}

COMMTIMEOUTS CThreadedCOMPort::Timeouts() {
  // A read waits for its first byte without limit and ends once the line has been quiet for
  // 10 ms (or the buffer is full): bytes reach the queue as soon as a burst ends, on Windows
  // and under Wine alike. Total read time-outs would hold every burst until they expire
  // (0/1/2000 holds it about 4 s), and Wine never completes an overlapped read under the
  // "return what is there, else wait" setting MAXDWORD/MAXDWORD/N. The waits with a limit
  // (the detection probes, the Plug and Play identifier) wait on the read's event and cancel
  // the read at their time, so no read depends on a total time-out. A write that the device
  // does not take ends after 2 s plus 1 ms a byte.
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = 10;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 0;
  timeouts.WriteTotalTimeoutMultiplier = 1;
  timeouts.WriteTotalTimeoutConstant = 2000;
  return timeouts;
}

DCB CThreadedCOMPort::OpenTemplate() {
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = 9600;
  dcb.fBinary = TRUE;
  dcb.fParity = TRUE;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.XonLim = 2048;
  dcb.XoffLim = 512;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  return dcb;
}

std::error_code CThreadedCOMPort::DoOpen(const std::string& name) {
  if (name.empty()) return Platform::Error::kNotPresent;
  // A port as the registry names it ("COM12") is opened through the device namespace: COM
  // ports above COM9 have no other name.
  const std::string path = name.rfind("\\\\", 0) == 0 ? name : "\\\\.\\" + name;
  const HANDLE handle = ::CreateFileW(Platform::Widen(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return Platform::LastWin32Error();
  // A file that is no serial port has no communications state: it is no receiver's port.
  m_saved = DCB{};
  m_saved.DCBlength = sizeof(DCB);
  m_savedValid = ::GetCommState(handle, &m_saved) != FALSE;
  if (!m_savedValid) {
    const DWORD error = ::GetLastError();
    ::CloseHandle(handle);
    return Win32LinkErrors::OpenFailure(error);
  }
  ::SetupComm(handle, kInputQueue, kOutputQueue);
  COMMTIMEOUTS timeouts = Timeouts();
  DCB dcb = OpenTemplate();
  if (!::SetCommTimeouts(handle, &timeouts) || !::SetCommState(handle, &dcb)) {
    const DWORD error = ::GetLastError();
    ::CloseHandle(handle);
    return Win32LinkErrors::OpenFailure(error);
  }
  ::PurgeComm(handle, PURGE_TXCLEAR | PURGE_RXCLEAR);
  {
    std::lock_guard<std::mutex> guard(m_portLock);
    m_handle = handle;
  }
  Escape(SETRTS);
  return {};
}

void CThreadedCOMPort::DoClose() {
  if (m_handle == INVALID_HANDLE_VALUE) return;
  ::PurgeComm(m_handle, kPurgeAll);
  if (m_savedValid) ::SetCommState(m_handle, &m_saved);
  ::CloseHandle(m_handle);
  m_handle = INVALID_HANDLE_VALUE;
  m_savedValid = false;
}

bool CThreadedCOMPort::SetLine(const LineSettings& settings) {
  // The receiver's parity and stop-bit codes are the DCB's (NOPARITY .. SPACEPARITY,
  // ONESTOPBIT .. TWOSTOPBITS).
  if (settings.baudRate == 0 || settings.byteSize < 5 || settings.byteSize > 8 || settings.parity > 4 ||
      settings.stopBits > 2)
    return false;
  std::lock_guard<std::mutex> guard(m_portLock);
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  if (m_handle == INVALID_HANDLE_VALUE || !::GetCommState(m_handle, &dcb)) return false;
  dcb.BaudRate = settings.baudRate;
  dcb.ByteSize = settings.byteSize;
  dcb.Parity = settings.parity;
  dcb.StopBits = settings.stopBits;
  return ::SetCommState(m_handle, &dcb) != FALSE;
}

bool CThreadedCOMPort::GetLine(LineSettings* settings) {
  std::lock_guard<std::mutex> guard(m_portLock);
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  if (m_handle == INVALID_HANDLE_VALUE || !::GetCommState(m_handle, &dcb)) return false;
  *settings = LineSettings{static_cast<uint32_t>(dcb.BaudRate), dcb.ByteSize, dcb.Parity, dcb.StopBits};
  return true;
}

void CThreadedCOMPort::Escape(DWORD function) {
  if (m_handle != INVALID_HANDLE_VALUE) ::EscapeCommFunction(m_handle, function);
}

bool CThreadedCOMPort::DoReset(bool pulse) {
  ::PurgeComm(m_handle, QuiesceIo() ? kPurgeAll : PURGE_TXCLEAR | PURGE_RXCLEAR);
  return Detect(
      pulse, CandidateSettleMs(), [this](bool raised) { Escape(raised ? SETRTS : CLRRTS); },
      [this](std::span<const uint8_t> bytes, int timeoutMs) { return WriteAll(bytes, timeoutMs); },
      [this](size_t count, int timeoutMs) { return ReadFor(count, timeoutMs); });
}

Voxlet::StringBuffer CThreadedCOMPort::DoPnPId() {
  QuiesceIo();
  DCB saved{};
  saved.DCBlength = sizeof(DCB);
  const bool haveSaved = ::GetCommState(m_handle, &saved) != FALSE;
  DCB dcb = haveSaved ? saved : OpenTemplate();
  dcb.BaudRate = 1200;
  dcb.ByteSize = 7;
  dcb.Parity = NOPARITY;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  PnPSteps steps;
  steps.setDtr = [this](bool raised) { Escape(raised ? SETDTR : CLRDTR); };
  steps.setRts = [this](bool raised) { Escape(raised ? SETRTS : CLRRTS); };
  steps.purge = [this] { ::PurgeComm(m_handle, kPurgeAll); };
  steps.pause = [this](int ms) { m_stopEvent.Wait(ms); };
  steps.enterPnPLine = [this, &dcb] {
    std::lock_guard<std::mutex> guard(m_portLock);
    ::SetCommState(m_handle, &dcb);
  };
  steps.read = [this](size_t count, int timeoutMs) { return ReadFor(count, timeoutMs); };
  const Voxlet::StringBuffer id = ReadPnPId(steps);
  if (haveSaved) {
    std::lock_guard<std::mutex> guard(m_portLock);
    ::SetCommState(m_handle, &saved);
  }
  return id;
}
