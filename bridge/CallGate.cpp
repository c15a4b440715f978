#include "bridge/CallGate.h"

namespace {
// The gate whose call this thread is running, if any.
thread_local const CallGate* t_inside = nullptr;
}  // namespace

CallGate::Pass::Pass(CallGate* gate) : m_gate(gate), m_outer(t_inside) {
  if (m_gate) t_inside = m_gate;
}

CallGate::Pass::Pass(Pass&& other) noexcept : m_gate(other.m_gate), m_outer(other.m_outer) { other.m_gate = nullptr; }

CallGate::Pass::~Pass() {
  if (!m_gate) return;
  t_inside = m_outer;
  m_gate->Leave();
}

CallGate::Pass CallGate::Enter() {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_closed) return Pass(nullptr);
  ++m_inside;
  return Pass(this);
}

void CallGate::Leave() {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    --m_inside;
  }
  m_idle.notify_all();
}

void CallGate::CloseAndDrain() {
  const int own = t_inside == this ? 1 : 0;
  std::unique_lock<std::mutex> lock(m_lock);
  m_closed = true;
  m_idle.wait(lock, [&] { return m_inside <= own; });
}

void CallGate::Reopen() {
  std::lock_guard<std::mutex> guard(m_lock);
  m_closed = false;
}
