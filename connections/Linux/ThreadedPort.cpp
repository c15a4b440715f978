#include "connections/ThreadedPort.h"

#include <poll.h>

CThreadedPort::~CThreadedPort() { ClosePort(); }

uint32_t CThreadedPort::OpenPort(const std::string& name) {
  if (IsRunning()) return m_open.load() && name == m_name ? LinkResult::kAlreadyOpen : LinkResult::kInUse;
  WaitForEnd();
  m_name = name;
  m_lost = false;
  m_opened.Reset();
  Start();
  m_opened.Wait(-1);
  const uint32_t result = m_openResult.load();
  if (result != LinkResult::kSuccess) WaitForEnd();
  return result;
}

void CThreadedPort::ClosePort() {
  Stop();
  WaitForEnd();
}

Voxlet::StringBuffer CThreadedPort::RequestPnPId() {
  std::lock_guard<std::mutex> guard(m_requestLock);
  if (!IsRunning()) return {};
  m_requestDone.Reset();
  m_settingsRequest.Set();
  const Platform::WaitHandle handles[] = {Platform::WaitHandle::Of(m_requestDone),
                                          Platform::WaitHandle::Of(FinishedEvent())};
  if (Platform::WaitForAny(handles, -1) != 0) return {};
  std::lock_guard<std::mutex> pnpGuard(m_pnpLock);
  return m_pnpId;
}

bool CThreadedPort::RequestReset(bool pulse) {
  std::lock_guard<std::mutex> guard(m_requestLock);
  if (!IsRunning()) return false;
  m_resetPulse = pulse;
  m_requestDone.Reset();
  m_resetRequest.Set();
  const Platform::WaitHandle handles[] = {Platform::WaitHandle::Of(m_requestDone),
                                          Platform::WaitHandle::Of(FinishedEvent())};
  return Platform::WaitForAny(handles, -1) == 0 && m_resetResult;
}

void CThreadedPort::MarkLost() {
  if (m_lost.exchange(true)) return;
  // The consumer wakes, finds no packet and learns that the device is gone.
  m_queue.ReceivedEvent().Set();
}

bool CThreadedPort::WaitReadable(int timeoutMs) {
  const Platform::WaitHandle handles[] = {Platform::WaitHandle::Of(m_stopEvent),
                                          Platform::WaitHandle::Descriptor(Fd(), POLLIN)};
  return Platform::WaitForAny(handles, timeoutMs) == 1;
}

bool CThreadedPort::PumpWrites() {
  for (;;) {
    if (!m_writing) {
      m_writing = m_queue.PopOutgoing();
      m_writeOffset = 0;
      if (!m_writing) {
        m_queue.MarkOutgoingWritten();
        return false;
      }
    }
    // Flagged packets are dropped by serial links; a lost device takes nothing.
    if (m_lost.load() || (m_writing->m_flag && DropsFlagged())) {
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
  // The pause gives a device that has just appeared time to settle.
  if (m_stopEvent.Wait(100)) {
    m_openResult = LinkResult::kNotPresent;
    m_opened.Set();
    return;
  }
  m_openResult = DoOpen(m_name);
  m_open = m_openResult.load() == LinkResult::kSuccess;
  m_opened.Set();
  if (!m_open.load()) return;

  constexpr int kReadRetryMs = 1000;
  bool readFailed = false;
  for (;;) {
    const bool writePending = PumpWrites();
    const bool watchDevice = !m_lost.load() && (!readFailed || writePending);
    Platform::WaitHandle handles[6];
    size_t count = 0;
    handles[count++] = Platform::WaitHandle::Of(m_stopEvent);
    handles[count++] = Platform::WaitHandle::Of(m_settingsRequest);
    handles[count++] = Platform::WaitHandle::Of(m_resetRequest);
    // While a write waits for the device, new packets wait too: the device's readiness
    // wakes the loop instead.
    if (!writePending) handles[count++] = Platform::WaitHandle::Of(m_queue.OutgoingEvent());
    const size_t deviceIndex = count;
    if (watchDevice) {
      const short events = static_cast<short>((readFailed ? 0 : POLLIN) | (writePending ? POLLOUT : 0));
      handles[count++] = Platform::WaitHandle::Descriptor(Fd(), events);
    }
    const int timeout = readFailed && !m_lost.load() ? kReadRetryMs : -1;
    short revents = 0;
    const int index = Platform::WaitForAny({handles, count}, timeout, &revents);
    if (index == 0) break;
    if (index == 1) {
      m_settingsRequest.Reset();
      Voxlet::StringBuffer id = DoPnPId();
      {
        std::lock_guard<std::mutex> guard(m_pnpLock);
        m_pnpId = std::move(id);
      }
      m_requestDone.Set();
    } else if (index == 2) {
      m_resetRequest.Reset();
      m_resetResult = DoReset(m_resetPulse);
      m_requestDone.Set();
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
  m_open = false;
  m_writing.reset();
  std::lock_guard<std::mutex> guard(m_portLock);
  DoClose();
}
