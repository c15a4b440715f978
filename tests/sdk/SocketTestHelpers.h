#pragma once
#include <netinet/in.h>
#include <sys/socket.h>

#include <functional>
#include <memory>
#include <thread>
#include <utility>

#include "platform/SocketExceptions.h"
#include "platform/WaitEvent.h"
#include "sdk/ServerSocket.h"
#include "sdk/ThreadedSocket.h"

// Generous upper bound for anything the tests wait on.
constexpr int kTestWaitMs = 10000;

// A thread a test starts, joined when the guard goes out of scope, a failed assertion
// included. When the thread is still running then, `unblock` runs first so that a thread
// stuck in a blocking call returns.
class JoiningThread {
 public:
  template <class Fn>
  explicit JoiningThread(Fn body, std::function<void()> unblock) : m_unblock(std::move(unblock)), m_thread(body) {}
  ~JoiningThread() {
    if (!m_thread.joinable()) return;
    m_unblock();
    m_thread.join();
  }
  // Waits for the thread to end on its own.
  void Join() { m_thread.join(); }

 private:
  std::function<void()> m_unblock;
  std::thread m_thread;
};

// A connected loopback pair: the client side and the accepted server side.
struct LoopbackPair {
  std::unique_ptr<CServerSocket> listener = std::make_unique<CServerSocket>();
  std::unique_ptr<CThreadedSocket> client, server;
};

// receiveBuffer > 0 sets the accepted side's receive buffer (inherited from the listener).
inline LoopbackPair MakeLoopbackPair(int receiveBuffer = 0) {
  LoopbackPair pair;
  if (receiveBuffer > 0)
    setsockopt(pair.listener->Handle(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  pair.listener->BindAndListen(0, "127.0.0.1", PortChoice::kExact);
  pair.client = std::make_unique<CThreadedSocket>(TcpNoDelay::kOn);
  pair.client->Connect("127.0.0.1", pair.listener->GetBoundPort());
  pair.server = std::make_unique<CThreadedSocket>(pair.listener->Accept());
  return pair;
}

inline bool WaitReadable(int fd) {
  const Platform::WaitHandle h = Platform::WaitHandle::Descriptor(fd, POLLIN);
  return Platform::WaitForAny({&h, 1}, kTestWaitMs) == 0;
}
