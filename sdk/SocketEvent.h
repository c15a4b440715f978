#pragma once
#include <atomic>
#include <cstdint>

#include "platform/WaitEvent.h"

// The library's socket event flags.
enum SocketEventFlags : unsigned {
  kSocketClosed = 1,
  kSocketReadable = 2,
  kSocketWritable = 4,
  kSocketAccept = 8,
};

// What data sockets and listening sockets watch.
constexpr unsigned kDataSocketEvents = kSocketClosed | kSocketReadable | kSocketWritable;
constexpr unsigned kListeningSocketEvents = kSocketClosed | kSocketAccept;

// The events of one socket, waited on through Platform::WaitForAny. Creating it puts the
// socket into non-blocking mode, as the messaging layer expects.
//
// Readable, accept and closed are level-triggered: they stay reported while true. Writable is
// reported once after the event is created and again only after a send would have blocked
// (ArmWritable), so that an idle connection never keeps a waiting thread busy.
class CSocketEvent {
 public:
  CSocketEvent(int socket, unsigned flags);
  CSocketEvent(const CSocketEvent&) = delete;
  CSocketEvent& operator=(const CSocketEvent&) = delete;
  virtual ~CSocketEvent() = default;

  int Socket() const { return m_socket; }
  unsigned Flags() const { return m_flags; }

  // The handle to wait on for the flags asked for.
  Platform::WaitHandle Handle() const;

  // The socket's pending network events, in library flags, without waiting. Reading a
  // writable report consumes it.
  unsigned GetNetworkEvents();
  // The library flags that poll events stand for (revents from WaitForAny). A writable
  // report is consumed here too.
  unsigned Translate(short revents);

  // Waits for any of the flags asked for and answers those reported; 0 on time-out or
  // failure. timeoutMs < 0 waits without limit.
  unsigned Wait(int timeoutMs);

  // A send would have blocked: report writable again once there is room.
  void ArmWritable() { m_writeArmed.store(true); }

 private:
  int m_socket;
  unsigned m_flags;
  std::atomic<bool> m_writeArmed{true};
};
