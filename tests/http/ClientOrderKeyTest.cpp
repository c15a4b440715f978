// Requests with order keys: several in flight at once, one key's in order, requests without a key
// as barriers, also after the service came back; a broken connection fails only its own
// requests. (The service lost with requests in flight and queued is the answer-burst replay
// transcript's.)
#include "tests/http/HttpFixture.h"

namespace HttpTest {
namespace {

using namespace Voxlet;

const std::u16string kHeldPath = u"/voxlet/builtins/teachers/whois";

class OrderKeys : public ConnectedClient {
 protected:
  // A request to the held path named `name` (its "subject"), with `key` as its order key; its
  // completion is recorded by name.
  MessagePtr SendNamed(const std::string& name, const std::string& key, const std::u16string& path = kHeldPath) {
    auto m = NewMessage(Methods::Post, path + u"?subject=" + UTF8to16(name), u"clicker");
    m->SetOrderKey(UTF8to16(key));
    m->Completed().connect(
        [this, name](const MessagePtr&) { completed.Update([&](std::vector<std::string>& v) { v.push_back(name); }); });
    EXPECT_TRUE(client->Send(m));
    return m;
  }
  bool WaitCompleted(size_t n) {
    return completed.WaitFor([n](const std::vector<std::string>& v) { return v.size() >= n; });
  }
  // The subjects of the requests the service handled, in the order it handled them.
  std::vector<std::string> HandledSubjects() {
    std::vector<std::string> subjects;
    for (const auto& r : sim.Manager().Requests()) {
      const auto found = r.query.find("subject");
      if (found != r.query.end()) subjects.push_back(found->second);
    }
    return subjects;
  }
  Guarded<std::vector<std::string>> completed;
};

// Different keys are in flight together, on several connections; a key's request waits for its
// predecessor; a request without a key waits for everything before it and holds up everything after.
TEST_F(OrderKeys, KeysGoSideBySideAndARequestWithoutKeyIsABarrierAlsoAfterTheServiceCameBack) {
  sim.Server().HoldReplies(UTF16to8(kHeldPath));
  const std::vector<MessagePtr> sent = {SendNamed("a1", "a"),
                                        SendNamed("a2", "a"),
                                        SendNamed("b1", "b"),
                                        SendNamed("c1", "c"),
                                        SendNamed("plain", "", kStatusPath),
                                        SendNamed("d1", "d")};
  ASSERT_TRUE(sim.Server().WaitHeld(3, kPatience));
  std::vector<std::string> held;
  for (const std::string& t : sim.Server().HeldTargets()) held.push_back(t.substr(t.find("subject=") + 8));
  std::sort(held.begin(), held.end());
  EXPECT_EQ(held, (std::vector<std::string>{"a1", "b1", "c1"}));
  for (const MessagePtr& m : {sent[1], sent[4], sent[5]}) {
    EXPECT_EQ(m->State(), RequestStates::NotSent);
    EXPECT_FALSE(m->Ended());
  }

  sim.Server().ReleaseHeld();
  ASSERT_TRUE(WaitCompleted(sent.size()));
  for (const MessagePtr& m : sent) EXPECT_EQ(m->State(), RequestStates::Complete);
  // a2 after a1; b1 and c1, released together with a1, may come before or after a2.
  for (const std::vector<std::string>& order : {HandledSubjects(), completed.Get()}) {
    ASSERT_EQ(order.size(), sent.size());
    EXPECT_LT(std::find(order.begin(), order.end(), "a1"), std::find(order.begin(), order.end(), "a2"));
    EXPECT_EQ(std::vector<std::string>(order.end() - 2, order.end()), (std::vector<std::string>{"plain", "d1"}));
  }

  // The service goes and comes back on the same port: every idle connection is closed under
  // the client, which opens its first one again (through a lost connection or quietly), and
  // further ones when they are needed.
  const uint16_t port = sim.Port();
  sim.Stop();
  ASSERT_TRUE(sim.Start(port));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(kPatience);
  bool back = false;
  while (!back && std::chrono::steady_clock::now() < deadline) {
    auto probe = NewMessage(Methods::Get, kStatusPath);
    back = client->Send(probe) && probe->BlockUntil(RequestStates::Complete, kPatience);
    if (!back) recorder->WaitForLast(Voxlet::ClientStates::Connected, 1.0);
  }
  ASSERT_TRUE(back);
  sim.Server().HoldReplies(UTF16to8(kHeldPath));
  SendNamed("a3", "a");
  SendNamed("b3", "b");
  ASSERT_TRUE(sim.Server().WaitHeld(2, kPatience));
  sim.Server().ReleaseHeld();
  ASSERT_TRUE(WaitCompleted(sent.size() + 2));
}

// a1 goes on the first connection (the client is idle when it is sent), b1 and c1 on further
// ones, and b2 waits behind b1. The service leaves them all unanswered, then closes the
// connection of one without a reply.
class BrokenConnection : public OrderKeys {
 protected:
  std::vector<MessagePtr> SendAndBreak(const std::string& broken) {
    sim.Server().HoldReplies(UTF16to8(kHeldPath));
    std::vector<MessagePtr> sent = {SendNamed("a1", "a"), SendNamed("b1", "b"), SendNamed("c1", "c"),
                                    SendNamed("b2", "b")};
    EXPECT_TRUE(sim.Server().WaitHeld(3, kPatience));
    EXPECT_TRUE(sim.Server().DropHeld("subject=" + broken));
    return sent;
  }
  // Sent and not ended. The service may hold a request before its writer has marked it written
  // (Writing still), so either state counts.
  static bool InFlight(const MessagePtr& m) {
    return !m->Ended() && (m->State() == RequestStates::Writing || m->State() == RequestStates::Waiting);
  }
};

// A further connection that breaks fails its own request and, right behind it, the one of its
// key that waited for it; the other exchanges go on to their replies, and the client stays
// connected.
TEST_F(BrokenConnection, AFurtherConnectionFailsOnlyItsOwnRequestAndItsKeysFollowers) {
  const std::vector<MessagePtr> sent = SendAndBreak("b1");
  ASSERT_TRUE(WaitCompleted(2));
  EXPECT_EQ(completed.Get(), (std::vector<std::string>{"b1", "b2"}));
  EXPECT_TRUE(sent[1]->NoReply());
  EXPECT_TRUE(sent[3]->NoReply());
  EXPECT_TRUE(InFlight(sent[0]));
  EXPECT_TRUE(InFlight(sent[2]));
  EXPECT_EQ(client->State(), ClientStates::Connected);

  sim.Server().ReleaseHeld();
  ASSERT_TRUE(WaitCompleted(4));
  for (const MessagePtr& m : {sent[0], sent[2]}) EXPECT_EQ(m->State(), RequestStates::Complete);
  // Released together on two connections: handled in either order.
  std::vector<std::string> handled = HandledSubjects();
  std::sort(handled.begin(), handled.end());
  EXPECT_EQ(handled, (std::vector<std::string>{"a1", "c1"}));
  EXPECT_EQ(recorder->states.Get(), (std::vector<int>{1, 2}));
  const MessagePtr again = SendNamed("b3", "b");  // the key goes on, on a connection opened again
  ASSERT_TRUE(WaitCompleted(5));
  EXPECT_EQ(again->State(), RequestStates::Complete);
}

// The first connection breaking is the client's own loss (state 0, then back to 2), but the
// exchanges on the further connections still end with their replies read, and the request
// that waited for one of them goes once the client is back.
TEST_F(BrokenConnection, TheFirstConnectionsLossLeavesTheOtherExchangesToTheirReplies) {
  const std::vector<MessagePtr> sent = SendAndBreak("a1");
  ASSERT_TRUE(WaitCompleted(1));
  EXPECT_TRUE(sent[0]->NoReply());
  ASSERT_TRUE(recorder->WaitForCount(5));
  EXPECT_EQ(recorder->states.Get(), (std::vector<int>{1, 2, 0, 1, 2}));
  for (size_t i = 1; i < sent.size(); ++i) EXPECT_FALSE(sent[i]->Ended()) << i;

  sim.Server().ReleaseHeld();
  ASSERT_TRUE(WaitCompleted(4));
  for (size_t i = 1; i < sent.size(); ++i) EXPECT_EQ(sent[i]->State(), RequestStates::Complete) << i;
  const std::vector<std::string> handled = HandledSubjects();
  EXPECT_EQ(std::count(handled.begin(), handled.end(), "a1"), 0);
  EXPECT_LT(std::find(handled.begin(), handled.end(), "b1"), std::find(handled.begin(), handled.end(), "b2"));
}

}  // namespace
}  // namespace HttpTest
