#pragma once
#include <condition_variable>
#include <mutex>

// Admits calls from other threads (client callbacks, the packet dispatcher) into an object until
// the gate is closed; closing waits until the calls already admitted have left, so that what
// they use can be torn down afterwards. A thread closing the gate from inside an admitted call
// does not wait for itself.
class CallGate {
 public:
  // Held for the length of one admitted call; false when the gate was closed.
  class Pass {
   public:
    Pass(Pass&& other) noexcept;
    Pass(const Pass&) = delete;
    Pass& operator=(const Pass&) = delete;
    Pass& operator=(Pass&&) = delete;
    ~Pass();
    explicit operator bool() const { return m_gate != nullptr; }

   private:
    friend class CallGate;
    explicit Pass(CallGate* gate);
    CallGate* m_gate;
    const CallGate* m_outer;  // the gate this thread was inside before
  };

  Pass Enter();
  // Admits nothing more and waits until every call admitted before (other than the caller's own)
  // has left.
  void CloseAndDrain();
  void Reopen();

 private:
  void Leave();

  std::mutex m_lock;
  std::condition_variable m_idle;
  int m_inside = 0;
  bool m_closed = false;
};
