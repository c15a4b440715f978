// The client's connection life: connecting, losing and regaining the service, blocking on a
// request, broken replies, the periodic signal, and tearing a client down while it works.
#include <boost/asio/ip/tcp.hpp>

#include "client/http/Engine.h"
#include "tests/http/HttpFixture.h"

using namespace Voxlet;
using HttpTest::ConnectedClient;
using HttpTest::Guarded;
using HttpTest::kPatience;
using HttpTest::kReceiverHello;
using HttpTest::kStatusPath;
using HttpTest::NewMessage;
using HttpTest::StateRecorder;

namespace {

// A loopback port with nothing listening on it.
uint16_t ClosedPort() {
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor a(io, {boost::asio::ip::address_v4::loopback(), 0});
  return a.local_endpoint().port();  // closed again when `a` goes
}

// Counts ticks, and notes the thread of the last; each is a library-thread event a test can
// wait for instead of sleeping. The slot holds the count itself, as StateRecorder's does.
struct TickCounter {
  using Count = Guarded<std::pair<int, std::thread::id>>;
  explicit TickCounter(Client& c)
      : connection(c.Tick().connect([count = record](Client&) {
          count->Update([](auto& t) { t = {t.first + 1, std::this_thread::get_id()}; });
        })) {}
  bool WaitFor(int n) {
    return ticks.WaitFor([n](const auto& t) { return t.first >= n; });
  }
  std::shared_ptr<Count> record = std::make_shared<Count>();
  Count& ticks = *record;
  boost::signals2::scoped_connection connection;
};

}  // namespace

// An address that is not http is refused. Until the service appears: retrying without a state
// storm, requests failing at once.
TEST(ClientWithoutService, NeverConnectedClientStaysConnectingUntilTheServiceAppears) {
  Globals globals;
  ServiceSim::ServiceSimulator sim(ServiceSim::Scenario{});
  const uint16_t port = ClosedPort();
  Client client(true);
  StateRecorder recorder(client);
  TickCounter ticks(client);
  EXPECT_FALSE(client.Connect(u"https://127.0.0.1/"));
  EXPECT_EQ(client.LastSocketException(), SocketExceptions::InvalidAddress);
  ASSERT_TRUE(client.Connect(UTF8to16("http://127.0.0.1:" + std::to_string(port) + "/")));
  ASSERT_TRUE(ticks.WaitFor(3));  // several seconds of retrying
  EXPECT_EQ(recorder.states.Get(), std::vector<int>{ClientStates::Connecting});
  EXPECT_EQ(client.State(), ClientStates::Connecting);
  EXPECT_EQ(client.LastSocketException(), SocketExceptions::ConnectionRefused);
  EXPECT_NE(ticks.ticks.Get().second, std::this_thread::get_id());

  auto m = NewMessage(Methods::Get, kReceiverHello, u"receiver.AA");
  Guarded<int> completed;
  m->Completed().connect([&](const MessagePtr&) { completed.Update([](int& n) { ++n; }); });
  EXPECT_FALSE(client.Send(m));
  EXPECT_EQ(m->State(), RequestStates::NotSent);
  EXPECT_TRUE(m->Failure());
  EXPECT_FALSE(m->BlockUntil(RequestStates::Complete, kPatience));  // returns at once: the request ended
  EXPECT_TRUE(completed.WaitFor([](int n) { return n == 1; }));

  ASSERT_TRUE(sim.Start(port));
  ASSERT_TRUE(recorder.WaitForLast(ClientStates::Connected));
  EXPECT_EQ(recorder.states.Get(), (std::vector<int>{ClientStates::Connecting, ClientStates::Connected}));
}

TEST_F(ConnectedClient, BlockUntilTimesOutWhileTheServiceHoldsTheReply) {
  sim.Server().HoldReplies("/voxlet/builtins/teachers/signin");
  auto m = NewMessage(Methods::Post, u"/voxlet/builtins/teachers/signin", u"clickerhardware.receiver.AA.5");
  ASSERT_TRUE(client->Send(m));
  ASSERT_TRUE(sim.Server().WaitHeld(1, kPatience));
  EXPECT_FALSE(m->BlockUntil(RequestStates::Complete, 0.05));
  EXPECT_EQ(m->State(), RequestStates::Waiting);
  EXPECT_FALSE(m->Failure());
  EXPECT_FALSE(m->Success(Content::Types::TextXml));

  // A request queued behind it waits its turn.
  auto behind = NewMessage(Methods::Get, kStatusPath);
  ASSERT_TRUE(client->Send(behind));
  EXPECT_FALSE(behind->BlockUntil(RequestStates::Writing, 0.05));

  sim.Server().ReleaseHeld();
  EXPECT_TRUE(m->BlockUntil(RequestStates::Complete, kPatience));
  EXPECT_EQ(m->StatusCode(), StatusCodes::NotFound);  // no such clicker endpoint
  EXPECT_EQ(m->ReasonPhrase(), u"Not Found");
  EXPECT_TRUE(behind->BlockUntil(RequestStates::Complete, kPatience));

  // One that cannot be written (a header value with a line break) ends with its completion; the
  // connection is untouched.
  auto unwritable = NewMessage(Methods::Post, u"/voxlet/builtins/teachers/signin", u"clicker\r\nX-Injected: yes");
  Guarded<int> fired;
  unwritable->Completed().connect([&](const MessagePtr&) { fired.Update([](int& n) { ++n; }); });
  client->Send(unwritable);
  ASSERT_TRUE(fired.WaitFor([](int n) { return n == 1; }));
  EXPECT_TRUE(unwritable->Failure());
  EXPECT_EQ(Exchange(NewMessage(Methods::Get, kStatusPath))->StatusCode(), StatusCodes::OK);
}

TEST_F(ConnectedClient, DisconnectFailsQueuedRequestsWithTheirCompletions) {
  Guarded<int> completions;
  const std::vector<MessagePtr> sent = SendBehindAHeldReply(4, completions);
  client->Disconnect();
  EXPECT_EQ(client->State(), ClientStates::Disconnected);
  ASSERT_TRUE(completions.WaitFor([](int n) { return n == 4; }));
  for (const auto& m : sent) EXPECT_TRUE(m->Failure());
  EXPECT_EQ(recorder->states.Get(), (std::vector<int>{1, 2}));  // no state signal for Disconnect
  EXPECT_FALSE(client->Send(NewMessage(Methods::Get, kReceiverHello)));
}

TEST_F(ConnectedClient, DestroyingTheClientWithRequestsInFlightIsSafe) {
  Guarded<int> completions;
  const std::vector<MessagePtr> sent = SendBehindAHeldReply(5, completions);
  client.reset();
  recorder.reset();
  for (const auto& m : sent) {
    EXPECT_FALSE(m->BlockUntil(RequestStates::Complete, kPatience));
    EXPECT_TRUE(m->Failure());
  }
  sim.Server().ReleaseHeld();
  EXPECT_EQ(completions.Get(), 0);  // the owner is gone: no completion reaches it
}

// A reply cut short or not HTTP at all fails its request, and the client reconnects.
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

// Neither a lost connection nor a failure is seen.
TEST_F(ConnectedClient, IdleConnectionClosedByTheServiceIsReopenedQuietly) {
  ServiceSim::SimReply closing;
  closing.contentType = "text/xml";
  closing.body = "<ok/>";
  closing.headers.emplace_back("Connection", "close");
  sim.OverrideReply("/voxlet/builtins/teachers/modeSwitching", closing);
  Exchange(NewMessage(Methods::Post, u"/voxlet/builtins/teachers/modeSwitching"));
  sim.OverrideReply("", {});
  EXPECT_EQ(Exchange(NewMessage(Methods::Get, kStatusPath))->StatusCode(), StatusCodes::OK);
  EXPECT_EQ(recorder->states.Get(), (std::vector<int>{1, 2}));
}

// The library outlived by its last client, which is let go inside its own completion handler:
// the library's threads are joined by the next library to come, not by a thread left running
// on its own past the end of main.
TEST(ClientOutlivingTheLibrary, LastClientGoneInItsOwnHandlerIsJoinedByTheNextLibrary) {
  ServiceSim::ServiceSimulator sim{ServiceSim::Scenario{}};
  ASSERT_TRUE(sim.Start(0));
  std::shared_ptr<Client> client;
  std::unique_ptr<StateRecorder> recorder;
  {
    Globals globals;
    client = std::make_shared<Client>(true);
    recorder = std::make_unique<StateRecorder>(*client);
    ASSERT_TRUE(client->Connect(UTF8to16(sim.Uri())));
    ASSERT_TRUE(recorder->WaitForLast(ClientStates::Connected));
  }
  recorder.reset();
  EXPECT_EQ(Detail::Engine::LiveCount(), 1);  // the client keeps the threads
  Guarded<bool> sent, destroyed;
  auto m = NewMessage(Methods::Get, kStatusPath);
  m->Completed().connect([&](const MessagePtr&) {
    sent.WaitFor([](bool b) { return b; });
    client.reset();  // the engine's last owner, on the engine's own thread
    destroyed.Update([](bool& b) { b = true; });
  });
  ASSERT_TRUE(client->Send(m));
  sent.Update([](bool& b) { b = true; });
  ASSERT_TRUE(destroyed.WaitFor([](bool b) { return b; }));
  {
    Globals next;  // joins the retired threads before it starts its own
    EXPECT_EQ(Detail::Engine::LiveCount(), 1);
  }
  EXPECT_EQ(Detail::Engine::LiveCount(), 0);
}
