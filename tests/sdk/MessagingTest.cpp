// Connections of the messaging layer against a plain TCP peer: frames in and out, blocking
// requests and their correlation ids, connection limits.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "MessagingTestHelpers.h"
#include "sdk/MessagingClient.h"
#include "sdk/SdkMessages.h"

namespace {

// A server with one registered raw client and the server-side object of that client.
class Connection : public ::testing::Test {
 protected:
  void SetUp() override {
    server = TestServer::Start();
    client = std::make_unique<RawClient>(server->Port());
    ASSERT_TRUE(client->Connected());
    ASSERT_TRUE(client->Register(5));
    object = server->WaitObject(0);
    ASSERT_TRUE(object);
    ASSERT_TRUE(object->WaitConnected());
  }
  void TearDown() override {
    client.reset();
    if (server) server->Stop();
  }

  std::shared_ptr<TestServer> server;
  std::unique_ptr<RawClient> client;
  std::shared_ptr<RecordingObject> object;
};

std::vector<uint8_t> Pattern(size_t size, uint8_t seed) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 31 + seed);
  return bytes;
}

TEST_F(Connection, RegistrationIdReachesTheServer) { EXPECT_EQ(server->Registrations(), std::vector<int32_t>{5}); }

TEST_F(Connection, FrameSplitAcrossManySegmentsIsReassembled) {
  std::vector<uint8_t> data = Pattern(300, 1);
  const std::vector<uint8_t> frame = Frame(AsyncBody(40, data));
  for (uint8_t byte : frame) {
    ASSERT_TRUE(client->SendAll({&byte, 1}));
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  const auto messages = object->WaitMessages(1);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], AsyncBody(40, data));
}

TEST_F(Connection, TwoFramesInOneSegmentArriveAsTwoMessagesInOrder) {
  std::vector<uint8_t> both = Frame(AsyncBody(41, {1}));
  const std::vector<uint8_t> second = Frame(AsyncBody(42, {2, 2}));
  both.insert(both.end(), second.begin(), second.end());
  // And an empty frame between messages, then one more.
  const std::vector<uint8_t> empty = Frame({});
  both.insert(both.end(), empty.begin(), empty.end());
  ASSERT_TRUE(client->SendAll(both));
  const auto messages = object->WaitMessages(3);
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0], AsyncBody(41, {1}));
  EXPECT_EQ(messages[1], AsyncBody(42, {2, 2}));
  EXPECT_TRUE(messages[2].empty());
}

TEST_F(Connection, MessagesLargerThan64KiBGoBothWays) {
  const std::vector<uint8_t> inbound = Pattern(300000, 3);
  ASSERT_TRUE(client->SendAll(Frame(AsyncBody(43, inbound))));
  const auto messages = object->WaitMessages(1);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], AsyncBody(43, inbound));

  // Out: more than the peer's buffers hold, so sends would block part way; a small message
  // queued behind it follows it intact.
  const std::vector<uint8_t> outbound = Pattern(3 * 1024 * 1024, 5);
  auto socket = object->GetSocket();
  ASSERT_TRUE(socket->SendBuffer(CMessageBuffer::FromBody(AsyncBody(44, outbound))));
  ASSERT_TRUE(socket->SendBuffer(CMessageBuffer::FromBody(AsyncBody(45, {7}))));
  const auto big = client->ReadFrame();
  ASSERT_TRUE(big);
  EXPECT_EQ(*big, AsyncBody(44, outbound));
  EXPECT_EQ(client->ReadFrame(), AsyncBody(45, {7}));
}

TEST_F(Connection, OverlongFrameClosesTheConnection) {
  const uint8_t prefix[] = {0x7F, 0xFF, 0xFF, 0xFF, 0, 0, 0, 1};
  ASSERT_TRUE(client->SendAll(prefix));
  EXPECT_TRUE(object->WaitDisconnected());
  EXPECT_TRUE(client->WaitClosed());
  EXPECT_TRUE(object->Messages().empty());
}

TEST_F(Connection, PeerClosingTellsTheObjectAndLaterSendsFail) {
  client->CloseNow();
  ASSERT_TRUE(object->WaitDisconnected());
  EXPECT_FALSE(object->Send(CRegistrationMessage(1)));
  EXPECT_EQ(server->Registrations().size(), 1u);
}

// The request the raw peer received: its correlation id.
uint32_t CorrelationOf(const std::vector<uint8_t>& body) { return Wire::GetU32(body.data() + 5); }

std::vector<uint8_t> Response(int32_t id, uint32_t correlationId, std::vector<uint8_t> data = {}) {
  std::vector<uint8_t> body;
  CWireWriter out(body);
  out.I32(id);
  out.U8(3);
  out.U32(correlationId);
  out.Raw(data);
  return body;
}

std::vector<uint8_t> Request(int32_t id, uint32_t correlationId) {
  std::vector<uint8_t> body = Response(id, correlationId);
  body[4] = 2;
  return body;
}

TEST_F(Connection, ResponsesGoToTheirRequestOthersToTheHandler) {
  CEmptyRequestMessage request(50, 51);
  auto answered = std::async(std::launch::async, [&] { return object->SendBlockingRequest(request, -1); });
  const auto sent = client->ReadFrame();
  ASSERT_TRUE(sent);
  ASSERT_EQ(sent->size(), 9u);
  EXPECT_EQ(MessageHeader::PeekMessageId(*sent), 50);
  EXPECT_EQ((*sent)[4], 2);
  const uint32_t correlation = CorrelationOf(*sent);
  EXPECT_NE(correlation, 0u);

  std::vector<uint8_t> stream;
  for (const auto& body : {Response(51, correlation + 1),         // unmatched correlation id: dropped
                           Response(52, correlation),             // right id, wrong message: dropped
                           std::vector<uint8_t>{0, 0, 0},         // short: to the handler
                           AsyncBody(53, {0, 0, 0, 9}),           // kind 1: to the handler
                           Request(54, correlation),              // kind 2: to the handler
                           Response(51, correlation, {0xAA})}) {  // the answer
    const auto frame = Frame(body);
    stream.insert(stream.end(), frame.begin(), frame.end());
  }
  ASSERT_TRUE(client->SendAll(stream));
  const MessageBufferPtr response = answered.get();
  ASSERT_TRUE(response);
  EXPECT_EQ(std::vector<uint8_t>(response->Body().begin(), response->Body().end()), Response(51, correlation, {0xAA}));
  // Frames are handled in order, so everything before the answer has been handled too.
  const auto handled = object->Messages();
  ASSERT_EQ(handled.size(), 3u);
  EXPECT_EQ(handled[0], (std::vector<uint8_t>{0, 0, 0}));
  EXPECT_EQ(MessageHeader::PeekMessageId(handled[1]), 53);
  EXPECT_EQ(MessageHeader::PeekMessageId(handled[2]), 54);
}

TEST_F(Connection, UnansweredRequestTimesOutAndALateAnswerIsDropped) {
  CEmptyRequestMessage request(50, 51);
  EXPECT_EQ(object->SendBlockingRequest(request, 100), nullptr);
  const auto sent = client->ReadFrame();
  ASSERT_TRUE(sent);
  std::vector<uint8_t> stream = Frame(Response(51, CorrelationOf(*sent)));
  const auto marker = Frame(AsyncBody(60));
  stream.insert(stream.end(), marker.begin(), marker.end());
  ASSERT_TRUE(client->SendAll(stream));
  const auto handled = object->WaitMessages(1);
  ASSERT_EQ(handled.size(), 1u);
  EXPECT_EQ(MessageHeader::PeekMessageId(handled[0]), 60);
}

TEST_F(Connection, ClosingWakesAWaitingRequest) {
  CEmptyRequestMessage request(50, 51);
  auto answered = std::async(std::launch::async, [&] { return object->SendBlockingRequest(request, -1); });
  ASSERT_TRUE(client->ReadFrame());
  client->CloseNow();
  EXPECT_EQ(answered.get(), nullptr);
}

TEST_F(Connection, LibraryClientGetsItsAnswer) {
  // The library's own client end against the same server.
  auto mine = std::make_shared<RecordingObject>();
  CMessagingClient library(mine);
  ASSERT_TRUE(library.Connect("127.0.0.1", server->Port(), server->Identifier(), 9));
  auto peer = server->WaitObject(1);
  ASSERT_TRUE(peer);
  CEmptyRequestMessage ping(RecordingObject::kPing, RecordingObject::kPingAnswer);
  const MessageBufferPtr answer = mine->SendBlockingRequest(ping, kTestWaitMs);
  ASSERT_TRUE(answer);
  CEmptyResponseMessage read(RecordingObject::kPingAnswer, 0);
  ASSERT_TRUE(read.Read(*answer));
  EXPECT_EQ(read.GetCorrelationId(), ping.GetCorrelationId());
  library.Close();
  EXPECT_TRUE(peer->WaitDisconnected());
  EXPECT_TRUE(mine->WaitDisconnected());

  CMessagingClient wrongServer(std::make_shared<RecordingObject>());
  EXPECT_FALSE(wrongServer.Connect("127.0.0.1", server->Port(), RandomIdentifier(), 9));
}

TEST(ConnectionLimit, The62ndConnectionIsRefusedAndAFreedPlaceIsReused) {
  auto server = TestServer::Start();
  std::vector<std::unique_ptr<RawClient>> clients;
  for (size_t i = 0; i < CSocketIOThread::kMaxConnections; ++i) {
    clients.push_back(std::make_unique<RawClient>(server->Port()));
    ASSERT_TRUE(clients.back()->Register(static_cast<int32_t>(i)));
    ASSERT_TRUE(server->WaitObject(i)) << i;
  }
  // Every one of them is served: each gets its ping answered.
  for (auto& client : clients) {
    ASSERT_TRUE(client->SendAll(Frame(Request(RecordingObject::kPing, 77))));
    EXPECT_EQ(client->ReadFrame(), Response(RecordingObject::kPingAnswer, 77));
  }
  RawClient refused(server->Port());
  ASSERT_TRUE(refused.Register(99));
  EXPECT_TRUE(refused.WaitClosed());
  EXPECT_EQ(server->Objects().size(), CSocketIOThread::kMaxConnections);

  clients.front()->CloseNow();
  ASSERT_TRUE(server->Objects().front()->WaitDisconnected());
  RawClient next(server->Port());
  ASSERT_TRUE(next.Register(100));
  auto object = server->WaitObject(CSocketIOThread::kMaxConnections);
  ASSERT_TRUE(object);
  ASSERT_TRUE(next.SendAll(Frame(Request(RecordingObject::kPing, 78))));
  EXPECT_EQ(next.ReadFrame(), Response(RecordingObject::kPingAnswer, 78));
  server->Stop();
}

TEST(ServerRegistration, DuplicateIdentifierAnd51stServerAreRefused) {
  std::vector<std::shared_ptr<TestServer>> servers;
  for (size_t i = 0; i < CServerListeningThread::kMaxServers; ++i) servers.push_back(TestServer::Start());
  EXPECT_THROW(TestServer::Start(), CSocketLibException);
  servers.back()->Stop();
  servers.pop_back();
  EXPECT_THROW(TestServer::Start(false, servers.front()->Identifier()), CSocketLibException);
  servers.push_back(TestServer::Start());  // the freed place
  for (auto& server : servers) server->Stop();
}

TEST(ServerRegistration, ATakenPortMovesOnUnlessExact) {
  auto first = TestServer::Start();
  auto manager = CConnectionManager::Acquire();
  auto second = std::make_shared<TestServer>();
  EXPECT_THROW(manager->AddServer(second, false, first->Port(), "127.0.0.1", true, false), CSocketException);
  const uint16_t moved = manager->AddServer(second, false, first->Port(), "127.0.0.1", false, false);
  EXPECT_GT(moved, first->Port());
  manager->RemoveServer(*second);
  first->Stop();
}

TEST(ServerRegistration, TheLayerStartsAfreshOnceEveryUserHasGone) {
  for (int round = 0; round < 2; ++round) {
    auto server = TestServer::Start();
    RawClient client(server->Port());
    ASSERT_TRUE(client.Register(round));
    ASSERT_TRUE(client.SendAll(Frame(Request(RecordingObject::kPing, 5))));
    EXPECT_EQ(client.ReadFrame(), Response(RecordingObject::kPingAnswer, 5));
    server->Stop();
    EXPECT_TRUE(client.WaitClosed());
  }
}

}  // namespace
