#include "connections/Linux/ThreadedPort.h"

#include <poll.h>

#include <cerrno>

CThreadedPort::~CThreadedPort() { ClosePort(); }

bool CThreadedPort::DeviceGone(const std::error_code& error) {
  if (error == Platform::Error::kNotPresent) return true;
  if (error.category() != std::generic_category()) return false;
  return error.value() == EIO || error.value() == ENXIO || error.value() == ENODEV;
}

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
    // A packet with nothing (more) to write is done: the device's readiness would not end it.
    if (m_writeOffset >= WriteLength(*m_writing)) {
      m_writing.reset();
      continue;
    }
    size_t written = 0;
    const std::error_code error = DoWrite(*m_writing, m_writeOffset, &written);
    if (error) {
      if (DeviceGone(error)) MarkLost();
      m_writing.reset();  // a write error drops the packet
      continue;
    }
    if (written == 0) return true;
    m_writeOffset += written;
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
        const std::error_code error = DoRead();
        // A hang-up with nothing left to read is a device gone, whatever the read said.
        const bool hungUp = (revents & (POLLHUP | POLLERR)) && !(revents & POLLIN);
        if (DeviceGone(error) || (!error && hungUp)) {
          MarkLost();
        } else if (error) {
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
