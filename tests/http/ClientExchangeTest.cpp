// Exchanges of the HTTP client with the software-service simulator: order under load, and
// requests or replies that cannot be what they should be.
#include "tests/http/HttpFixture.h"

using namespace Voxlet;
using HttpTest::ConnectedClient;
using HttpTest::kPatience;
using HttpTest::kReceiverHello;
using HttpTest::kStatusPath;
using HttpTest::NewMessage;

// Requests from several threads reach the service and complete in each thread's order; the
// next request is written only after the one before it completed.
TEST_F(ConnectedClient, ConcurrentSendersKeepEachThreadsOrder) {
  constexpr int kThreads = 4, kEach = 75;
  HttpTest::Guarded<std::vector<std::vector<int>>> completed;
  completed.Update([](auto& v) { v.resize(kThreads); });
  {
    std::vector<std::jthread> senders;
    for (int t = 0; t < kThreads; ++t)
      senders.emplace_back([&, t] {
        for (int i = 0; i < kEach; ++i) {
          auto m = NewMessage(
              Methods::Get, kStatusPath + u"?t=" + UTF8to16(std::to_string(t)) + u"&n=" + UTF8to16(std::to_string(i)));
          m->Completed().connect([&completed, t, i](const MessagePtr& done) {
            EXPECT_EQ(done->State(), RequestStates::Complete);
            completed.Update([t, i](auto& v) { v[t].push_back(i); });
          });
          EXPECT_TRUE(client->Send(m));
        }
      });
  }
  ASSERT_TRUE(completed.WaitFor([](const auto& v) {
    return std::all_of(v.begin(), v.end(), [](const std::vector<int>& c) { return c.size() == kEach; });
  }));
  for (const auto& order : completed.Get()) EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
  std::vector<int> last(kThreads, -1);
  for (const auto& r : sim.Manager().Requests()) {
    if (r.route != "activatedStatus") continue;
    const int t = std::stoi(r.query.at("t")), n = std::stoi(r.query.at("n"));
    EXPECT_EQ(n, last[t] + 1) << "thread " << t;
    last[t] = n;
  }
  EXPECT_EQ(last, std::vector<int>(kThreads, kEach - 1));
}

TEST_F(ConnectedClient, BrokenRepliesFailTheRequestAndTheClientReconnects) {
  const char* const broken[] = {
      "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: 500\r\n\r\n<voxlet:runtime>",  // cut short
      "this is not HTTP at all\r\n\r\n",
  };
  size_t expectedStates = 2;
  for (const char* raw : broken) {
    ServiceSim::SimReply reply;
    reply.raw = raw;
    sim.OverrideReply("/voxlet/builtins/anyone/hello", reply);
    auto m = NewMessage(Methods::Get, kReceiverHello, u"receiver.AA");
    ASSERT_TRUE(client->Send(m));
    EXPECT_FALSE(m->BlockUntil(RequestStates::Complete, kPatience)) << raw;
    EXPECT_TRUE(m->Ended());
    EXPECT_EQ(m->State(), RequestStates::NotSent);
    EXPECT_EQ(m->StatusCode(), 0);
    EXPECT_TRUE(m->Failure());

    // 2 -> 0 -> 1 -> 2: the recorder asks for the reconnection on 0.
    sim.OverrideReply("", {});
    expectedStates += 3;
    ASSERT_TRUE(recorder->WaitForCount(expectedStates));
    const auto states = recorder->states.Get();
    EXPECT_EQ(std::vector<int>(states.end() - 3, states.end()), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(Exchange(NewMessage(Methods::Get, kReceiverHello, u"receiver.AA"))->State(), RequestStates::Complete);
  }
}
