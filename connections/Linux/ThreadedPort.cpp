#include "connections/Linux/ThreadedPort.h"

#include <poll.h>

CThreadedPort::~CThreadedPort() { ClosePort(); }

bool CThreadedPort::WaitReadable(int timeoutMs) {
  const Platform::WaitHandle handles[] = {Platform::WaitHandle::Of(m_stopEvent),
                                          Platform::WaitHandle::Descriptor(Fd(), POLLIN)};
  return Platform::WaitForAny(handles, timeoutMs) == 1;
}

bool CThreadedPort::PumpWrites() {
  for (;;) {
    if (!m_writing) {
      m_writing = Queue().PopOutgoing();
      m_writeOffset = 0;
      if (!m_writing) {
        Queue().MarkOutgoingWritten();
        return false;
      }
    }
    // Flagged packets are dropped by serial links; a lost device takes nothing.
    if (IsDeviceLost() || (m_writing->m_flag && DropsFlagged())) {
      m_writing.reset();
      continue;
    }
    const ssize_t written = DoWrite(*m_writing, m_writeOffset);
    if (written == 0) return true;
    if (written == -2) {
      MarkLost();
      m_writing.reset();
      continue;
    }
    if (written < 0) {
      m_writing.reset();  // a write error drops the packet
      continue;
    }
    m_writeOffset += static_cast<size_t>(written);
    if (m_writeOffset >= WriteLength(*m_writing)) m_writing.reset();
  }
}

void CThreadedPort::Run() {
  if (!OpenOnThread()) return;

  constexpr int kReadRetryMs = 1000;
  bool readFailed = false;
  for (;;) {
    const bool writePending = PumpWrites();
    const bool watchDevice = !IsDeviceLost() && (!readFailed || writePending);
    Platform::WaitHandle handles[6];
    size_t count = 0;
    handles[count++] = Platform::WaitHandle::Of(m_stopEvent);
    handles[count++] = Platform::WaitHandle::Of(SettingsRequest());
    handles[count++] = Platform::WaitHandle::Of(ResetRequest());
    // While a write waits for the device, new packets wait too: the device's readiness
    // wakes the loop instead.
    if (!writePending) handles[count++] = Platform::WaitHandle::Of(Queue().OutgoingEvent());
    const size_t deviceIndex = count;
    if (watchDevice) {
      const short events = static_cast<short>((readFailed ? 0 : POLLIN) | (writePending ? POLLOUT : 0));
      handles[count++] = Platform::WaitHandle::Descriptor(Fd(), events);
    }
    const int timeout = readFailed && !IsDeviceLost() ? kReadRetryMs : -1;
    short revents = 0;
    const int index = Platform::WaitForAny({handles, count}, timeout, &revents);
    if (index == 0) break;
    if (index == 1) {
      AnswerSettingsRequest();
    } else if (index == 2) {
      AnswerResetRequest();
    } else if (watchDevice && index == static_cast<int>(deviceIndex)) {
      if (!readFailed && (revents & (POLLIN | POLLHUP | POLLERR))) {
        const ReadStatus status = DoRead();
        // A hang-up with nothing left to read is a device gone, whatever the read said.
        const bool hungUp = (revents & (POLLHUP | POLLERR)) && !(revents & POLLIN);
        if (status == ReadStatus::kLost || (status == ReadStatus::kOk && hungUp)) {
          MarkLost();
        } else if (status == ReadStatus::kFailed) {
          readFailed = true;
          OnReadFailed();
        }
      } else if (revents & (POLLHUP | POLLERR) && !(revents & POLLOUT)) {
        MarkLost();
      }
    } else if (index == Platform::kWaitTimeout) {
      readFailed = false;
    } else if (index == Platform::kWaitFailed) {
      if (m_stopEvent.Wait(200)) break;
    }
    // The outgoing event needs nothing more: the next turn pumps the writes.
  }
  MarkClosed();
  m_writing.reset();
  std::lock_guard<std::mutex> guard(m_portLock);
  DoClose();
}
