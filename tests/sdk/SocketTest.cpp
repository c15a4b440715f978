#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include "SocketTestHelpers.h"
#include "platform/SocketExceptions.h"
#include "sdk/DatagramSocket.h"
#include "sdk/ServerSocket.h"
#include "sdk/ThreadedSocket.h"

namespace {

TEST(HostResolution, DottedNamedAndUnknownHosts) {
  EXPECT_EQ(ntohl(CSocketBase::ResolveHost("127.0.0.1").s_addr), INADDR_LOOPBACK);
  EXPECT_EQ(ntohl(CSocketBase::ResolveHost("10.1.2.3").s_addr), 0x0A010203u);
  EXPECT_EQ(ntohl(CSocketBase::ResolveHost("localhost").s_addr), INADDR_LOOPBACK);
  EXPECT_EQ(CSocketBase::ResolveHost("nosuch.invalid").s_addr, INADDR_NONE);
  EXPECT_EQ(CSocketBase::ResolveHost("").s_addr, INADDR_NONE);
}

TEST(SocketConstruction, FailuresThrowTheSocketError) {
  try {
    CSocketBase socket(-1, SOCK_STREAM, 0, TcpNoDelay::kOff);
    FAIL() << "created a socket of no address family";
  } catch (const CSocketException& e) {
    EXPECT_EQ(e.Code(), EAFNOSUPPORT);
  }
  // TCP_NODELAY on a datagram socket is refused.
  EXPECT_THROW(CSocketBase(AF_INET, SOCK_DGRAM, 0, TcpNoDelay::kOn), CSocketException);
  CSocketBase tcp(AF_INET, SOCK_STREAM, 0, TcpNoDelay::kOn);
  int noDelay = 0;
  socklen_t size = sizeof noDelay;
  ASSERT_EQ(getsockopt(tcp.Handle(), IPPROTO_TCP, TCP_NODELAY, &noDelay, &size), 0);
  EXPECT_NE(noDelay, 0);
}

TEST(ServerSocketBind, ExactPortFailsWhenTaken) {
  CServerSocket first;
  first.BindAndListen(0, "127.0.0.1", PortChoice::kExact);
  const uint16_t taken = first.GetBoundPort();
  ASSERT_NE(taken, 0);
  CServerSocket second;
  try {
    second.BindAndListen(taken, "127.0.0.1", PortChoice::kExact);
    FAIL() << "bound a port that is in use";
  } catch (const CSocketException& e) {
    EXPECT_EQ(e.Code(), EADDRINUSE);
    EXPECT_EQ(e.Message(), SystemErrorText(EADDRINUSE));
  }
}

TEST(ServerSocketBind, AnyAddressAndUnknownAddress) {
  CServerSocket any;
  any.BindAndListen(0, nullptr, PortChoice::kExact);
  EXPECT_NE(any.GetBoundPort(), 0);
  CServerSocket unknown;
  EXPECT_THROW(unknown.BindAndListen(0, "nosuch.invalid", PortChoice::kExact), CSocketException);
  EXPECT_EQ(unknown.GetBoundPort(), 0);
}

TEST(ThreadedSocketConnect, RefusedAndUnresolvableConnectsThrow) {
  uint16_t freePort;
  {
    CServerSocket probe;
    probe.BindAndListen(0, "127.0.0.1", PortChoice::kExact);
    freePort = probe.GetBoundPort();
  }
  CThreadedSocket refused;
  try {
    refused.Connect("127.0.0.1", freePort);
    FAIL() << "connected to a port nobody listens on";
  } catch (const CSocketException& e) {
    EXPECT_EQ(e.Code(), ECONNREFUSED);
  }
  CThreadedSocket unresolved;
  EXPECT_THROW(unresolved.Connect("nosuch.invalid", 1), CSocketException);
}

TEST(SocketData, BytesCrossAndClosedSocketsAnswerMinusOne) {
  LoopbackPair pair = MakeLoopbackPair();
  ASSERT_EQ(pair.client->Send("hello", 5), 5);
  ASSERT_TRUE(WaitReadable(pair.server->Handle()));
  char buffer[16] = {};
  ASSERT_EQ(pair.server->Receive(buffer, sizeof buffer), 5);
  EXPECT_STREQ(buffer, "hello");

  EXPECT_EQ(pair.client->Close(), 0);
  EXPECT_EQ(pair.client->Handle(), CSocketBase::kInvalidSocket);
  EXPECT_EQ(pair.client->Close(), -1);
  EXPECT_EQ(pair.client->Send("x", 1), -1);
  EXPECT_EQ(pair.client->Receive(buffer, 1), -1);
  EXPECT_EQ(pair.client->CreateEvent(), nullptr);
}

TEST(SocketEvents, ReadableThenClosed) {
  LoopbackPair pair = MakeLoopbackPair();
  CSocketEvent* event = pair.server->CreateEvent();
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(event->Flags(), kDataSocketEvents);
  EXPECT_EQ(event->GetNetworkEvents(), SocketEvents::kWritable);

  ASSERT_EQ(pair.client->Send("ab", 2), 2);
  EXPECT_EQ(event->Wait(kTestWaitMs), SocketEvents::kReadable);
  char buffer[4];
  EXPECT_EQ(pair.server->Receive(buffer, sizeof buffer), 2);
  EXPECT_EQ(event->GetNetworkEvents(), SocketEvents::kNone);

  pair.client->Close();
  EXPECT_TRUE(HasAny(event->Wait(kTestWaitMs), SocketEvents::kClosed));
  EXPECT_EQ(pair.server->Receive(buffer, sizeof buffer), 0);
}

TEST(SocketEvents, ReceiveWithoutDataWouldBlockOnceTheEventExists) {
  LoopbackPair pair = MakeLoopbackPair();
  pair.server->CreateEvent();
  char buffer[4];
  errno = 0;
  EXPECT_EQ(pair.server->Receive(buffer, sizeof buffer), -1);
  EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
}

// Writable is reported once; an idle connection then leaves its waiter asleep until a
// send would block and room comes back.
TEST(SocketEvents, WritableIsReportedOnceAndAgainAfterAWouldBlock) {
  LoopbackPair pair = MakeLoopbackPair(4096);
  CSocketEvent* event = pair.client->CreateEvent();
  EXPECT_EQ(event->Wait(kTestWaitMs), SocketEvents::kWritable);
  EXPECT_EQ(event->Wait(0), SocketEvents::kNone);

  std::vector<char> block(65536, 'w');
  size_t queued = 0;
  for (;;) {
    const ssize_t sent = pair.client->Send(block.data(), block.size());
    if (sent < 0) break;
    queued += static_cast<size_t>(sent);
  }
  ASSERT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
  EXPECT_EQ(event->Wait(0), SocketEvents::kNone);

  std::vector<char> sink(65536);
  size_t drained = 0;
  SocketEvents flags = SocketEvents::kNone;
  while (drained < queued && !HasAny(flags, SocketEvents::kWritable)) {
    ASSERT_TRUE(WaitReadable(pair.server->Handle()));
    const ssize_t got = pair.server->Receive(sink.data(), sink.size());
    ASSERT_GT(got, 0);
    drained += static_cast<size_t>(got);
    flags = event->GetNetworkEvents();
  }
  EXPECT_EQ(flags, SocketEvents::kWritable);
}

TEST(SocketEvents, ListeningSocketReportsAccept) {
  CServerSocket listener;
  listener.BindAndListen(0, "127.0.0.1", PortChoice::kExact);
  CSocketEvent* event = listener.CreateEvent();
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(event->Flags(), kListeningSocketEvents);
  EXPECT_EQ(event->Wait(0), SocketEvents::kNone);

  CThreadedSocket client;
  client.Connect("127.0.0.1", listener.GetBoundPort());
  EXPECT_EQ(event->Wait(kTestWaitMs), SocketEvents::kAccept);
  CThreadedSocket accepted(listener.Accept());
  EXPECT_NE(accepted.Handle(), CSocketBase::kInvalidSocket);
  EXPECT_EQ(listener.Accept(), -1);  // non-blocking now: nobody else is waiting
}

TEST(SocketEvents, SocketsAndEventsShareOneWait) {
  LoopbackPair pair = MakeLoopbackPair();
  CWaitEvent stop;
  CSocketEvent* event = pair.server->CreateEvent();
  event->GetNetworkEvents();  // consume the first writable report
  pair.client->Send("z", 1);
  stop.Set();
  const Platform::WaitHandle handles[] = {Platform::WaitHandle::Of(stop), event->Handle()};
  EXPECT_EQ(Platform::WaitForAny(handles, kTestWaitMs), 0);
  stop.Reset();
  short revents = 0;
  EXPECT_EQ(Platform::WaitForAny(handles, kTestWaitMs, &revents), 1);
  EXPECT_EQ(event->Translate(revents), SocketEvents::kReadable);
}

// Sends a block from a thread while the peer reads nothing, and answers the send buffer
// size seen while the send is under way; the peer then drains everything.
struct LargeSendResult {
  int before = 0, during = 0, after = 0;
  ssize_t sent = 0;
};

LargeSendResult SendWhilePeerIsSlow(size_t length) {
  LoopbackPair pair = MakeLoopbackPair(4096);
  const int fd = pair.client->Handle();
  LargeSendResult result;
  result.before = SendBufferSize(fd);
  std::vector<char> data(length, 's');
  {
    // Should the peer stop draining, the guard shuts the socket down so that the send returns.
    JoiningThread sender([&] { result.sent = pair.client->Send(data.data(), data.size()); },
                         [fd] { shutdown(fd, SHUT_RDWR); });
    if (WaitReadable(pair.server->Handle())) result.during = SendBufferSize(fd);
    std::vector<char> sink(65536);
    size_t drained = 0;
    while (drained < length && WaitReadable(pair.server->Handle())) {
      const ssize_t got = pair.server->Receive(sink.data(), sink.size());
      if (got <= 0) break;
      drained += static_cast<size_t>(got);
    }
    if (drained == length) sender.Join();
  }
  result.after = SendBufferSize(fd);
  return result;
}

TEST(LargeSend, TwoMebibytesGoOutWithoutASendBufferForThatCallOnly) {
  const LargeSendResult r = SendWhilePeerIsSlow(2 * 1048576);
  EXPECT_EQ(r.sent, 2 * 1048576);
  EXPECT_LT(r.during, r.before);
  EXPECT_EQ(r.after, r.before);
}

TEST(LargeSend, ExactlyOneMebibyteLeavesTheSendBufferAlone) {
  const LargeSendResult r = SendWhilePeerIsSlow(1048576);
  EXPECT_EQ(r.sent, 1048576);
  EXPECT_EQ(r.during, r.before);
  EXPECT_EQ(r.after, r.before);
}

TEST(Datagram, SendToAnInvalidAddressIsRefused) {
  CDatagramSocket socket;
  in_addr none{};
  none.s_addr = INADDR_NONE;
  EXPECT_EQ(socket.SendTo(none, 9, "x", 1), -1);
  socket.Close();
  EXPECT_EQ(socket.SendTo(CSocketBase::ResolveHost("127.0.0.1"), 9, "x", 1), -1);
}

TEST(Datagram, UnicastOnLoopback) {
  CDatagramSocket receiver;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(receiver.Handle(), reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
  socklen_t size = sizeof local;
  getsockname(receiver.Handle(), reinterpret_cast<sockaddr*>(&local), &size);
  CDatagramSocket sender;
  EXPECT_EQ(sender.SendTo(local.sin_addr, ntohs(local.sin_port), "ping", 4), 4);
  ASSERT_TRUE(WaitReadable(receiver.Handle()));
  char buffer[8];
  EXPECT_EQ(receiver.Receive(buffer, sizeof buffer), 4);
}

TEST(Multicast, BadGroupOrInterfaceThrows) {
  EXPECT_THROW(CMulticastSocket("not-an-address", 35999, "127.0.0.1", 0), CSocketException);
  EXPECT_THROW(CMulticastSocket("225.1.2.99", 35999, "127.0.0.999", 0), CSocketException);
}

// Two members of a group on the loopback interface: a datagram sent by one reaches both.
TEST(Multicast, GroupOnLoopback) {
  const char* group = "225.1.2.99";
  uint16_t port;
  {
    CDatagramSocket probe;  // a UDP port that is free now
    sockaddr_in local{};
    local.sin_family = AF_INET;
    bind(probe.Handle(), reinterpret_cast<sockaddr*>(&local), sizeof local);
    socklen_t size = sizeof local;
    getsockname(probe.Handle(), reinterpret_cast<sockaddr*>(&local), &size);
    port = ntohs(local.sin_port);
  }
  std::unique_ptr<CMulticastSocket> a, b;
  try {
    a = std::make_unique<CMulticastSocket>(group, port, "127.0.0.1", 0);
    b = std::make_unique<CMulticastSocket>(group, port, "127.0.0.1", 0);
  } catch (const CSocketException& e) {
    GTEST_SKIP() << "this machine does not allow multicast on loopback: " << e.Message();
  }
  const ssize_t sent = a->SendTo(a->Group(), port, "query", 5);
  if (sent < 0) GTEST_SKIP() << "multicast send on loopback refused: " << SystemErrorText(errno);
  ASSERT_EQ(sent, 5);
  for (CMulticastSocket* member : {a.get(), b.get()}) {
    ASSERT_TRUE(WaitReadable(member->Handle()));
    char buffer[16] = {};
    EXPECT_EQ(member->Receive(buffer, sizeof buffer), 5);
    EXPECT_STREQ(buffer, "query");
  }
}

}  // namespace
