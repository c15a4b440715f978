#include "connections/TwoThreadIOQueue.h"

#include <thread>

void CTwoThreadIOQueue::PushReceived(std::unique_ptr<CSBIOPacket> packet) {
  CCriticalSectionProtectScope guard(m_receivedLock);
  m_received.push_back(std::move(packet));
  m_receivedEvent.Set();
}

std::unique_ptr<CSBIOPacket> CTwoThreadIOQueue::PopReceived() {
  CCriticalSectionProtectScope guard(m_receivedLock);
  std::unique_ptr<CSBIOPacket> packet;
  if (!m_received.empty()) {
    packet = std::move(m_received.front());
    m_received.pop_front();
  }
  m_receivedEvent.Reset();
  return packet;
}

void CTwoThreadIOQueue::PushOutgoing(std::unique_ptr<CSBIOPacket> packet) {
  CCriticalSectionProtectScope guard(m_outgoingLock);
  m_outgoing.push_back(std::move(packet));
  m_outgoingDrained.Reset();
  m_outgoingEvent.Set();
}

std::unique_ptr<CSBIOPacket> CTwoThreadIOQueue::PopOutgoing() {
  CCriticalSectionProtectScope guard(m_outgoingLock);
  std::unique_ptr<CSBIOPacket> packet;
  if (!m_outgoing.empty()) {
    packet = std::move(m_outgoing.front());
    m_outgoing.pop_front();
  }
  m_outgoingEvent.Reset();
  return packet;
}

void CTwoThreadIOQueue::MarkOutgoingWritten() {
  CCriticalSectionProtectScope guard(m_outgoingLock);
  if (m_outgoing.empty()) m_outgoingDrained.Set();
}

bool CTwoThreadIOQueue::OutgoingEmpty() {
  CCriticalSectionProtectScope guard(m_outgoingLock);
  return m_outgoing.empty();
}

bool CTwoThreadIOQueue::WaitUntilOutgoingEmpty() {
  // About 640 ms in all: the 64 looks of 10 ms, waited on the drained event rather than polled.
  constexpr int kLooks = 64;
  constexpr int kLookIntervalMs = 10;
  return m_outgoingDrained.Wait(kLooks * kLookIntervalMs) && OutgoingEmpty();
}
