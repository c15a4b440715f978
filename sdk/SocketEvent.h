#pragma once
#include <atomic>
#include <cstdint>

#include "platform/Socket.h"
#include "platform/WaitEvent.h"

// The library's socket event flags, combined as a set.
enum class SocketEvents : unsigned {
  kNone = 0,
  kClosed = 1,
  kReadable = 2,
  kWritable = 4,
  kAccept = 8,
};

constexpr SocketEvents operator|(SocketEvents a, SocketEvents b) {
  return static_cast<SocketEvents>(static_cast<unsigned>(a) | static_cast<unsigned>(b));
}
constexpr SocketEvents operator&(SocketEvents a, SocketEvents b) {
  return static_cast<SocketEvents>(static_cast<unsigned>(a) & static_cast<unsigned>(b));
}
constexpr SocketEvents& operator|=(SocketEvents& a, SocketEvents b) { return a = a | b; }
// Whether the set holds any of the flags.
constexpr bool HasAny(SocketEvents set, SocketEvents flags) { return (set & flags) != SocketEvents::kNone; }

// What data sockets and listening sockets watch.
constexpr SocketEvents kDataSocketEvents = SocketEvents::kClosed | SocketEvents::kReadable | SocketEvents::kWritable;
constexpr SocketEvents kListeningSocketEvents = SocketEvents::kClosed | SocketEvents::kAccept;

// The events of one socket, waited on through Platform::WaitForAny. Creating it puts the
// socket into non-blocking mode, as the messaging layer expects.
//
// Readable, accept and closed are level-triggered: they stay reported while true. Writable is
// reported once after the event is created and again only after a send would have blocked
// (ArmWritable), so that an idle connection never keeps a waiting thread busy.
class CSocketEvent {
 public:
  CSocketEvent(Platform::SocketHandle socket, SocketEvents flags);
  CSocketEvent(const CSocketEvent&) = delete;
  CSocketEvent& operator=(const CSocketEvent&) = delete;
  virtual ~CSocketEvent() = default;

  Platform::SocketHandle Socket() const { return m_socket; }
  SocketEvents Flags() const { return m_flags; }

  // The handle to wait on for the flags asked for.
  Platform::WaitHandle Handle() const;

  // The socket's pending network events, in library flags, without waiting. Reading a
  // writable report consumes it.
  SocketEvents GetNetworkEvents();
  // The library flags that poll events stand for (revents from WaitForAny). A writable
  // report is consumed here too.
  SocketEvents Translate(short revents);

  // Waits for any of the flags asked for and answers those reported; kNone on time-out or
  // failure. timeoutMs < 0 waits without limit.
  SocketEvents Wait(int timeoutMs);

  // A send would have blocked: report writable again once there is room.
  void ArmWritable() { m_writeArmed.store(true); }

 private:
  Platform::SocketHandle m_socket;
  SocketEvents m_flags;
  std::atomic<bool> m_writeArmed{true};
};
