#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "SocketTestHelpers.h"
#include "sdk/DatagramSocket.h"

namespace {

TEST(HostResolution, DottedNamedAndUnknownHosts) {
  const auto bytes = [](in_addr a) {
    const auto* b = reinterpret_cast<const uint8_t*>(&a);
    return std::vector<int>(b, b + 4);
  };
  EXPECT_EQ(bytes(CSocketBase::ResolveHost("10.1.2.3")), (std::vector<int>{10, 1, 2, 3}));
  EXPECT_EQ(bytes(CSocketBase::ResolveHost("localhost")), (std::vector<int>{127, 0, 0, 1}));
  EXPECT_TRUE(Platform::IsNoAddress(CSocketBase::ResolveHost("nosuch.invalid")));
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
  uint16_t freePort;
  {
    CServerSocket probe;
    probe.BindAndListen(0, "127.0.0.1", PortChoice::kExact);
    freePort = probe.GetBoundPort();
    CServerSocket second(TcpNoDelay::kOn);
    EXPECT_EQ(ThrownCode([&] { second.BindAndListen(freePort, "127.0.0.1", PortChoice::kExact); }), EADDRINUSE);
  }
  CThreadedSocket refused;
  EXPECT_EQ(ThrownCode([&] { refused.Connect("127.0.0.1", freePort); }), ECONNREFUSED);
}

// A closed socket forgets its descriptor, which the system may give to the next socket.
TEST(SocketClose, AClosedSocketForgetsItsDescriptor) {
  CThreadedSocket socket;
  EXPECT_EQ(socket.Close(), 0);
  EXPECT_EQ(socket.Handle(), CSocketBase::kInvalidSocket);
  EXPECT_EQ(socket.CreateEvent(), nullptr);
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

// Two members of a group of their own on the loopback interface: a datagram sent by one
// reaches both. (The discovery tests cannot tell a socket that never joined its group from one
// that did while another program on the machine has joined the discovery group.)
TEST(Datagram, GroupOnLoopback) {
  uint16_t port;
  {
    CDatagramSocket probe;  // a UDP port that is free now
    Platform::BindSocket(probe.Handle(), Platform::AnyAddress(), 0);
    port = Platform::BoundPort(probe.Handle());
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
  CSocketException(ECONNREFUSED).Report();
  DiagnosticLog("%s", std::string(5000, 'x').c_str());
  SetDiagnosticSink(nullptr);
  CSocketLibException(1, "dropped").Report();
  ASSERT_EQ(sink.lines.size(), 3u);
  EXPECT_EQ(sink.lines[0], "Exception (Error code = 7) : queue full\n");
  EXPECT_EQ(sink.lines[1],
            "Exception (Error code = " + std::to_string(ECONNREFUSED) + ") : " + SystemErrorText(ECONNREFUSED) + "\n");
  EXPECT_EQ(sink.lines[2].size(), 4095u);
}

}  // namespace
