#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <string>
#include <vector>

#include "SocketTestHelpers.h"
#include "sdk/DatagramSocket.h"

namespace {

TEST(HostResolution, DottedNamedAndUnknownHosts) {
  EXPECT_EQ(ntohl(CSocketBase::ResolveHost("127.0.0.1").s_addr), INADDR_LOOPBACK);
  EXPECT_EQ(ntohl(CSocketBase::ResolveHost("10.1.2.3").s_addr), 0x0A010203u);
  EXPECT_EQ(ntohl(CSocketBase::ResolveHost("localhost").s_addr), INADDR_LOOPBACK);
  EXPECT_EQ(CSocketBase::ResolveHost("nosuch.invalid").s_addr, INADDR_NONE);
  EXPECT_EQ(CSocketBase::ResolveHost("").s_addr, INADDR_NONE);
}

// The error code of a call that fails, -1 when it throws something else or nothing.
template <class Fn>
int ThrownCode(Fn fn) {
  try {
    fn();
  } catch (const CSocketException& e) {
    return e.Code();
  }
  return -1;
}

TEST(SocketSetUp, FailuresThrowTheSocketError) {
  EXPECT_EQ(ThrownCode([] { CSocketBase(-1, SOCK_STREAM, 0, TcpNoDelay::kOff); }), EAFNOSUPPORT);
  // TCP_NODELAY on a datagram socket is refused; on a stream socket it is set.
  EXPECT_THROW(CSocketBase(AF_INET, SOCK_DGRAM, 0, TcpNoDelay::kOn), CSocketException);
  CSocketBase tcp(AF_INET, SOCK_STREAM, 0, TcpNoDelay::kOn);
  int noDelay = 0;
  socklen_t size = sizeof noDelay;
  ASSERT_EQ(getsockopt(tcp.Handle(), IPPROTO_TCP, TCP_NODELAY, &noDelay, &size), 0);
  EXPECT_NE(noDelay, 0);

  CServerSocket any, unknown;
  any.BindAndListen(0, nullptr, PortChoice::kExact);
  EXPECT_NE(any.GetBoundPort(), 0);
  EXPECT_THROW(unknown.BindAndListen(0, "nosuch.invalid", PortChoice::kExact), CSocketException);
  EXPECT_EQ(unknown.GetBoundPort(), 0);

  uint16_t freePort;
  {
    CServerSocket probe;
    probe.BindAndListen(0, "127.0.0.1", PortChoice::kExact);
    freePort = probe.GetBoundPort();
  }
  CThreadedSocket refused, unresolved;
  EXPECT_EQ(ThrownCode([&] { refused.Connect("127.0.0.1", freePort); }), ECONNREFUSED);
  EXPECT_THROW(unresolved.Connect("nosuch.invalid", 1), CSocketException);
}

// Bytes cross; once the event exists a receive without data would block; the peer's close is
// reported; a closed socket answers -1 to everything.
TEST(SocketEvents, ReadableWouldBlockAndClosed) {
  LoopbackPair pair = MakeLoopbackPair();
  ASSERT_NE(pair.listener->CreateEvent(), nullptr);
  EXPECT_EQ(pair.listener->Accept(), -1);  // non-blocking once its event exists: nobody waits
  CSocketEvent* event = pair.server->CreateEvent();
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(event->Flags(), kDataSocketEvents);
  EXPECT_EQ(event->GetNetworkEvents(), SocketEvents::kWritable);
  char buffer[16] = {};
  errno = 0;
  EXPECT_EQ(pair.server->Receive(buffer, sizeof buffer), -1);
  EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);

  ASSERT_EQ(pair.client->Send("hello", 5), 5);
  EXPECT_EQ(event->Wait(kTestWaitMs), SocketEvents::kReadable);
  EXPECT_EQ(pair.server->Receive(buffer, sizeof buffer), 5);
  EXPECT_STREQ(buffer, "hello");
  EXPECT_EQ(event->GetNetworkEvents(), SocketEvents::kNone);

  EXPECT_EQ(pair.client->Close(), 0);
  EXPECT_TRUE(HasAny(event->Wait(kTestWaitMs), SocketEvents::kClosed));
  EXPECT_EQ(pair.server->Receive(buffer, sizeof buffer), 0);
  EXPECT_EQ(pair.client->Handle(), CSocketBase::kInvalidSocket);
  EXPECT_EQ(pair.client->Close(), -1);
  EXPECT_EQ(pair.client->Send("x", 1), -1);
  EXPECT_EQ(pair.client->Receive(buffer, 1), -1);
  EXPECT_EQ(pair.client->CreateEvent(), nullptr);
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
  for (ssize_t sent; (sent = pair.client->Send(block.data(), block.size())) >= 0;) queued += static_cast<size_t>(sent);
  ASSERT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
  EXPECT_EQ(event->Wait(0), SocketEvents::kNone);
  size_t drained = 0;
  SocketEvents flags = SocketEvents::kNone;
  while (drained < queued && !HasAny(flags, SocketEvents::kWritable)) {
    ASSERT_TRUE(WaitReadable(pair.server->Handle()));
    const ssize_t got = pair.server->Receive(block.data(), block.size());
    ASSERT_GT(got, 0);
    drained += static_cast<size_t>(got);
    flags = event->GetNetworkEvents();
  }
  EXPECT_EQ(flags, SocketEvents::kWritable);
}

int SendBufferSize(int fd) {
  int size = -1;
  socklen_t length = sizeof size;
  getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, &length);
  return size;
}

// A send of more than 1 MiB, to a peer that reads nothing for now, goes out with no send
// buffer for that call only; 1 MiB leaves the send buffer alone.
TEST(LargeSend, MoreThanOneMebibyteGoesOutWithoutASendBufferForThatCallOnly) {
  for (const size_t length : {size_t{2 * 1048576}, size_t{1048576}}) {
    LoopbackPair pair = MakeLoopbackPair(4096);
    const int fd = pair.client->Handle();
    const int before = SendBufferSize(fd);
    int during = 0;
    ssize_t sent = 0;
    std::vector<char> data(length, 's');
    {
      // Should the peer stop draining, the guard shuts the socket down so that the send returns.
      JoiningThread sender([&] { sent = pair.client->Send(data.data(), data.size()); },
                           [fd] { shutdown(fd, SHUT_RDWR); });
      if (WaitReadable(pair.server->Handle())) during = SendBufferSize(fd);
      std::vector<char> sink(65536);
      size_t drained = 0;
      while (drained < length && WaitReadable(pair.server->Handle())) {
        const ssize_t got = pair.server->Receive(sink.data(), sink.size());
        if (got <= 0) break;
        drained += static_cast<size_t>(got);
      }
      if (drained == length) sender.Join();
    }
    EXPECT_EQ(sent, static_cast<ssize_t>(length));
    if (length > 1048576)
      EXPECT_LT(during, before);
    else
      EXPECT_EQ(during, before);
    EXPECT_EQ(SendBufferSize(fd), before);
  }
}

TEST(Datagram, InvalidAddressesAndGroupsAreRefused) {
  CDatagramSocket socket;
  in_addr none{};
  none.s_addr = INADDR_NONE;
  EXPECT_EQ(socket.SendTo(none, 9, "x", 1), -1);
  socket.Close();
  EXPECT_EQ(socket.SendTo(CSocketBase::ResolveHost("127.0.0.1"), 9, "x", 1), -1);
  EXPECT_THROW(CMulticastSocket("not-an-address", 35999, "127.0.0.1", 0), CSocketException);
  EXPECT_THROW(CMulticastSocket("225.1.2.99", 35999, "127.0.0.999", 0), CSocketException);
}

// Two members of a group of their own on the loopback interface: a datagram sent by one
// reaches both. (The discovery tests cannot tell a socket that never joined its group from one
// that did while another program on the machine has joined the discovery group.)
TEST(Datagram, GroupOnLoopback) {
  uint16_t port;
  {
    CDatagramSocket probe;  // a UDP port that is free now
    sockaddr_in local{};
    local.sin_family = AF_INET;
    socklen_t size = sizeof local;
    bind(probe.Handle(), reinterpret_cast<sockaddr*>(&local), sizeof local);
    getsockname(probe.Handle(), reinterpret_cast<sockaddr*>(&local), &size);
    port = ntohs(local.sin_port);
  }
  std::unique_ptr<CMulticastSocket> a, b;
  try {
    a = std::make_unique<CMulticastSocket>("225.1.2.99", port, "127.0.0.1", 0);
    b = std::make_unique<CMulticastSocket>("225.1.2.99", port, "127.0.0.1", 0);
  } catch (const CSocketException& e) {
    GTEST_SKIP() << "this machine does not allow multicast on loopback: " << e.Message();
  }
  const ssize_t sent = a->SendTo(a->Group(), port, "query", 5);
  if (sent < 0) GTEST_SKIP() << "multicast send on loopback refused: " << SystemErrorText(errno);
  for (CMulticastSocket* member : {a.get(), b.get()}) {
    char buffer[16] = {};
    ASSERT_TRUE(WaitReadable(member->Handle()));
    EXPECT_EQ(member->Receive(buffer, sizeof buffer), 5);
    EXPECT_STREQ(buffer, "query");
  }
}

class RecordingSink : public IDiagnosticSink {
 public:
  void Write(const char* text) override { lines.emplace_back(text); }
  std::vector<std::string> lines;
};

// Reports name the code and the message; texts are cut at 4095 characters; a removed sink
// gets nothing more.
TEST(ExceptionReport, ReportsCodeAndMessageToTheSinkWhileItIsInstalled) {
  RecordingSink sink;
  SetDiagnosticSink(&sink);
  CSocketLibException(7, "queue full").Report();
  CSocketLibException(0, "").Report();
  CSocketException(ECONNREFUSED).Report();
  DiagnosticLog("%s", std::string(5000, 'x').c_str());
  SetDiagnosticSink(nullptr);
  CSocketLibException(1, "dropped").Report();
  ASSERT_EQ(sink.lines.size(), 4u);
  EXPECT_EQ(sink.lines[0], "Exception (Error code = 7) : queue full\n");
  EXPECT_EQ(sink.lines[1], "Exception (Error code = 0) : <null>\n");
  EXPECT_FALSE(SystemErrorText(ECONNREFUSED).empty());
  EXPECT_EQ(sink.lines[2],
            "Exception (Error code = " + std::to_string(ECONNREFUSED) + ") : " + SystemErrorText(ECONNREFUSED) + "\n");
  EXPECT_EQ(sink.lines[3].size(), 4095u);
}

}  // namespace
