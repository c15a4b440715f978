// Who closes a connection's descriptor: once the connection has joined the I/O thread only that
// thread does, once, however the owner's close and the peer's leaving meet.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "MessagingTestHelpers.h"

namespace {

// A loopback connection's two ends as bare sockets: the accepted end, and the peer's.
struct BareConnection {
  Platform::SocketHandle accepted = Platform::kNoSocket, peer = Platform::kNoSocket;
};
BareConnection Connect(CServerSocket& listener) {
  BareConnection connection;
  connection.peer = Platform::OpenSocket(Platform::SocketKind::kTcp);
  in_addr loopback{};
  Platform::ParseAddress("127.0.0.1", loopback);
  if (Platform::ConnectSocket(connection.peer, loopback, listener.GetBoundPort()) == 0)
    connection.accepted = listener.Accept();
  return connection;
}

// A connection's socket that counts how often its descriptor is really closed, and notes
// whether the test's own thread ever set out to close it (its destruction aside).
class CountedSocket : public CThreadedSocket {
 public:
  CountedSocket(Platform::SocketHandle socket, std::atomic<int>& closes, std::atomic<bool>& closedHere,
                std::thread::id here)
      : CThreadedSocket(socket), m_closes(closes), m_closedHere(closedHere), m_here(here) {}
  ~CountedSocket() override {
    if (Handle() != kInvalidSocket) m_closes.fetch_add(1);
    CThreadedSocket::Close();
  }
  int Close() override {
    if (std::this_thread::get_id() == m_here) m_closedHere = true;
    if (Handle() != kInvalidSocket) m_closes.fetch_add(1);
    return CThreadedSocket::Close();
  }

 private:
  std::atomic<int>& m_closes;
  std::atomic<bool>& m_closedHere;
  const std::thread::id m_here;
};

// The server stops (closing its client's connection) just as the client leaves (the I/O thread
// drops the connection). Only the I/O thread may close the descriptor: a second close, from
// the owner's thread, would close whatever the system has handed that number to since (a
// receiver's tty). Many rounds, as the two meet at a different point each time; under TSan a
// close from both threads also shows as a race.
TEST(ConnectionClose, ClosedByItsOwnerAsThePeerLeavesItIsClosedOnceByTheIoThread) {
  const auto layer = CConnectionManager::Acquire();
  CServerSocket listener;
  listener.BindAndListen(0, "127.0.0.1", PortChoice::kExact);
  for (int round = 0; round < 300; ++round) {
    const BareConnection pair = Connect(listener);
    ASSERT_NE(pair.accepted, Platform::kNoSocket);
    std::atomic<int> closes{0};
    std::atomic<bool> closedHere{false};
    auto socket = std::make_shared<CMessagingSocket>(
        std::make_unique<CountedSocket>(pair.accepted, closes, closedHere, std::this_thread::get_id()));
    auto object = std::make_shared<RecordingObject>();
    ASSERT_TRUE(layer->Attach(object, socket, CRegistrationMessage(round)));
    ASSERT_TRUE(object->WaitConnected());
    std::thread peer([&] { Platform::CloseSocket(pair.peer); });
    // The peer's close reaches the I/O thread at a different point of this close each round.
    for (int spin = round % 50; spin > 0; --spin) std::this_thread::yield();
    socket->Close();
    peer.join();
    ASSERT_TRUE(object->WaitDisconnected());
    // Closed by the I/O thread as it drops the connection or once it has let it go.
    ASSERT_TRUE(WaitUntil([&] { return closes.load() > 0; })) << round;
    layer->Flush();
    EXPECT_EQ(closes.load(), 1) << round;
    EXPECT_FALSE(closedHere.load()) << round;
    if (HasFailure()) break;
  }
}

// A connection that never joined the I/O thread is closed by its owner at once, once.
TEST(ConnectionClose, ANeverJoinedConnectionIsClosedAtOnce) {
  CServerSocket listener;
  listener.BindAndListen(0, "127.0.0.1", PortChoice::kExact);
  const BareConnection pair = Connect(listener);
  ASSERT_NE(pair.accepted, Platform::kNoSocket);
  std::atomic<int> closes{0};
  std::atomic<bool> closedHere{false};
  auto socket = std::make_shared<CMessagingSocket>(
      std::make_unique<CountedSocket>(pair.accepted, closes, closedHere, std::this_thread::get_id()));
  socket->Close();
  EXPECT_EQ(closes.load(), 1);
  EXPECT_TRUE(closedHere.load());
  socket->Close();
  EXPECT_TRUE(socket->IsClosed());
  socket.reset();
  EXPECT_EQ(closes.load(), 1);
  Platform::CloseSocket(pair.peer);
}

}  // namespace
