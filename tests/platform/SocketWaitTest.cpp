// Waits on events and sockets together: how the messaging layer's threads wait (eventfds and
// poll() on Linux; event objects, WSAEventSelect and WaitForMultipleObjects on Windows).
#include <gtest/gtest.h>

#include <thread>

#include "platform/Socket.h"
#include "platform/WaitEvent.h"

namespace {

constexpr int kSocketWaitMs = 10000;
using Platform::SocketHandle;
using Platform::WaitHandle;

// A listening socket on loopback and a client connected to it, closed with the test.
class LoopbackSockets : public ::testing::Test {
 protected:
  void SetUp() override {
    in_addr loopback{};
    ASSERT_TRUE(Platform::ParseAddress("127.0.0.1", loopback));
    listener = Platform::OpenSocket(Platform::SocketKind::kTcp);
    ASSERT_NE(listener, Platform::kNoSocket);
    ASSERT_EQ(Platform::BindSocket(listener, loopback, 0), 0);
    ASSERT_EQ(Platform::ListenSocket(listener, 4), 0);
    client = Platform::OpenSocket(Platform::SocketKind::kTcp);
    ASSERT_NE(client, Platform::kNoSocket);
    ASSERT_EQ(Platform::ConnectSocket(client, loopback, Platform::BoundPort(listener)), 0);
  }
  void TearDown() override {
    for (SocketHandle s : {client, server, listener})
      if (s != Platform::kNoSocket) Platform::CloseSocket(s);
  }
  SocketHandle listener = Platform::kNoSocket, client = Platform::kNoSocket, server = Platform::kNoSocket;
};

// A pending connection, then arriving bytes, then the peer's close each end a wait on the
// socket; events before it in the list win while they are set, an auto-reset one only once.
TEST_F(LoopbackSockets, SocketsBesideEventsReportConnectionsDataAndClose) {
  CWaitEvent stop;
  ReceiverService::CWaitEvent wake;
  short revents = 0;
  const WaitHandle accepting[] = {WaitHandle::Of(stop), WaitHandle::Of(wake), WaitHandle::Descriptor(listener)};
  EXPECT_EQ(Platform::WaitForAny(accepting, kSocketWaitMs, &revents), 2);
  EXPECT_TRUE(revents & POLLIN);
  wake.Set();
  EXPECT_EQ(Platform::WaitForAny(accepting, kSocketWaitMs), 1);
  EXPECT_EQ(Platform::WaitForAny(accepting, kSocketWaitMs), 2);  // the connection is still pending
  server = Platform::AcceptSocket(listener);
  ASSERT_NE(server, Platform::kNoSocket);
  ASSERT_EQ(Platform::SetNonBlocking(server), 0);
  EXPECT_EQ(Platform::WaitForAny(accepting, 0), Platform::kWaitTimeout);

  const WaitHandle reading[] = {WaitHandle::Of(stop), WaitHandle::Descriptor(server, POLLIN | POLLRDHUP)};
  EXPECT_EQ(Platform::WaitForAny(reading, 0), Platform::kWaitTimeout);
  ASSERT_EQ(Platform::SendSocket(client, "ab", 2), 2);
  EXPECT_EQ(Platform::WaitForAny(reading, kSocketWaitMs, &revents), 1);
  EXPECT_TRUE(revents & POLLIN);
  char bytes[4];
  EXPECT_EQ(Platform::ReceiveSocket(server, bytes, sizeof bytes), 2);
  EXPECT_EQ(Platform::WaitForAny(reading, 0), Platform::kWaitTimeout);
  stop.Set();
  EXPECT_EQ(Platform::WaitForAny(reading, kSocketWaitMs), 0);
  stop.Reset();

  ASSERT_EQ(Platform::CloseSocket(client), 0);
  client = Platform::kNoSocket;
  EXPECT_EQ(Platform::WaitForAny(reading, kSocketWaitMs, &revents), 1);
  EXPECT_TRUE(revents & (POLLIN | POLLRDHUP | POLLHUP)) << revents;
  EXPECT_EQ(Platform::ReceiveSocket(server, bytes, sizeof bytes), 0);
}

// A thread waiting on a socket that stays quiet is woken by an event set on another thread, and
// a socket that becomes readable during a wait ends it.
TEST_F(LoopbackSockets, AWaitOnAQuietSocketEndsOnAnEventOrOnDataArrivingMeanwhile) {
  server = Platform::AcceptSocket(listener);
  ASSERT_NE(server, Platform::kNoSocket);
  ASSERT_EQ(Platform::SetNonBlocking(server), 0);
  ReceiverService::CWaitEvent wake;
  const WaitHandle handles[] = {WaitHandle::Descriptor(server), WaitHandle::Of(wake)};
  int woken = Platform::kWaitFailed;
  std::thread waiter([&] { woken = Platform::WaitForAny(handles, kSocketWaitMs); });
  wake.Set();
  waiter.join();
  EXPECT_EQ(woken, 1);

  woken = Platform::kWaitFailed;
  std::thread reader([&] { woken = Platform::WaitForAny(handles, kSocketWaitMs); });
  ASSERT_EQ(Platform::SendSocket(client, "x", 1), 1);
  reader.join();
  EXPECT_EQ(woken, 0);
  // A connected socket with room to send is writable at once.
  const WaitHandle writing[] = {WaitHandle::Descriptor(client, POLLOUT)};
  short revents = 0;
  EXPECT_EQ(Platform::WaitForAny(writing, kSocketWaitMs, &revents), 0);
  EXPECT_TRUE(revents & POLLOUT);
}

}  // namespace
