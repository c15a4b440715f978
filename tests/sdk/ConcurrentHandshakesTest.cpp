// Handshakes side by side: clients that stall in theirs keep neither other clients nor
// discovery waiting, and are still dropped (descriptors running out: OutOfDescriptorsTest).
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "MessagingTestHelpers.h"
#include "sdk/Discovery.h"

namespace {

// Clients that stall in their handshake (one silent, one with half a registration; their
// time-out longer than the test) hold up neither a client that registers after them nor the
// answers to discovery queries.
TEST(ConcurrentHandshakes, StalledOnesHoldUpNeitherOtherClientsNorDiscovery) {
  CDiscoveryClient finder;
  auto server = TestServer::Start(ListenOptions{.publish = true, .handshakeTimeoutMs = 10 * kTestWaitMs});
  ASSERT_EQ(finder.WaitAnnouncement(server->Identifier(), kTestWaitMs), server->Port());
  RawClient silent(server->Port()), halfway(server->Port());
  // Both handshakes have begun: the identifier came.
  ASSERT_TRUE(silent.Read(16));
  ASSERT_TRUE(halfway.Read(16));
  ASSERT_TRUE(halfway.SendAll(std::span<const uint8_t>(Bytes(CRegistrationMessage(1))).first(6)));

  RawClient client(server->Port());
  ASSERT_TRUE(client.Register(2));
  ASSERT_TRUE(server->WaitObject(0));
  EXPECT_TRUE(Served(client, 5));
  ASSERT_TRUE(finder.SendQuery(server->Identifier()));
  EXPECT_EQ(finder.WaitAnnouncement(server->Identifier(), kTestWaitMs), server->Port());
  // The stalled ones are still waiting for their registration.
  EXPECT_TRUE(silent.Waiting());
  EXPECT_TRUE(halfway.Waiting());
  EXPECT_EQ(server->Objects().size(), 1u);
  // Stopping drops them.
  server->Stop();
  EXPECT_TRUE(silent.WaitClosed());
  EXPECT_TRUE(halfway.WaitClosed());
}

// More stalled clients than handshakes can wait at once: the oldest is dropped to make room,
// so that a client that registers still gets through.
TEST(ConcurrentHandshakes, WhenTooManyStallTheOldestMakesRoom) {
  auto server = TestServer::Start(ListenOptions{.publish = false, .handshakeTimeoutMs = 10 * kTestWaitMs});
  std::vector<std::unique_ptr<RawClient>> stalled;
  for (size_t i = 0; i < CServerListeningThread::kMaxHandshakes; ++i) {
    stalled.push_back(std::make_unique<RawClient>(server->Port()));
    ASSERT_TRUE(stalled.back()->Read(16)) << i;
  }
  RawClient client(server->Port());
  ASSERT_TRUE(client.Register(2));
  ASSERT_TRUE(server->WaitObject(0));
  EXPECT_TRUE(Served(client, 6));
  EXPECT_TRUE(stalled.front()->WaitClosed());
  for (size_t i = 1; i < stalled.size(); ++i) EXPECT_TRUE(stalled[i]->Waiting()) << i;
}

}  // namespace
