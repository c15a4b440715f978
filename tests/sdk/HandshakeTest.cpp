// The registration handshake of new connections: what is dropped, what is logged, and that
// the server goes on listening.
#include <gtest/gtest.h>

#include "MessagingTestHelpers.h"

namespace {

// A proper client still gets through: registered and served.
void ExpectServed(TestServer& server, size_t index) {
  RawClient client(server.Port());
  ASSERT_TRUE(client.Register(1));
  auto object = server.WaitObject(index);
  ASSERT_TRUE(object);
  std::vector<uint8_t> ping = AsyncBody(RecordingObject::kPing, {0, 0, 0, 3});
  ping[4] = 2;
  ASSERT_TRUE(client.SendAll(Frame(ping)));
  EXPECT_TRUE(client.ReadFrame());
}

TEST(Handshake, BadRegistrationFramesAreDroppedSilently) {
  ScopedDiagnostics diagnostics;
  auto server = TestServer::Start();
  std::vector<std::vector<uint8_t>> badFrames;
  // Prefix 10 instead of 9 (13 bytes all the same).
  std::vector<uint8_t> prefix10 = Bytes(CRegistrationMessage(1));
  prefix10[3] = 10;
  badFrames.push_back(prefix10);
  // Message id 2, and kind 2: not a registration.
  std::vector<uint8_t> otherId = Bytes(CRegistrationMessage(1));
  otherId[7] = 2;
  badFrames.push_back(otherId);
  std::vector<uint8_t> otherKind = Bytes(CRegistrationMessage(1));
  otherKind[8] = 2;
  badFrames.push_back(otherKind);
  for (const auto& frame : badFrames) {
    RawClient client(server->Port());
    ASSERT_TRUE(client.Read(16));
    ASSERT_TRUE(client.SendAll(frame));
    EXPECT_TRUE(client.WaitClosed());
  }
  EXPECT_TRUE(server->Objects().empty());
  ExpectServed(*server, 0);
  EXPECT_FALSE(diagnostics.HasLineStartingWith("CServerListeningThread::OnNewConnection"));
  server->Stop();
}

TEST(Handshake, ClientThatNeverRegistersIsDroppedAfterTheTimeLimit) {
  ScopedDiagnostics diagnostics;
  auto server = TestServer::Start();
  {
    RawClient silent(server->Port());
    ASSERT_TRUE(diagnostics.WaitForLine("CServerListeningThread::OnNewConnection: Error reading registration message.",
                                        2 * CServerListeningThread::kHandshakeTimeoutMs));
    EXPECT_TRUE(silent.WaitClosed());
  }
  // A registration that stops half way is dropped the same way.
  {
    RawClient halfway(server->Port());
    ASSERT_TRUE(halfway.Read(16));
    const std::vector<uint8_t> frame = Bytes(CRegistrationMessage(1));
    ASSERT_TRUE(halfway.SendAll(std::span(frame).first(6)));
    EXPECT_TRUE(halfway.WaitClosed(2 * CServerListeningThread::kHandshakeTimeoutMs));
  }
  EXPECT_TRUE(server->Objects().empty());
  ExpectServed(*server, 0);
  server->Stop();
}

TEST(Handshake, ClientThatLeavesDuringTheHandshakeIsDropped) {
  auto server = TestServer::Start();
  {
    RawClient leaving(server->Port());
    ASSERT_TRUE(leaving.Read(16));
  }
  ExpectServed(*server, 0);
  EXPECT_EQ(server->Objects().size(), 1u);
  server->Stop();
}

TEST(Handshake, StoppingTheLayerAbortsAHandshakeInProgress) {
  auto server = TestServer::Start();
  RawClient silent(server->Port());
  ASSERT_TRUE(silent.Read(16));
  // The last user goes: the listening thread stops without waiting for the registration.
  server->Stop();
  server.reset();
  EXPECT_TRUE(silent.WaitClosed(CServerListeningThread::kHandshakeTimeoutMs / 2));
}

}  // namespace
