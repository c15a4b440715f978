#pragma once
#include <poll.h>

#include <mutex>
#include <span>

// Events are eventfds, so a thread can wait on them together with serial ports and sockets.

class CSEventBase {
 public:
  CSEventBase();
  CSEventBase(const CSEventBase&) = delete;
  CSEventBase& operator=(const CSEventBase&) = delete;
  virtual ~CSEventBase();

  // The pollable descriptor; -1 when the event could not be created.
  int Fd() const { return m_fd; }

 protected:
  void Signal();
  // Clears the event; true when it was signalled.
  bool Drain();

  int m_fd = -1;
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
  CWaitEvent() = default;
  void Set() { Signal(); }
  // Waits for the signal and consumes it; false on time-out. timeoutMs < 0 waits without limit.
  bool Wait(int timeoutMs = -1);
};

}  // namespace ReceiverService

namespace Platform {

// One thing to wait on: an event or a descriptor with the poll events wanted.
struct WaitHandle {
  int fd = -1;
  short events = POLLIN;
  bool autoReset = false;  // consume the signal when this handle ends the wait

  static WaitHandle Of(const ::CWaitEvent& e) { return {e.Fd(), POLLIN, false}; }
  static WaitHandle Of(const ReceiverService::CWaitEvent& e) { return {e.Fd(), POLLIN, true}; }
  static WaitHandle Descriptor(int fd, short events = POLLIN) { return {fd, events, false}; }
};

constexpr int kWaitTimeout = -2;
constexpr int kWaitFailed = -1;

// Waits until any handle is ready and returns the lowest ready index, kWaitTimeout when
// timeoutMs passed (timeoutMs < 0: no limit), or kWaitFailed. A descriptor counts as ready
// on any of its poll events, hang-up and error included. revents, when given, receives the
// poll events of the returned handle.
int WaitForAny(std::span<const WaitHandle> handles, int timeoutMs, short* revents = nullptr);

}  // namespace Platform
