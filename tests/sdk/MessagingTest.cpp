// Connections of the messaging layer against a plain TCP peer: frames in and out, the frame
// size limit, what a connection holds for a frame being read and for a peer that does not
// read, blocking requests and their correlation ids, connection limits.
#include <gtest/gtest.h>

#include <atomic>
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

TEST_F(Connection, RegistrationIdReachesTheServer) { EXPECT_EQ(server->Registrations(), std::vector<int32_t>{5}); }

TEST_F(Connection, FrameSplitAcrossManySegmentsIsReassembled) {
  std::vector<uint8_t> data = Pattern(300, 1);
  const std::vector<uint8_t> frame = Frame(AsyncBody(40, data));
  const auto socket = object->GetSocket();
  const uint64_t before = socket->BytesReceived();
  for (size_t i = 0; i < frame.size(); ++i) {
    ASSERT_TRUE(client->SendAll({&frame[i], 1}));
    // Taken on its own before the next byte goes out.
    ASSERT_TRUE(WaitUntil([&] { return socket->BytesReceived() == before + i + 1; })) << i;
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

// A body of kind 1 whose whole length is `length`.
std::vector<uint8_t> AsyncBodyOfLength(int32_t id, size_t length, uint8_t seed) {
  return AsyncBody(id, Pattern(length - MessageHeader::kAsyncSize, seed));
}

TEST_F(Connection, MessagesLargerThan64KiBGoBothWays) {
  const std::vector<uint8_t> inbound = Pattern(300000, 3);
  ASSERT_TRUE(client->SendAll(Frame(AsyncBody(43, inbound))));
  const auto messages = object->WaitMessages(1);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], AsyncBody(43, inbound));

  // Out: a frame of the largest size, sent in several calls; a small message queued behind
  // it follows it intact.
  const std::vector<uint8_t> outbound = AsyncBodyOfLength(44, CMessagingSocket::kMaxFrameLength, 5);
  auto socket = object->GetSocket();
  ASSERT_TRUE(socket->SendBuffer(CMessageBuffer::FromBody(outbound)));
  ASSERT_TRUE(socket->SendBuffer(CMessageBuffer::FromBody(AsyncBody(45, {7}))));
  const auto big = client->ReadFrame();
  ASSERT_TRUE(big);
  EXPECT_EQ(*big, outbound);
  EXPECT_EQ(client->ReadFrame(), AsyncBody(45, {7}));
}

TEST_F(Connection, FramesUpTo1MiBAreTakenALongerOneDropsTheConnection) {
  ScopedDiagnostics diagnostics;
  ASSERT_EQ(CMessagingSocket::kMaxFrameLength, 1048576u);
  const std::vector<uint8_t> largest = AsyncBodyOfLength(46, CMessagingSocket::kMaxFrameLength, 9);
  ASSERT_TRUE(client->SendAll(Frame(largest)));
  ASSERT_EQ(object->WaitMessages(1).size(), 1u);
  EXPECT_EQ(object->Messages()[0], largest);

  // One byte more is refused as soon as its length is in, before any of its body.
  uint8_t prefix[4];
  Wire::PutU32(prefix, CMessagingSocket::kMaxFrameLength + 1);
  ASSERT_TRUE(client->SendAll(prefix));
  EXPECT_TRUE(object->WaitDisconnected());
  EXPECT_TRUE(client->WaitClosed());
  EXPECT_EQ(object->Messages().size(), 1u);
  EXPECT_EQ(diagnostics.CountContaining("frame of 1048577 bytes refused"), 1u);

  // And a frame we would send that long is not queued: the peer would refuse it.
  const auto tooLong = CMessageBuffer::FromBody(AsyncBodyOfLength(47, CMessagingSocket::kMaxFrameLength + 1, 1));
  EXPECT_FALSE(object->GetSocket()->SendBuffer(tooLong));
}

TEST_F(Connection, ReaderHoldsWhatArrivedNotWhatWasAnnounced) {
  const std::vector<uint8_t> frame = Frame(AsyncBodyOfLength(48, CMessagingSocket::kMaxFrameLength, 2));
  const auto socket = object->GetSocket();
  const uint64_t before = socket->BytesReceived();
  // Waits until the connection has taken the first `count` bytes of the frame.
  const auto sendUpTo = [&](size_t count) {
    const size_t sent = socket->BytesReceived() - before;
    return client->SendAll(std::span(frame).subspan(sent, count - sent)) &&
           WaitUntil([&] { return socket->BytesReceived() == before + count; });
  };

  // The length and 10 bytes of a 1 MiB body.
  ASSERT_TRUE(sendUpTo(14));
  EXPECT_LE(socket->ReadBufferCapacity(), 64u);
  // The buffer grows with what arrives, never to more than twice that.
  for (size_t count : {1000u, 70000u, 300000u}) {
    ASSERT_TRUE(sendUpTo(count));
    EXPECT_GE(socket->ReadBufferCapacity(), count);
    EXPECT_LE(socket->ReadBufferCapacity(), 2 * count) << count;
  }
  EXPECT_TRUE(object->Messages().empty());
  ASSERT_TRUE(sendUpTo(frame.size()));
  const auto messages = object->WaitMessages(1);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_TRUE(std::equal(messages[0].begin(), messages[0].end(), frame.begin() + 4, frame.end()));
  // Nothing is held once the frame is handed on.
  EXPECT_EQ(socket->ReadBufferCapacity(), 0u);
}

TEST_F(Connection, PeerThatStopsReadingIsDroppedOnceItsQueueIsFullOthersAreServed) {
  ScopedDiagnostics diagnostics;
  RawClient reader(server->Port());
  ASSERT_TRUE(reader.Register(6));
  const auto readerObject = server->WaitObject(1);
  ASSERT_TRUE(readerObject);

  // The fixture's client reads nothing. Frames of 256 KiB, until its connection refuses
  // them: the socket buffers take some, the queue at most kMaxQueuedBytes.
  const auto socket = object->GetSocket();
  const auto chunk = CMessageBuffer::FromBody(AsyncBodyOfLength(49, 256 * 1024, 3));
  constexpr size_t kBound = 64 * 1024 * 1024 / (256 * 1024);
  size_t queued = 0;
  while (queued < kBound && socket->SendBuffer(chunk)) {
    ++queued;
    EXPECT_LE(socket->QueuedBytes(), CMessagingSocket::kMaxQueuedBytes);
  }
  ASSERT_LT(queued, kBound);
  EXPECT_GT((queued + 1) * chunk->Frame().size(), CMessagingSocket::kMaxQueuedBytes);
  EXPECT_TRUE(object->WaitDisconnected());
  EXPECT_FALSE(socket->SendBuffer(chunk));
  EXPECT_EQ(socket->QueuedBytes(), 0u);
  EXPECT_TRUE(client->WaitClosed());
  EXPECT_EQ(diagnostics.CountContaining("does not read"), 1u);

  // The other connection is served all along.
  ASSERT_TRUE(reader.SendAll(Frame(Request(RecordingObject::kPing, 79))));
  EXPECT_EQ(reader.ReadFrame(), Response(RecordingObject::kPingAnswer, 79));
}

TEST_F(Connection, PeerSendingFasterThanItsMessagesAreHandledIsNotReadFurther) {
  const auto socket = object->GetSocket();
  // Small socket buffers, so that what the peer sends has to be read for it to go on.
  const int small = 65536;
  setsockopt(socket->Handle(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  setsockopt(client->Fd(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  const uint64_t before = socket->BytesReceived();
  object->Hold();

  // 10 MiB in frames of 256 KiB: more than the limit, a frame, one receive and the socket
  // buffers together.
  const std::vector<uint8_t> frame = Frame(AsyncBodyOfLength(50, 256 * 1024, 4));
  constexpr size_t kFrames = 40;
  std::atomic<bool> allSent{false};
  const int fd = client->Fd();
  JoiningThread sender(
      [&] {
        for (size_t i = 0; i < kFrames; ++i)
          if (!client->SendAll(frame)) return;
        allSent = true;
      },
      [fd] { shutdown(fd, SHUT_RDWR); });
  ASSERT_TRUE(WaitUntil([&] { return socket->ReadingPaused(); }));
  const uint64_t bound = CMessagingSocket::kMaxUnhandledBytes + CMessagingSocket::kMaxSendChunk + frame.size();
  EXPECT_FALSE(WaitUntil([&] { return allSent.load() || socket->BytesReceived() - before > bound; }, 500));
  EXPECT_LE(socket->BytesReceived() - before, bound);
  EXPECT_LE(socket->UnhandledBytes(), bound);

  // Once the handler catches up, the rest is read, in order.
  object->Release();
  ASSERT_TRUE(WaitUntil([&] { return allSent.load(); }));
  sender.Join();
  const auto messages = object->WaitMessages(kFrames);
  ASSERT_EQ(messages.size(), kFrames);
  for (const auto& message : messages) EXPECT_EQ(MessageHeader::PeekMessageId(message), 50);
  EXPECT_TRUE(WaitUntil([&] { return socket->UnhandledBytes() == 0; }));
}

TEST_F(Connection, PeerClosingTellsTheObjectAndLaterSendsFail) {
  client->CloseNow();
  ASSERT_TRUE(object->WaitDisconnected());
  EXPECT_FALSE(object->Send(CRegistrationMessage(1)));
  EXPECT_EQ(server->Registrations().size(), 1u);
}

TEST_F(Connection, ResponsesGoToTheirRequestOthersToTheHandler) {
  CEmptyRequestMessage request(50, 51);
  auto answered = std::async(std::launch::async, [&] { return object->SendBlockingRequest(request, kTestWaitMs); });
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
  auto answered = std::async(std::launch::async, [&] { return object->SendBlockingRequest(request, kTestWaitMs); });
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
  ScopedDiagnostics diagnostics;
  RawClient refused(server->Port());
  ASSERT_TRUE(refused.Register(99));
  EXPECT_TRUE(refused.WaitClosed());
  EXPECT_EQ(server->Objects().size(), CSocketIOThread::kMaxConnections);
  EXPECT_EQ(diagnostics.CountContaining("connection refused"), 1u);
  // The ones served still are.
  for (auto* client : {clients.front().get(), clients.back().get()}) {
    ASSERT_TRUE(client->SendAll(Frame(Request(RecordingObject::kPing, 76))));
    EXPECT_EQ(client->ReadFrame(), Response(RecordingObject::kPingAnswer, 76));
  }

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

TEST(ServerRegistration, AnIdentifierIsListenedForOnceAtATime) {
  auto first = TestServer::Start();
  EXPECT_THROW(TestServer::Start(false, first->Identifier()), CSocketLibException);
  first->Stop();
  auto again = TestServer::Start(false, first->Identifier());  // the identifier is free again
  EXPECT_NE(again->Port(), 0);
}

TEST(ServerRegistration, ATakenPortMovesOnUnlessExact) {
  auto first = TestServer::Start();
  const auto listen = [&](PortChoice choice) {
    return CServerListeningThread(
               RandomIdentifier(),
               {.port = first->Port(), .portChoice = choice, .noDelay = TcpNoDelay::kOff, .publish = false},
               [](const CRegistrationMessage&, std::shared_ptr<CMessagingSocket>) {})
        .Port();
  };
  EXPECT_THROW(listen(PortChoice::kExact), CSocketException);
  EXPECT_GT(listen(PortChoice::kNextFree), first->Port());
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
