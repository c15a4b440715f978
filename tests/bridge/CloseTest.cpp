#include <atomic>
#include <thread>

#include "tests/bridge/BridgeFixture.h"

TEST_F(BridgeTest, WithoutAnEndpointNothingIsPolledAndClosingSaysNoGoodbye) {
  OpenReceiver();
  simulator->dropAnswers = true;                   // the MAC address never comes: no endpoint
  ASSERT_TRUE(WaitForPacket({0x00, 0x00, 0x2A}));  // connected: the start-up queries began
  Tick();
  Tick();
  Settle();
  receiver->Close();
  EXPECT_EQ(Routes(), (std::vector<std::string>{"unknown", "unknown"}));  // the test's own only
  EXPECT_EQ(Occurrences(Log(), "Saying goodbye"), 0u);
}

TEST_F(BridgeTest, ClosingRemovesTheReceiverAndItsClickersThenSaysGoodbyeLast) {
  OpenAndSubscribe();
  receiver->Close();
  EXPECT_TRUE(session->EndpointId().empty());
  const std::vector<std::string> routes = Routes();
  ASSERT_GE(routes.size(), 2u);
  EXPECT_EQ(std::vector<std::string>(routes.end() - 2, routes.end()),
            (std::vector<std::string>{"receiverRemoved", "goodbye"}));
  const ServiceSim::ReceivedRequest removed = Requests("receiverRemoved").front();
  EXPECT_EQ(removed.method, "POST");
  EXPECT_EQ(removed.query.at("endpoint"), kEndpoint);
  const ServiceSim::ReceivedRequest goodbye = Requests("goodbye").front();
  EXPECT_EQ(goodbye.method, "POST");
  EXPECT_EQ(goodbye.headers.at("x-vantrel-voxlet-endpoint"), kEndpoint);
  EXPECT_EQ(service.Manager().Endpoints().count(kEndpoint), 0u);
  // Every clicker was let go as if it had left the network.
  EXPECT_EQ(session->Calls(), (std::vector<std::string>{"disassociated 257", "disassociated 258"}));
  EXPECT_EQ(Occurrences(Log(), "Saying goodbye by faking a goodbye for every connected clicker...\r\n"), 1u);
}

TEST_F(BridgeTest, TicksDuringCloseAreHarmlessAndNothingFollowsTheGoodbye) {
  OpenAndSubscribe();
  // Ticks race the close: a poll hello written after the goodbye would create the endpoint again.
  const Voxlet::ClientPtr client = session->ServiceClient();
  std::atomic<bool> closed{false};
  std::jthread ticker([&] {
    while (!closed.load()) {
      session->OnClientTick(*client);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  receiver->Close();
  closed = true;
  ticker.join();
  const std::vector<std::string> routes = Routes();
  const auto goodbye = std::find(routes.begin(), routes.end(), "goodbye");
  ASSERT_NE(goodbye, routes.end());
  EXPECT_EQ(goodbye + 1, routes.end());
  EXPECT_EQ(service.Manager().Endpoints().count(kEndpoint), 0u);
  EXPECT_EQ(Count("subscribe"), 1u);
}

TEST_F(BridgeTest, ClosingDuringAPowerDownEndsWithTheNetworkStopAndNothingFollowsIt) {
  powerDownStepMs = 300;
  OpenAndSubscribe();
  receiver->Network().SetNetworkStarted(true);
  const size_t powerDowns = CountOf(Received(), kPowerDownAll);
  const size_t stops = CountOf(Received(), kNetworkStop);
  service.Stop();
  ASSERT_TRUE(WaitForPacket(kPowerDownAll, powerDowns + 1));
  receiver->Close();  // meets the power-down half-way through its pauses
  // The close's own network stop is on the wire before the link closed; the simulator reads
  // it in its own time.
  ASSERT_TRUE(WaitForPacket(kNetworkStop, stops + 1));
  const Packets packets = Received();
  // The power-down went out once, and the receiver's own close ended with the network stop.
  // (The sequence's own stop is dropped as moot when the close finds it still queued.)
  EXPECT_EQ(CountOf(packets, kPowerDownAll), powerDowns + 1);
  EXPECT_EQ(packets.back(), kNetworkStop);
  EXPECT_TRUE(session->ServiceClient() == nullptr);
}
