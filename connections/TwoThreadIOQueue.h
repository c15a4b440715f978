#pragma once
#include <deque>
#include <memory>

#include "connections/SBIOPacket.h"
#include "platform/CriticalSection.h"
#include "platform/WaitEvent.h"

// The received and outgoing packet queues of one link, each with its own lock and its own
// manual-reset event. Both events are reset after every pop, so a consumer woken by one pops
// until it gets null.
class CTwoThreadIOQueue {
 public:
  CTwoThreadIOQueue() = default;
  CTwoThreadIOQueue(const CTwoThreadIOQueue&) = delete;
  CTwoThreadIOQueue& operator=(const CTwoThreadIOQueue&) = delete;
  virtual ~CTwoThreadIOQueue() = default;

  void PushReceived(std::unique_ptr<CSBIOPacket> packet);
  std::unique_ptr<CSBIOPacket> PopReceived();
  void PushOutgoing(std::unique_ptr<CSBIOPacket> packet);
  std::unique_ptr<CSBIOPacket> PopOutgoing();
  // The writer has finished every packet it took and found none left: all is on the wire.
  void MarkOutgoingWritten();
  bool OutgoingEmpty();
  // Looks up to 64 times, 10 ms apart, for every outgoing packet to have been written.
  bool WaitUntilOutgoingEmpty();

  CWaitEvent& ReceivedEvent() { return m_receivedEvent; }
  CWaitEvent& OutgoingEvent() { return m_outgoingEvent; }

 private:
  CSCriticalSection m_receivedLock;
  std::deque<std::unique_ptr<CSBIOPacket>> m_received;
  CWaitEvent m_receivedEvent;
  CSCriticalSection m_outgoingLock;
  std::deque<std::unique_ptr<CSBIOPacket>> m_outgoing;
  CWaitEvent m_outgoingEvent;
  // Set once the writer has written everything (not when it takes the last packet, which may
  // still be on its way); WaitUntilOutgoingEmpty waits on it.
  CWaitEvent m_outgoingDrained{true};
};
