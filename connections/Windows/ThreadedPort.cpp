#include "connections/Windows/ThreadedPort.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "connections/Windows/Win32LinkErrors.h"

namespace {

HANDLE EventHandle(const CWaitEvent& e) { return reinterpret_cast<HANDLE>(e.Fd()); }

}  // namespace

CThreadedPort::~CThreadedPort() { ClosePort(); }

BOOL CThreadedPort::BeginRead(void* buffer, DWORD size, DWORD* got, OVERLAPPED* overlapped) {
  return ::ReadFile(m_handle, buffer, size, got, overlapped);
}

BOOL CThreadedPort::BeginWrite(const void* bytes, DWORD size, DWORD* written, OVERLAPPED* overlapped) {
  return ::WriteFile(m_handle, bytes, size, written, overlapped);
}

BOOL CThreadedPort::EndIo(OVERLAPPED* overlapped, DWORD* transferred, BOOL wait) {
  return ::GetOverlappedResult(m_handle, overlapped, transferred, wait);
}

void CThreadedPort::CancelIo(OVERLAPPED* overlapped) { ::CancelIoEx(m_handle, overlapped); }

void CThreadedPort::TakeRead(const uint8_t* bytes, DWORD got) {
  Queue().PushReceived(std::make_unique<CSBIOPacket>(bytes, got, false));
}

std::span<const uint8_t> CThreadedPort::WriteBytes(const CSBIOPacket& packet) {
  // Serial links drop flagged packets.
  if (packet.m_flag || packet.PayloadLength() == 0) return {};
  return {packet.Payload(), packet.PayloadLength()};
}

BOOL CThreadedPort::IoResult(OVERLAPPED* overlapped, DWORD* transferred, bool cancel) {
  if (cancel) CancelIo(overlapped);
  // A cancelled operation still ends with what it transferred (ERROR_OPERATION_ABORTED).
  return EndIo(overlapped, transferred, cancel ? TRUE : FALSE);
}

bool CThreadedPort::StartRead() {
  while (!IsDeviceLost()) {
    m_readOverlapped = OVERLAPPED{};
    m_readOverlapped.hEvent = EventHandle(m_readDone);
    DWORD got = 0;
    if (!BeginRead(m_readBuffer.data(), static_cast<DWORD>(m_readBuffer.size()), &got, &m_readOverlapped)) {
      const DWORD error = ::GetLastError();
      if (error == ERROR_IO_PENDING) {
        m_readPending = true;
        return true;
      }
      ReadFailed(error);
      return false;
    }
    // Done at once: an empty read is a time-out (no read should end empty with the port's
    // time-outs); the side waits before it reads again instead of spinning.
    if (got == 0) return false;
    TakeRead(m_readBuffer.data(), got);
  }
  return false;
}

void CThreadedPort::ReadFailed(DWORD error) {
  if (Win32LinkErrors::DeviceGone(error))
    MarkLost();
  else if (error != ERROR_OPERATION_ABORTED)
    OnReadFailed();
}

bool CThreadedPort::CollectRead() {
  m_readPending = false;
  DWORD got = 0;
  const BOOL ok = IoResult(&m_readOverlapped, &got, false);
  const DWORD error = ok ? ERROR_SUCCESS : ::GetLastError();
  // Bytes that came with an error still count (Wine ends a cancelled read with its bytes).
  if (got > 0) TakeRead(m_readBuffer.data(), got);
  if (!ok) ReadFailed(error);
  // Under Wine a read's time-out can end as ERROR_TIMEOUT with no bytes: like any empty or
  // failed read, the read side waits before the next one.
  return ok && got > 0;
}

void CThreadedPort::AfterWrite(BOOL ok, DWORD written, DWORD error) {
  if (!ok) {
    if (Win32LinkErrors::DeviceGone(error)) MarkLost();
    m_writeOffset = m_writeLength;  // a write error drops the packet
    return;
  }
  // The write time-out ended a write that took nothing: the device takes no bytes now, and the
  // packet goes rather than holding the queue.
  m_writeOffset = written == 0 ? m_writeLength : m_writeOffset + written;
}

void CThreadedPort::PumpWrites() {
  while (!m_writePending) {
    if (m_writeOffset >= m_writeLength) {
      std::unique_ptr<CSBIOPacket> packet = Queue().PopOutgoing();
      if (!packet) {
        Queue().MarkOutgoingWritten();
        return;
      }
      // A lost device takes nothing.
      if (IsDeviceLost()) continue;
      const std::span<const uint8_t> bytes = WriteBytes(*packet);
      if (bytes.empty()) continue;
      m_writeLength = bytes.size();
      if (m_writeBuffer.size() < m_writeLength) m_writeBuffer.resize(m_writeLength);
      std::memcpy(m_writeBuffer.data(), bytes.data(), m_writeLength);
      m_writeOffset = 0;
    }
    m_writeOverlapped = OVERLAPPED{};
    m_writeOverlapped.hEvent = EventHandle(m_writeDone);
    DWORD written = 0;
    const BOOL ok = BeginWrite(m_writeBuffer.data() + m_writeOffset, static_cast<DWORD>(m_writeLength - m_writeOffset),
                               &written, &m_writeOverlapped);
    const DWORD error = ok ? ERROR_SUCCESS : ::GetLastError();
    if (!ok && error == ERROR_IO_PENDING) {
      m_writePending = true;
      return;
    }
    AfterWrite(ok, written, error);
  }
}

void CThreadedPort::CollectWrite() {
  m_writePending = false;
  DWORD written = 0;
  const BOOL ok = IoResult(&m_writeOverlapped, &written, false);
  AfterWrite(ok, written, ok ? ERROR_SUCCESS : ::GetLastError());
}

void CThreadedPort::Run() {
  ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
  if (!OpenOnThread()) return;
  m_readBuffer.assign(std::max<DWORD>(ReadSize(), 1), 0);
  bool readFailed = false;
  for (;;) {
    if (!m_readPending && !readFailed && !IsDeviceLost()) readFailed = !StartRead();
    PumpWrites();
    Platform::WaitHandle handles[6];
    size_t count = 0;
    handles[count++] = Platform::WaitHandle::Of(m_stopEvent);
    handles[count++] = Platform::WaitHandle::Of(SettingsRequest());
    handles[count++] = Platform::WaitHandle::Of(ResetRequest());
    // While a write is outstanding, new packets wait for it: its completion wakes the loop.
    if (!m_writePending) handles[count++] = Platform::WaitHandle::Of(Queue().OutgoingEvent());
    const int readIndex = m_readPending ? static_cast<int>(count) : -1;
    if (m_readPending) handles[count++] = Platform::WaitHandle::Of(m_readDone);
    const int writeIndex = m_writePending ? static_cast<int>(count) : -1;
    if (m_writePending) handles[count++] = Platform::WaitHandle::Of(m_writeDone);
    const int timeout = readFailed && !IsDeviceLost() ? ReadRetryMs() : -1;
    const int index = Platform::WaitForAny({handles, count}, timeout);
    if (index == 0) break;
    if (index == 1) {
      AnswerSettingsRequest();
    } else if (index == 2) {
      AnswerResetRequest();
    } else if (index == readIndex) {
      readFailed = !CollectRead();
    } else if (index == writeIndex) {
      CollectWrite();
    } else if (index == Platform::kWaitTimeout) {
      readFailed = false;
    } else if (index == Platform::kWaitFailed) {
      if (m_stopEvent.Wait(200)) break;
    }
    // The outgoing event needs nothing more: the next turn pumps the writes.
  }
  MarkClosed();
  FinishIo();
  std::lock_guard<std::mutex> guard(m_portLock);
  DoClose();
}

void CThreadedPort::FinishIo() {
  DWORD transferred = 0;
  if (m_readPending) IoResult(&m_readOverlapped, &transferred, true);
  m_readPending = false;
  if (m_writePending) {
    const bool done = !IsDeviceLost() && ::WaitForSingleObject(EventHandle(m_writeDone), 1000) == WAIT_OBJECT_0;
    IoResult(&m_writeOverlapped, &transferred, !done);
  }
  m_writePending = false;
  m_writeOffset = m_writeLength = 0;
}

bool CThreadedPort::QuiesceIo() {
  const bool readWasPending = m_readPending;
  DWORD transferred = 0;
  if (m_readPending) IoResult(&m_readOverlapped, &transferred, true);
  m_readPending = false;
  if (m_writePending) {
    // Bounded by the port's write time-out.
    m_writePending = false;
    const BOOL ok = EndIo(&m_writeOverlapped, &transferred, TRUE);
    AfterWrite(ok, transferred, ok ? ERROR_SUCCESS : ::GetLastError());
  }
  return readWasPending;
}

CThreadedPort::IoEnd CThreadedPort::WaitForIo(OVERLAPPED* overlapped, const CWaitEvent& done, int timeoutMs) {
  const Platform::WaitHandle handles[] = {Platform::WaitHandle::Of(done), Platform::WaitHandle::Of(m_stopEvent)};
  const int index = Platform::WaitForAny(handles, std::max(timeoutMs, 0));
  if (index == 0) return IoEnd::kDone;
  CancelIo(overlapped);
  return index == 1 ? IoEnd::kStopped : IoEnd::kTimedOut;
}

bool CThreadedPort::WriteAll(std::span<const uint8_t> bytes, int timeoutMs) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = EventHandle(m_writeDone);
  DWORD written = 0;
  BOOL ok = BeginWrite(bytes.data(), static_cast<DWORD>(bytes.size()), &written, &overlapped);
  if (!ok && ::GetLastError() == ERROR_IO_PENDING) {
    WaitForIo(&overlapped, m_writeDone, timeoutMs);
    ok = EndIo(&overlapped, &written, TRUE);
  }
  if (!ok && Win32LinkErrors::DeviceGone(::GetLastError())) MarkLost();
  return ok && written == bytes.size();
}

std::vector<uint8_t> CThreadedPort::ReadFor(size_t count, int timeoutMs) {
  std::vector<uint8_t> bytes;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  uint8_t chunk[kReadSize];
  while (bytes.size() < count && !IsDeviceLost()) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    OVERLAPPED overlapped{};
    overlapped.hEvent = EventHandle(m_readDone);
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min(sizeof chunk, count - bytes.size()));
    BOOL ok = BeginRead(chunk, want, &got, &overlapped);
    IoEnd end = IoEnd::kDone;
    if (!ok && ::GetLastError() == ERROR_IO_PENDING) {
      end = WaitForIo(&overlapped, m_readDone, static_cast<int>(left.count()));
      ok = EndIo(&overlapped, &got, TRUE);
    }
    const DWORD error = ok ? ERROR_SUCCESS : ::GetLastError();
    bytes.insert(bytes.end(), chunk, chunk + got);
    if (!ok && Win32LinkErrors::DeviceGone(error)) MarkLost();
    // Ended by the time, the stop or an error, or empty (a time-out): nothing more comes now.
    if (end != IoEnd::kDone || !ok || got == 0) break;
  }
  return bytes;
}
