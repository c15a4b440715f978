#include "platform/WaitEvent.h"

// The events' behaviour on top of each OS's primitives (Signal, Drain, Signalled and
// WaitForAny, in the backend).

CWaitEvent::CWaitEvent(bool signalled) {
  if (signalled) Signal();
}

void CWaitEvent::Set() {
  std::lock_guard<std::mutex> guard(m_lock);
  Signal();
}

void CWaitEvent::Reset() {
  std::lock_guard<std::mutex> guard(m_lock);
  Drain();
}

bool CWaitEvent::IsSet() {
  std::lock_guard<std::mutex> guard(m_lock);
  return Signalled();
}

bool CWaitEvent::Wait(int timeoutMs) {
  const Platform::WaitHandle h = Platform::WaitHandle::Of(*this);
  return Platform::WaitForAny({&h, 1}, timeoutMs) == 0;
}

namespace ReceiverService {

bool CWaitEvent::Wait(int timeoutMs) {
  const Platform::WaitHandle h = Platform::WaitHandle::Of(*this);
  return Platform::WaitForAny({&h, 1}, timeoutMs) == 0;
}

}  // namespace ReceiverService
