// The registration handshake of new connections: what is dropped, what is logged, and that
// the server goes on listening.
#include <gtest/gtest.h>

#include "MessagingTestHelpers.h"

namespace {

// A proper client still gets through: registered and served.
void ExpectServed(TestServer& server) {
  RawClient client(server.Port());
  ASSERT_TRUE(client.Register(1));
  ASSERT_TRUE(server.WaitObject(0));
  ASSERT_TRUE(client.SendAll(Frame(Request(RecordingObject::kPing, 3))));
  EXPECT_EQ(client.ReadFrame(), Response(RecordingObject::kPingAnswer, 3));
  EXPECT_EQ(server.Objects().size(), 1u);
}

// Frames that are not a registration (prefix 10, message id 2, kind 2), and a client that
// leaves before registering, are dropped (the frames without a word).
TEST(Handshake, BadRegistrationsAreDroppedSilently) {
  ScopedDiagnostics diagnostics;
  auto server = TestServer::Start();
  std::vector<ByteVector> badFrames;
  for (size_t at : {3, 7, 8}) {
    badFrames.push_back(Bytes(CRegistrationMessage(1)));
    ++badFrames.back()[at];
  }
  for (const auto& frame : badFrames) {
    RawClient client(server->Port());
    ASSERT_TRUE(client.Read(16));
    ASSERT_TRUE(client.SendAll(frame));
    EXPECT_TRUE(client.WaitClosed());
  }
  EXPECT_EQ(diagnostics.Count("CServerListeningThread::OnNewConnection"), 0u);
  ASSERT_TRUE(RawClient(server->Port()).Read(16));  // and leaves
  ExpectServed(*server);
}

// A client that sends nothing, or half a registration, is dropped after the time limit.
TEST(Handshake, ClientThatNeverRegistersIsDroppedAfterTheTimeLimit) {
  ScopedDiagnostics diagnostics;
  auto server = TestServer::Start();
  {
    RawClient silent(server->Port());
    ASSERT_TRUE(diagnostics.WaitForLine("CServerListeningThread::OnNewConnection: Error reading registration message.",
                                        2 * CServerListeningThread::kHandshakeTimeoutMs));
    EXPECT_TRUE(silent.WaitClosed());
  }
  {
    RawClient halfway(server->Port());
    ASSERT_TRUE(halfway.Read(16));
    const ByteVector frame = Bytes(CRegistrationMessage(1));
    ASSERT_TRUE(halfway.SendAll(std::span(frame).first(6)));
    EXPECT_TRUE(halfway.WaitClosed(2 * CServerListeningThread::kHandshakeTimeoutMs));
  }
  ExpectServed(*server);
}

TEST(Handshake, StoppingTheLayerAbortsAHandshakeInProgress) {
  auto server = TestServer::Start();
  RawClient silent(server->Port());
  ASSERT_TRUE(silent.Read(16));
  // The last user goes: the listening thread stops without waiting for the registration.
  server.reset();
  EXPECT_TRUE(silent.WaitClosed(CServerListeningThread::kHandshakeTimeoutMs / 2));
}

}  // namespace
