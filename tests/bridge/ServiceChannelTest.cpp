// The channel to the software service on its own, without a client: the endpoint's
// subscription, the polls on their way, the goodbye that shuts the door, and the completions
// that pass the session's gate.
#include <gtest/gtest.h>

#include <memory>

#include "bridge/ServiceChannel.h"
#include "client/http/Message.h"
#include "tests/bridge/FakeSessionHost.h"

class ServiceChannelTest : public ::testing::Test {
 protected:
  std::shared_ptr<CallGate> gate = std::make_shared<CallGate>();
  CServiceChannel channel{[this] { return gate; }};
};

// The activated status is asked for once per subscription: a hello that subscribes the endpoint
// (the first, one that created it anew, the first after the service was lost) sets it pending;
// putting it off for a scan is said once each time.
TEST_F(ServiceChannelTest, EachSubscriptionAsksForTheActivatedStatusOnce) {
  channel.SetReceiverAddress(kFakeReceiverMac);
  EXPECT_EQ(channel.EndpointId(), u"receiver." + kFakeReceiverMac);
  EXPECT_TRUE(channel.Subscribe(false));
  EXPECT_TRUE(channel.StatusQueryPending());
  EXPECT_TRUE(channel.FirstDelay());
  EXPECT_FALSE(channel.FirstDelay());
  channel.TakeStatusQuery();
  EXPECT_FALSE(channel.Subscribe(false));
  EXPECT_FALSE(channel.StatusQueryPending());

  EXPECT_TRUE(channel.Subscribe(true));  // the software service had forgotten the receiver
  EXPECT_TRUE(channel.FirstDelay());
  channel.TakeStatusQuery();

  channel.ServiceLost();
  EXPECT_TRUE(channel.ServiceAway());
  EXPECT_FALSE(channel.Subscribed());
  EXPECT_TRUE(channel.EndpointId().empty());
  EXPECT_EQ(channel.ReceiverAddress(), kFakeReceiverMac);
  EXPECT_TRUE(channel.Subscribe(false));
  channel.ServiceReached();
  EXPECT_FALSE(channel.ServiceAway());
}

// At most three polls are on their way; each that ends makes room, and losing the service
// forgets them all.
TEST_F(ServiceChannelTest, ThreePollsAtATime) {
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(channel.TakePollSlot());
  EXPECT_FALSE(channel.TakePollSlot());
  channel.ReturnPollSlot();
  EXPECT_TRUE(channel.TakePollSlot());
  channel.ServiceLost();
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(channel.TakePollSlot());
  for (int i = 0; i < 5; ++i) channel.ReturnPollSlot();  // never below none
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(channel.TakePollSlot());
  EXPECT_FALSE(channel.TakePollSlot());
}

// Without an endpoint there is no goodbye to say and nothing more is sent; with one, answers are
// kept for the next opening from the start of the goodbye, and nothing is sent after it. A
// reopened receiver starts afresh.
TEST_F(ServiceChannelTest, TheGoodbyeShutsTheDoor) {
  EXPECT_FALSE(channel.BeginFarewell());
  EXPECT_TRUE(channel.Farewell());
  EXPECT_TRUE(channel.Leaving());

  channel.Reopen();
  EXPECT_FALSE(channel.Farewell());
  EXPECT_FALSE(channel.Leaving());
  channel.SetReceiverAddress(kFakeReceiverMac);
  EXPECT_TRUE(channel.BeginFarewell());
  EXPECT_TRUE(channel.Farewell());
  EXPECT_FALSE(channel.Leaving());
  EXPECT_FALSE(channel.SendGoodbye(Voxlet::Message::Create()));  // no client to say it with
  EXPECT_TRUE(channel.Leaving());
  EXPECT_FALSE(channel.Send(Voxlet::Message::Create()));

  channel.Reopen();
  EXPECT_TRUE(channel.EndpointId().empty());
  EXPECT_FALSE(channel.Subscribed());
  EXPECT_EQ(channel.Release(), nullptr);
  EXPECT_TRUE(channel.Leaving());
  EXPECT_TRUE(channel.Farewell());
}

// A request names the receiver's endpoint when asked to, and its completion runs only while the
// session's gate is open.
TEST_F(ServiceChannelTest, CompletionsPassTheGate) {
  channel.SetReceiverAddress(kFakeReceiverMac);
  int completions = 0;
  const auto count = [&](const Voxlet::MessagePtr&) { ++completions; };
  const Voxlet::MessagePtr named = channel.NewRequest(Voxlet::Methods::Get, u"/a", count, true);
  const Voxlet::MessagePtr unnamed = channel.NewRequest(Voxlet::Methods::Get, u"/b", count, false);
  EXPECT_EQ(named->Headers().Get(Voxlet::Header::XVantrelVoxletEndpoint), u"receiver." + kFakeReceiverMac);
  EXPECT_TRUE(unnamed->Headers().Get(Voxlet::Header::XVantrelVoxletEndpoint).empty());
  Reply(named, 200);
  EXPECT_EQ(completions, 1);
  gate->CloseAndDrain();
  Reply(unnamed, 200);
  EXPECT_EQ(completions, 1);
}

// Hello replies that cannot be read are said when they start; the same trouble again is only
// counted, another one starts anew.
TEST_F(ServiceChannelTest, UnreadableRepliesAreSaidWhenTheirTroubleStarts) {
  EXPECT_TRUE(channel.StartPollTrouble("status 302"));
  EXPECT_FALSE(channel.StartPollTrouble("status 302"));
  EXPECT_TRUE(channel.StartPollTrouble("status 200, content type \"text/html\""));
  channel.EndPollTrouble("the next one could");
  EXPECT_TRUE(channel.StartPollTrouble("status 200, content type \"text/html\""));
}
