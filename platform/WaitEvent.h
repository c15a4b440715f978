#pragma once
#include <mutex>
#include <span>

#include "platform/WaitTypes.h"

// Events a thread can wait on together with serial ports and sockets: eventfds on Linux,
// event objects on Windows (where sockets join a wait through WSAEventSelect).

class CSEventBase {
 public:
  // manualReset: stays signalled until reset (else one wait consumes the signal).
  explicit CSEventBase(bool manualReset = true);
  CSEventBase(const CSEventBase&) = delete;
  CSEventBase& operator=(const CSEventBase&) = delete;
  virtual ~CSEventBase();

  // The handle a wait waits on; Platform::kNoHandle when the event could not be created.
  Platform::NativeHandle Fd() const { return m_fd; }

 protected:
  void Signal();
  // Clears the event; true when it was signalled.
  bool Drain();
  // Whether it is signalled, without consuming the signal.
  bool Signalled() const;

  Platform::NativeHandle m_fd = Platform::kNoHandle;
};

// Manual-reset event: stays signalled until Reset.
class CWaitEvent : public CSEventBase {
 public:
  explicit CWaitEvent(bool signalled = false);
  virtual void Set();
  virtual void Reset();
  virtual bool IsSet();
  // Waits until set; false on time-out. timeoutMs < 0 waits without limit.
  bool Wait(int timeoutMs = -1);

 private:
  std::mutex m_lock;
};

namespace ReceiverService {

// Auto-reset event: one successful wait consumes the signal.
class CWaitEvent : public CSEventBase {
 public:
  CWaitEvent() : CSEventBase(false) {}
  void Set() { Signal(); }
  // Waits for the signal and consumes it; false on time-out. timeoutMs < 0 waits without limit.
  bool Wait(int timeoutMs = -1);
};

}  // namespace ReceiverService

namespace Platform {

// One thing to wait on: an event, or a descriptor (a socket; on Linux any pollable file) with
// the poll events wanted.
struct WaitHandle {
  NativeHandle fd = kNoHandle;
  short events = POLLIN;
  bool autoReset = false;  // consume the signal when this handle ends the wait
  bool event = false;      // one of the events above, not a descriptor

  static WaitHandle Of(const ::CWaitEvent& e) { return {e.Fd(), POLLIN, false, true}; }
  static WaitHandle Of(const ReceiverService::CWaitEvent& e) { return {e.Fd(), POLLIN, true, true}; }
  static WaitHandle Descriptor(NativeHandle fd, short events = POLLIN) { return {fd, events, false, false}; }
};

constexpr int kWaitTimeout = -2;
constexpr int kWaitFailed = -1;

// Waits until any handle is ready and returns the lowest ready index, kWaitTimeout when
// timeoutMs passed (timeoutMs < 0: no limit), or kWaitFailed. A descriptor counts as ready
// on any of its poll events, hang-up and error included. revents, when given, receives the
// poll events of the returned handle.
int WaitForAny(std::span<const WaitHandle> handles, int timeoutMs, short* revents = nullptr);

}  // namespace Platform
