#include <thread>

#include "tests/bridge/BridgeFixture.h"

TEST_F(BridgeTest, WithoutAnEndpointNothingIsPolledAndClosingSaysNoGoodbye) {
  OpenReceiver();
  simulator->dropAnswers = true;                   // the MAC address never comes: no endpoint
  ASSERT_TRUE(WaitForPacket({0x00, 0x00, 0x2A}));  // connected: the start-up queries began
  Tick();
  Tick();
  SettleClient();
  receiver->Close();
  EXPECT_EQ(Routes(), (std::vector<std::string>{"unknown", "unknown"}));  // the test's own only
  EXPECT_EQ(Occurrences(Log(), "Saying goodbye"), 0u);
}

// Ticks race the close: a poll hello written after the goodbye would create the endpoint again.
TEST_F(BridgeTest, ClosingRemovesTheReceiverAndItsClickersThenSaysGoodbyeLastWhateverTicksRaceIt) {
  OpenAndSubscribe();
  const Voxlet::ClientPtr client = session->ServiceClient();
  {
    // Its destructor stops and joins it, a failed assertion below included.
    std::jthread ticker([&](std::stop_token stop) {
      while (!stop.stop_requested()) {
        session->OnClientTick(*client);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    });
    receiver->Close();
  }
  EXPECT_TRUE(session->EndpointId().empty());
  // A poll hello from a racing tick may still go out before the goodbye, never after it.
  std::vector<std::string> routes = Routes();
  ASSERT_FALSE(routes.empty());
  EXPECT_EQ(routes.back(), "goodbye");
  EXPECT_EQ(std::count(routes.begin(), routes.end(), "goodbye"), 1);
  std::erase(routes, "hello");
  ASSERT_GE(routes.size(), 2u);
  EXPECT_EQ(routes[routes.size() - 2], "receiverRemoved");
  const ServiceSim::ReceivedRequest removed = Requests("receiverRemoved").front();
  EXPECT_EQ(removed.method, "POST");
  EXPECT_EQ(removed.query.at("endpoint"), kEndpoint);
  const ServiceSim::ReceivedRequest goodbye = Requests("goodbye").front();
  EXPECT_EQ(goodbye.method, "POST");
  EXPECT_EQ(goodbye.headers.at("x-vantrel-voxlet-endpoint"), kEndpoint);
  EXPECT_EQ(service.Manager().Endpoints().count(kEndpoint), 0u);
  EXPECT_EQ(Count("subscribe"), 1u);
  // Every clicker was let go as if it had left the network.
  EXPECT_EQ(session->Calls(), (std::vector<std::string>{"disassociated 257", "disassociated 258"}));
  EXPECT_EQ(Occurrences(Log(), "Saying goodbye by faking a goodbye for every connected clicker...\r\n"), 1u);
}
