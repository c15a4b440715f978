// The messaging layer against a plain TCP peer: frames in and out, the frame size limit, what a
// connection holds for a frame being read and for a peer that does not read, blocking requests
// and their correlation ids, connection limits, the registration handshake (what is dropped,
// what is logged, and that the server goes on listening) and multicast discovery.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "MessagingTestHelpers.h"
#include "sdk/Discovery.h"
#include "sdk/SdkMessages.h"

namespace {

// A server with one registered raw client and the server-side object of that client.
class Connection : public ::testing::Test {
 protected:
  void SetUp() override {
    server = TestServer::Start();
    client = std::make_unique<RawClient>(server->Port());
    ASSERT_TRUE(client->Register(5));
    object = server->WaitObject(0);
    ASSERT_TRUE(object);
    ASSERT_TRUE(object->WaitConnected());
    socket = object->GetSocket();
  }
  void TearDown() override {
    if (object) object->Release();
  }
  // Waits until the connection has taken `count` bytes since `before`.
  bool Taken(uint64_t before, uint64_t count) {
    return WaitUntil([&] { return socket->BytesReceived() == before + count; });
  }

  std::shared_ptr<TestServer> server;
  std::unique_ptr<RawClient> client;
  std::shared_ptr<RecordingObject> object;
  std::shared_ptr<CMessagingSocket> socket;
};

// A body of kind 1 whose whole length is `length`.
ByteVector AsyncBodyOfLength(int32_t id, size_t length, uint8_t seed) {
  ByteVector data(length - MessageHeader::kAsyncSize);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 31 + seed);
  return AsyncBody(id, data);
}

// Frames are cut from the stream however it comes: a byte at a time (each taken on its own),
// several in one segment, an empty one between them.
TEST_F(Connection, FramesAreCutFromTheStreamWhateverItsSegments) {
  const ByteVector first = AsyncBodyOfLength(40, 300, 1);
  const ByteVector frame = Frame(first);
  const uint64_t before = socket->BytesReceived();
  for (size_t i = 0; i < frame.size(); ++i) {
    ASSERT_TRUE(client->SendAll({&frame[i], 1}));
    ASSERT_TRUE(Taken(before, i + 1)) << i;
  }
  ByteVector stream = Frame(AsyncBody(41, {1}));
  for (const auto& body : {AsyncBody(42, {2, 2}), ByteVector{}}) {
    const ByteVector more = Frame(body);
    stream.insert(stream.end(), more.begin(), more.end());
  }
  ASSERT_TRUE(client->SendAll(stream));
  EXPECT_EQ(object->WaitMessages(4), (std::vector<ByteVector>{first, AsyncBody(41, {1}), AsyncBody(42, {2, 2}), {}}));
}

// Frames up to 1 MiB go both ways (outgoing ones in several sends, with a small one queued
// behind intact); a longer one is not queued, and an incoming one drops the connection as soon
// as its length is in.
TEST_F(Connection, FramesUpTo1MiBGoBothWaysALongerOneDropsTheConnection) {
  ScopedDiagnostics diagnostics;
  ASSERT_EQ(CMessagingSocket::kMaxFrameLength, 1048576u);
  const ByteVector largest = AsyncBodyOfLength(46, CMessagingSocket::kMaxFrameLength, 9);
  ASSERT_TRUE(client->SendAll(Frame(largest)));
  EXPECT_EQ(object->WaitMessages(1), std::vector<ByteVector>{largest});

  ASSERT_TRUE(socket->SendBuffer(CMessageBuffer::FromBody(largest)));
  ASSERT_TRUE(socket->SendBuffer(CMessageBuffer::FromBody(AsyncBody(45, {7}))));
  EXPECT_EQ(client->ReadFrame(), largest);
  EXPECT_EQ(client->ReadFrame(), AsyncBody(45, {7}));
  EXPECT_FALSE(
      socket->SendBuffer(CMessageBuffer::FromBody(AsyncBodyOfLength(47, CMessagingSocket::kMaxFrameLength + 1, 1))));

  uint8_t prefix[4];
  Wire::PutU32(prefix, CMessagingSocket::kMaxFrameLength + 1);
  ASSERT_TRUE(client->SendAll(prefix));
  EXPECT_TRUE(object->WaitDisconnected());
  EXPECT_TRUE(client->WaitClosed());
  EXPECT_EQ(object->Messages().size(), 1u);
  EXPECT_EQ(diagnostics.Count("frame of 1048577 bytes refused"), 1u);
}

TEST_F(Connection, ReaderHoldsWhatArrivedNotWhatWasAnnounced) {
  const ByteVector frame = Frame(AsyncBodyOfLength(48, CMessagingSocket::kMaxFrameLength, 2));
  const uint64_t before = socket->BytesReceived();
  const auto sendUpTo = [&](size_t count) {
    const size_t sent = socket->BytesReceived() - before;
    return client->SendAll(std::span(frame).subspan(sent, count - sent)) && Taken(before, count);
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
  EXPECT_EQ(socket->ReadBufferCapacity(), 0u);  // nothing is held once the frame is handed on
}

TEST_F(Connection, PeerThatStopsReadingIsDroppedOnceItsQueueIsFullOthersAreServed) {
  ScopedDiagnostics diagnostics;
  RawClient reader(server->Port());
  ASSERT_TRUE(reader.Register(6));
  ASSERT_TRUE(server->WaitObject(1));
  // The fixture's client reads nothing. Frames of 256 KiB, until its connection refuses
  // them: the socket buffers take some, the queue at most kMaxQueuedBytes.
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
  EXPECT_EQ(diagnostics.Count("does not read"), 1u);
  // The other connection is served all along.
  EXPECT_TRUE(Served(reader, 79));
}

TEST_F(Connection, PeerSendingFasterThanItsMessagesAreHandledIsNotReadFurther) {
  // Small socket buffers, so that what the peer sends has to be read for it to go on.
  const int small = 65536;
  Platform::SetReceiveBuffer(socket->Handle(), small);
  Platform::SetSendBuffer(client->Handle(), small);
  const uint64_t before = socket->BytesReceived();
  object->Hold();
  // 10 MiB in frames of 256 KiB: more than the limit, a frame, one receive and the socket
  // buffers together.
  const ByteVector frame = Frame(AsyncBodyOfLength(50, 256 * 1024, 4));
  constexpr size_t kFrames = 40;
  std::atomic<bool> allSent{false};
  std::jthread sender([&] {
    for (size_t i = 0; i < kFrames; ++i)
      if (!client->SendAll(frame)) return;
    allSent = true;
  });
  // Should the test end early, the socket is shut down before the join so that the send returns.
  const struct Unblock {
    Platform::SocketHandle socket;
    ~Unblock() { Platform::ShutdownSocket(socket); }
  } unblock{client->Handle()};
  ASSERT_TRUE(WaitUntil([&] { return socket->ReadingPaused(); }));
  const uint64_t bound = CMessagingSocket::kMaxUnhandledBytes + CMessagingSocket::kMaxSendChunk + frame.size();
  EXPECT_FALSE(WaitUntil([&] { return allSent.load() || socket->BytesReceived() - before > bound; }, 500));
  EXPECT_LE(socket->BytesReceived() - before, bound);
  EXPECT_LE(socket->UnhandledBytes(), bound);
  // Once the handler catches up, the rest is read, in order.
  object->Release();
  ASSERT_TRUE(WaitUntil([&] { return allSent.load(); }));
  sender.join();
  const auto messages = object->WaitMessages(kFrames);
  ASSERT_EQ(messages.size(), kFrames);
  for (const auto& message : messages) EXPECT_EQ(MessageHeader::PeekMessageId(message), 50);
  EXPECT_TRUE(WaitUntil([&] { return socket->UnhandledBytes() == 0; }));
}

// A response goes to its request only with its correlation id and message id; everything else
// goes to the handler, in order. An unanswered request times out and its late answer goes
// nowhere; a close wakes a request that waits.
TEST_F(Connection, ResponsesGoToTheirRequestOthersToTheHandler) {
  CEmptyRequestMessage request(50, 51);
  auto answered = std::async(std::launch::async, [&] { return object->SendBlockingRequest(request, kTestWaitMs); });
  const auto sent = client->ReadFrame();
  ASSERT_TRUE(sent);
  ASSERT_EQ(sent->size(), 9u);
  EXPECT_EQ(MessageHeader::PeekMessageId(*sent), 50);
  EXPECT_EQ((*sent)[4], 2);
  const uint32_t correlation = Wire::GetU32(sent->data() + 5);
  EXPECT_NE(correlation, 0u);
  ByteVector stream;
  for (const auto& body : {Response(51, correlation + 1),         // unmatched correlation id: dropped
                           Response(52, correlation),             // right id, wrong message: dropped
                           ByteVector{0, 0, 0},                   // short: to the handler
                           ByteVector{0, 0, 0, 51, 3, 1, 2, 3},   // a response cut short: to the handler
                           AsyncBody(53, {0, 0, 0, 9}),           // kind 1: to the handler
                           Request(54, correlation),              // kind 2: to the handler
                           Response(51, correlation, {0xAA})}) {  // the answer
    const auto frame = Frame(body);
    stream.insert(stream.end(), frame.begin(), frame.end());
  }
  ASSERT_TRUE(client->SendAll(stream));
  const MessageBufferPtr response = answered.get();
  ASSERT_TRUE(response);
  EXPECT_EQ(ByteVector(response->Body().begin(), response->Body().end()), Response(51, correlation, {0xAA}));
  // Frames are handled in order, so everything before the answer has been handled too.
  EXPECT_EQ(object->Messages(),
            (std::vector<ByteVector>{
                {0, 0, 0}, {0, 0, 0, 51, 3, 1, 2, 3}, AsyncBody(53, {0, 0, 0, 9}), Request(54, correlation)}));

  EXPECT_EQ(object->SendBlockingRequest(request, 100), nullptr);
  const auto late = client->ReadFrame();
  ASSERT_TRUE(late);
  stream = Frame(Response(51, Wire::GetU32(late->data() + 5)));
  const auto marker = Frame(AsyncBody(60));
  stream.insert(stream.end(), marker.begin(), marker.end());
  ASSERT_TRUE(client->SendAll(stream));
  const auto handled = object->WaitMessages(5);
  ASSERT_EQ(handled.size(), 5u);
  EXPECT_EQ(handled[4], AsyncBody(60));

  auto waiting = std::async(std::launch::async, [&] { return object->SendBlockingRequest(request, kTestWaitMs); });
  ASSERT_TRUE(client->ReadFrame());
  client->Close();
  EXPECT_EQ(waiting.get(), nullptr);
  ASSERT_TRUE(object->WaitDisconnected());
  EXPECT_FALSE(object->Send(CRegistrationMessage(1)));
}

TEST(ConnectionLimit, The62ndConnectionIsRefusedAndAFreedPlaceIsReused) {
  auto server = TestServer::Start();
  std::vector<std::unique_ptr<RawClient>> clients;
  for (size_t i = 0; i < CSocketIOThread::kMaxConnections; ++i) {
    clients.push_back(std::make_unique<RawClient>(server->Port()));
    ASSERT_TRUE(clients.back()->Register(static_cast<int32_t>(i)));
    ASSERT_TRUE(server->WaitObject(i)) << i;
  }
  for (auto& client : clients) EXPECT_TRUE(Served(*client, 77));
  ScopedDiagnostics diagnostics;
  RawClient refused(server->Port());
  ASSERT_TRUE(refused.Register(99));
  EXPECT_TRUE(refused.WaitClosed());
  EXPECT_EQ(server->Objects().size(), CSocketIOThread::kMaxConnections);
  EXPECT_EQ(diagnostics.Count("connection refused"), 1u);
  EXPECT_TRUE(Served(*clients.front(), 76));  // the ones served still are
  EXPECT_TRUE(Served(*clients.back(), 76));

  clients.front()->Close();
  ASSERT_TRUE(server->Objects().front()->WaitDisconnected());
  RawClient next(server->Port());
  ASSERT_TRUE(next.Register(100));
  ASSERT_TRUE(server->WaitObject(CSocketIOThread::kMaxConnections));
  EXPECT_TRUE(Served(next, 78));
}

// Stopping does not wait for a handshake in progress.
TEST(ServerRegistration, StoppingAbortsAHandshakeInProgress) {
  auto server = TestServer::Start();
  RawClient client(server->Port()), silent(server->Port());
  ASSERT_TRUE(client.Register(1));
  EXPECT_TRUE(Served(client, 5));
  ASSERT_TRUE(silent.Read(16));
  server->Stop();  // without waiting for the silent client's registration
  EXPECT_TRUE(silent.WaitClosed(CServerListeningThread::kHandshakeTimeoutMs / 2));
  EXPECT_TRUE(client.WaitClosed());
}

// Frames that are not a registration (prefix 10, message id 2, kind 2) are dropped without a
// word; a client that sends nothing, or half a registration, after the time limit; one that
// leaves before registering at once. A proper client gets through while the others wait.
TEST(Handshake, BadAndMissingRegistrationsAreDroppedAndTheServerGoesOn) {
  ScopedDiagnostics diagnostics;
  auto server = TestServer::Start();
  for (size_t at : {3, 7, 8}) {
    ByteVector frame = Bytes(CRegistrationMessage(1));
    ++frame[at];
    RawClient client(server->Port());
    ASSERT_TRUE(client.Read(16));
    ASSERT_TRUE(client.SendAll(frame));
    EXPECT_TRUE(client.WaitClosed());
  }
  EXPECT_EQ(diagnostics.Count("CServerListeningThread::OnNewConnection"), 0u);
  RawClient silent(server->Port()), halfway(server->Port());
  ASSERT_TRUE(halfway.Read(16));
  ASSERT_TRUE(halfway.SendAll(std::span<const uint8_t>(Bytes(CRegistrationMessage(1))).first(6)));
  ASSERT_TRUE(RawClient(server->Port()).Read(16));  // and leaves
  RawClient client(server->Port());
  ASSERT_TRUE(client.Register(1));
  ASSERT_TRUE(server->WaitObject(0));
  EXPECT_TRUE(Served(client, 3));
  EXPECT_TRUE(silent.WaitClosed(2 * CServerListeningThread::kHandshakeTimeoutMs));
  EXPECT_TRUE(halfway.WaitClosed(2 * CServerListeningThread::kHandshakeTimeoutMs));
  // One line each for the one that left and the two that ran out of time.
  EXPECT_TRUE(
      diagnostics.WaitForCount("CServerListeningThread::OnNewConnection: Error reading registration message.", 3));
  EXPECT_EQ(server->Objects().size(), 1u);
}

// The layouts (what is read back from them: DiscoveryAnswers).
TEST(DiscoveryFormat, QueryAndAnnouncementLayouts) {
  ServerIdentifier id;
  for (size_t i = 0; i < id.size(); ++i) id[i] = static_cast<uint8_t>(i + 1);
  const auto query = Discovery::EncodeQuery(id);
  EXPECT_EQ(ByteVector(query.begin(), query.begin() + 5), (ByteVector{0, 0, 0, 100, 1}));
  const auto announcement = Discovery::EncodeAnnouncement(id, 0xABCD);
  EXPECT_EQ(ByteVector(announcement.begin() + 3, announcement.begin() + 5), (ByteVector{101, 1}));
  EXPECT_EQ(ByteVector(announcement.begin() + 20, announcement.end()), (ByteVector{0xAB, 0xCD}));
  // A query with another code is no query (one too long: DiscoveryAnswers).
  ByteVector otherCode(query.begin(), query.end());
  otherCode[3] = 101;
  EXPECT_FALSE(Discovery::DecodeQuery(otherCode));
}

// Sends a datagram, then a query for a fresh published server (whose own announcement has
// been heard). True when an announcement for `id` came before the fresh server's answer. Each
// server answers on its own thread: an answer to the datagram would come first all but
// always, as the datagram went first, and never makes the fence's answer fail to come.
bool AnsweredBeforeFence(CDiscoveryClient& finder, std::span<const uint8_t> datagram, const ServerIdentifier& id) {
  auto fence = TestServer::Start(true);
  EXPECT_EQ(finder.WaitAnnouncement(fence->Identifier(), kTestWaitMs), fence->Port());
  EXPECT_TRUE(finder.SendDatagram(datagram));
  EXPECT_TRUE(finder.SendQuery(fence->Identifier()));
  for (bool answered = false;;) {
    auto announcement = finder.WaitAnyAnnouncement(kTestWaitMs);
    if (!announcement) ADD_FAILURE() << "the fence's answer never came";
    if (!announcement || announcement->identifier == fence->Identifier()) return answered;
    answered = answered || announcement->identifier == id;
  }
}

// A published server announces itself when it starts and answers queries for it (the fence's);
// a query one byte too long, for a server nobody runs and for one that has gone are not answered.
TEST(DiscoveryAnswers, OnlyWellFormedQueriesForARunningServerAreAnswered) {
  CDiscoveryClient finder;  // before the servers, to hear their announcements
  auto a = TestServer::Start(true);
  ASSERT_EQ(finder.WaitAnnouncement(a->Identifier(), kTestWaitMs), a->Port());
  const auto query = Discovery::EncodeQuery(a->Identifier());
  ByteVector longer(query.begin(), query.end());
  longer.push_back(0);
  EXPECT_FALSE(AnsweredBeforeFence(finder, longer, a->Identifier()));
  const ServerIdentifier unknown = RandomIdentifier();
  EXPECT_FALSE(AnsweredBeforeFence(finder, Discovery::EncodeQuery(unknown), unknown));
  a->Stop();
  EXPECT_FALSE(AnsweredBeforeFence(finder, query, a->Identifier()));
}

}  // namespace
