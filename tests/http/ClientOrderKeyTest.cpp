// Requests with order keys: several in flight at once, one key's in order, requests without a key
// as barriers, also after the service came back. (A lost connection failing those in flight and
// those queued is the answer-burst replay transcript's.)
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

}  // namespace
}  // namespace HttpTest
