#pragma once
#include <memory>

#include "platform/Socket.h"
#include "platform/SocketExceptions.h"
#include "platform/WaitEvent.h"
#include "sdk/ServerSocket.h"
#include "sdk/ThreadedSocket.h"

// Generous upper bound for anything the tests wait on.
constexpr int kTestWaitMs = 10000;

// A connected loopback pair: the client side and the accepted server side.
struct LoopbackPair {
  std::unique_ptr<CServerSocket> listener = std::make_unique<CServerSocket>();
  std::unique_ptr<CThreadedSocket> client, server;
};

// receiveBuffer > 0 sets the accepted side's receive buffer (inherited from the listener).
inline LoopbackPair MakeLoopbackPair(int receiveBuffer = 0) {
  LoopbackPair pair;
  if (receiveBuffer > 0) Platform::SetReceiveBuffer(pair.listener->Handle(), receiveBuffer);
  pair.listener->BindAndListen(0, "127.0.0.1", PortChoice::kExact);
  pair.client = std::make_unique<CThreadedSocket>(TcpNoDelay::kOn);
  pair.client->Connect("127.0.0.1", pair.listener->GetBoundPort());
  pair.server = std::make_unique<CThreadedSocket>(pair.listener->Accept());
  return pair;
}

inline bool WaitReadable(Platform::SocketHandle fd) {
  const Platform::WaitHandle h = Platform::WaitHandle::Descriptor(fd, POLLIN);
  return Platform::WaitForAny({&h, 1}, kTestWaitMs) == 0;
}
