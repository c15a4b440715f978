#include <gtest/gtest.h>

#include <thread>

#include "FakeReceiver.h"
#include "LogCapture.h"
#include "protocol/Frame.h"
#include "protocol/ReceiverProtocolHandler.h"

using ::testing::InSequence;
using ::testing::Invoke;
using ::testing::NiceMock;
using ::testing::StrictMock;

namespace {

class ReceiveTest : public ::testing::Test {
 protected:
  NiceMock<FakeReceiver> receiver;
  CReceiverProtocolHandler handler{&receiver, [] { return 100000u; }};

  void Feed(const Bytes& bytes) { handler.AddReceivedBytes(bytes.data(), bytes.size()); }
};

// Frames are decoded when their delimiter arrives, however the reads cut them: two in one read,
// one byte per read, a frame's tail joined with the next frame's head.
TEST_F(ReceiveTest, FramesAreDecodedWhenTheirDelimiterArrivesHoweverTheReadsCutThem) {
  const Bytes packet = {0x12, 0x34, 0x0C, 0x01};
  const Bytes f = Frame(packet);
  Feed(Join({Frame({0x00, 0x00, 0x01, 0x02}), Frame({0x00, 0x00, 0x2A, 0x01})}));
  for (uint8_t b : f) Feed({b});
  Feed(Bytes(f.begin(), f.begin() + 3));
  Feed(Join({Bytes(f.begin() + 3, f.end()), Bytes(f.begin(), f.begin() + 2)}));
  Feed(Bytes(f.begin() + 2, f.end()));
  const auto records = handler.TakeIncoming();
  ASSERT_EQ(records.size(), 5u);
  EXPECT_EQ(records[0].command, 0x01);
  EXPECT_EQ(records[0].payloadLength, 1);
  EXPECT_EQ(records[0].payload[0], 0x02);
  EXPECT_EQ(records[1].command, 0x2A);
  for (size_t i = 2; i < 5; ++i) {
    EXPECT_EQ(records[i].address, 0x1234);
    EXPECT_EQ(records[i].command, 0x0C);
  }
}

// A bad frame is dropped unanswered and reported by both the decoder's message and the
// packet's; a frame too short for an id does not show the id of the frame before.
TEST_F(ReceiveTest, BadFramesAreDroppedUnansweredAndReportedByBothMessages) {
  Feed(Frame({0x00, 0x00, 0x55, 0x01}));
  ASSERT_EQ(handler.TakeIncoming().size(), 1u);
  Bytes badChecksum = Frame({0x00, 0x05, 0x0C, 0x01});
  badChecksum[4] ^= 0x10;
  const struct {
    Bytes bytes;
    std::string first;
  } cases[] = {
      {badChecksum,
       "/dev/ttyTEST - Bad checksum on packet (id:0xc, cs:0x8, len:0x7, calc cs:0x18, data:0x0 0x5 0xc 0x11 0x8 0x0 "
       ")."},
      {{0x02, 0x07, 0x00},
       "/dev/ttyTEST - Bad checksum on packet (id:0x0, cs:0x7, len:0x3, calc cs:0x0, data:0x7 0x0 )."},
      {{0x05, 0x00}, "/dev/ttyTEST - Packet too short, len=2, data=0x5 0x0 ."},
  };
  for (const auto& c : cases) {
    LogCapture log;
    Feed(c.bytes);
    EXPECT_TRUE(handler.TakeIncoming().empty());
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{c.first, "/dev/ttyTEST - Bad packet, too short len=0, data=."}));
  }
  EXPECT_TRUE(receiver.Frames().empty());
}

TEST_F(ReceiveTest, ClickerPacketsAreAcknowledgedAtOnceReceiverPacketsAndNacksAreNot) {
  Feed(Frame({0x00, 0x00, 0x01, 0x02}));  // from the receiver
  Feed(Frame({0x00, 0x05, 0xFF}));        // a NACK from a clicker
  EXPECT_TRUE(receiver.Frames().empty());
  Feed(Frame({0x00, 0x05, 0x0C, 0x01}));  // a raised hand
  EXPECT_EQ(receiver.Frames(), (std::vector<Bytes>{Frame({0x00, 0x00, 0x8C})}));
  EXPECT_EQ(handler.TakeIncoming().size(), 3u);
}

TEST_F(ReceiveTest, PayloadOver256BytesIsDroppedWithALogLineAndNotAcknowledged) {
  LogCapture log;
  Bytes packet = {0x00, 0x05, 0x25};
  packet.resize(3 + 257, 0x00);  // zeros keep every run short
  Feed(Frame(packet));
  EXPECT_TRUE(handler.TakeIncoming().empty());
  EXPECT_TRUE(receiver.Frames().empty());
  EXPECT_EQ(log.Count("/dev/ttyTEST - Packet too long, len=260"), 1u);
  packet.resize(3 + 256);
  Feed(Frame(packet));
  EXPECT_EQ(handler.TakeIncoming().size(), 1u);
}

TEST_F(ReceiveTest, DispatcherThreadRunsHandlersInArrivalOrder) {
  StrictMock<FakeReceiver> strict;
  CReceiverProtocolHandler threaded(&strict);
  CWaitEvent done;
  {
    InSequence order;
    EXPECT_CALL(strict, OnReceiverStatus(2));
    EXPECT_CALL(strict, OnProductCode(1));
    EXPECT_CALL(strict, OnHandUp(5, true)).WillOnce(Invoke([&](uint16_t, bool) { done.Set(); }));
  }
  ASSERT_TRUE(threaded.Start());
  const Bytes stream =
      Join({Frame({0x00, 0x00, 0x01, 0x02}), Frame({0x00, 0x00, 0x2A, 0x01}), Frame({0x00, 0x05, 0x0C, 0x01})});
  threaded.AddReceivedBytes(stream.data(), stream.size());
  EXPECT_TRUE(done.Wait(10000));
  threaded.Stop();
}

// After a restart every clicker joins at once, and the dispatcher pauses after each join. An
// answer acknowledged meanwhile is not kept anywhere until it is handed over: an answer of a
// clicker with nothing of its own before it goes during the pause, ahead of the other joins; one
// behind its own clicker's join stays behind it.
TEST_F(ReceiveTest, AnAnswerGoesDuringAJoinsPauseUnlessItsOwnClickersRecordIsBeforeIt) {
  StrictMock<FakeReceiver> strict;
  CReceiverProtocolHandler threaded(&strict);
  CWaitEvent done;
  const auto join = [](uint8_t address) { return Frame({0x01, address, 0x07, 0, 1, 2, 3, 4, 5, 6, 7}); };
  const auto answer = [](uint8_t address) { return Frame({0x01, address, 0x0B, 1, 0x01, 0, 0, 0, 0}); };
  {
    InSequence order;
    EXPECT_CALL(strict, OnJoinNoLoginRequired(0x0101, ::testing::_, ::testing::_));
    EXPECT_CALL(strict, OnAnswerUpload(0x0105, 1, ::testing::_));
    EXPECT_CALL(strict, OnJoinNoLoginRequired(0x0102, ::testing::_, ::testing::_));
    EXPECT_CALL(strict, OnAnswerUpload(0x0102, 1, ::testing::_));
    EXPECT_CALL(strict, OnJoinNoLoginRequired(0x0103, ::testing::_, ::testing::_))
        .WillOnce(Invoke([&](uint16_t, uint32_t, uint32_t) { done.Set(); }));
  }
  ASSERT_TRUE(threaded.Start());
  const Bytes stream = Join({join(0x01), join(0x02), join(0x03), answer(0x05), answer(0x02)});
  threaded.AddReceivedBytes(stream.data(), stream.size());
  EXPECT_TRUE(done.Wait(10000));
  threaded.Stop();
}

// Every record was acknowledged to its clicker when it came in: a dispatcher told to stop while
// records wait (the receiver closes in a burst of answers) hands them all over before it ends.
TEST_F(ReceiveTest, AStoppingDispatcherHandsOverEveryRecordItHolds) {
  NiceMock<FakeReceiver> sink;
  CReceiverProtocolHandler threaded(&sink);
  CWaitEvent firstTaken;
  CWaitEvent goOn;
  std::vector<uint8_t> answered;
  EXPECT_CALL(sink, OnAnswerUpload(::testing::_, ::testing::_, ::testing::_))
      .WillRepeatedly(Invoke([&](uint16_t, uint8_t question, const std::vector<uint8_t>&) {
        answered.push_back(question);
        if (answered.size() == 1) {
          firstTaken.Set();
          goOn.Wait(10000);
        }
      }));
  ASSERT_TRUE(threaded.Start());
  const auto answer = [&](uint8_t question) {
    const Bytes frame = Frame({0x01, 0x05, 0x0B, question, 0x01, 0, 0, 0, 0});
    threaded.AddReceivedBytes(frame.data(), frame.size());
  };
  answer(1);
  ASSERT_TRUE(firstTaken.Wait(10000));
  for (uint8_t question = 2; question <= 20; ++question) answer(question);
  std::thread stopper([&] { threaded.Stop(); });
  // The stop is asked for while the dispatcher is still in the first handler.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  goOn.Set();
  stopper.join();
  ASSERT_EQ(answered.size(), 20u);
  for (size_t i = 0; i < answered.size(); ++i) EXPECT_EQ(answered[i], i + 1);
}

// Joins can come faster than the dispatcher's pause after each: the waiting queue is bounded,
// and what does not fit is left unanswered (the clicker sends it again), never acknowledged
// and then dropped.
TEST_F(ReceiveTest, AFullIncomingQueueLeavesPacketsUnansweredInsteadOfGrowing) {
  LogCapture log;
  const size_t cap = CReceiverProtocolHandler::kMaxIncoming;
  for (size_t i = 0; i < cap + 5; ++i)
    Feed(Frame({0x01, static_cast<uint8_t>(i % 200 + 1), 0x07, 0, 1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(receiver.Frames().size(), cap);  // one acknowledgement per record kept
  EXPECT_EQ(log.Count("/dev/ttyTEST - Incoming queue full (512 packets)"), 1u);
  EXPECT_EQ(handler.TakeIncoming().size(), cap);
  Feed(Frame({0x01, 0x09, 0x07, 0, 1, 2, 3, 4, 5, 6, 7}));  // room again: answered and kept
  EXPECT_EQ(receiver.Frames().size(), cap + 1);
  EXPECT_EQ(handler.TakeIncoming().size(), 1u);
}

// The receiver never sends its own reports again, so a queue full of clicker packets still takes
// them; only a receiver flooding its own reports far past that meets a bound of their own.
TEST_F(ReceiveTest, TheReceiversOwnReportsAreKeptPastTheClickersBound) {
  LogCapture log;
  const size_t cap = CReceiverProtocolHandler::kMaxIncoming;
  for (size_t i = 0; i < cap; ++i) Feed(Frame({0x01, static_cast<uint8_t>(i % 200 + 1), 0x0C, 0x01}));
  Feed(Frame({0x01, 0x05, 0x0C, 0x01}));                                      // a clicker's: left unanswered
  Feed(Frame({0x00, 0x00, 0x01, 0x01}));                                      // the receiver's status
  Feed(Frame({0x00, 0x00, 0x11, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x20}));  // its scan results
  EXPECT_EQ(receiver.Frames().size(), cap);
  std::deque<IncomingRecord> records = handler.TakeIncoming();
  ASSERT_EQ(records.size(), cap + 2);
  EXPECT_EQ(records[cap].address, 0);
  EXPECT_EQ(records[cap].command, 0x01);
  EXPECT_EQ(records[cap + 1].command, 0x11);
  EXPECT_EQ(log.Count("/dev/ttyTEST - Incoming queue full (512 packets); packets are left unanswered"), 1u);

  LogCapture flood;
  const size_t reportCap = CReceiverProtocolHandler::kMaxIncomingReports;
  const Bytes status = Frame({0x00, 0x00, 0x01, 0x02});
  Bytes stream;
  for (size_t i = 0; i < reportCap + 3; ++i) stream.insert(stream.end(), status.begin(), status.end());
  Feed(stream);
  EXPECT_EQ(handler.TakeIncoming().size(), reportCap);
  EXPECT_EQ(flood.Count("/dev/ttyTEST - Incoming queue full (8192 packets); the receiver's own reports are dropped"),
            1u);
}

}  // namespace
