#pragma once
#include <memory>

#include "sdk/IncomingMessageQueue.h"
#include "sdk/SocketIOThread.h"

// The messaging layer of the process: the incoming-message thread and the socket I/O thread,
// which serve every connection of every server and client. One exists while anyone holds it:
// servers and clients acquire it when they start and let go when they stop, and the last to
// let go deletes it (never from one of its own threads: an owner stops on its own thread).
class CConnectionManager {
 public:
  static std::shared_ptr<CConnectionManager> Acquire();
  CConnectionManager(const CConnectionManager&) = delete;
  CConnectionManager& operator=(const CConnectionManager&) = delete;

  // Binds the object to a handshaken connection, which joins the I/O thread; false when the
  // I/O thread serves as many connections as it can.
  bool Attach(const std::shared_ptr<CConnectedObjectBase>& object, std::shared_ptr<CMessagingSocket> socket,
              const CRegistrationMessage& registration) {
    return object->Attach(*this, std::move(socket), registration);
  }

  // Waits until everything the connections have posted so far has been handled.
  void Flush() { m_incoming.Flush(); }

  // How often each of the layer's threads has woken from its wait.
  struct Wakeups {
    uint64_t io = 0;
    uint64_t incoming = 0;
  };
  Wakeups ThreadWakeups() const { return {m_io.Wakeups(), m_incoming.Wakeups()}; }

  CIncomingMessageQueue& Incoming() { return m_incoming; }
  CSocketIOThread& IoThread() { return m_io; }

 private:
  CConnectionManager();
  ~CConnectionManager();
  static void Release();

  CIncomingMessageQueue m_incoming;
  CSocketIOThread m_io;
};
