#include <gtest/gtest.h>

#include "FakeReceiver.h"
#include "LogCapture.h"
#include "protocol/Frame.h"
#include "protocol/ReceiverProtocolHandler.h"

using ::testing::NiceMock;

namespace {

class SendQueueTest : public ::testing::Test {
 protected:
  uint32_t now = 100000;  // the clock, moved by hand
  NiceMock<FakeReceiver> receiver;
  CReceiverProtocolHandler handler{&receiver, [this] { return now; }};

  void Queue(const Bytes& packet, Delivery delivery) {
    ASSERT_TRUE(handler.QueuePacket(static_cast<int32_t>(packet.size()), packet.data(), delivery));
  }
  // What the I/O loop does until it would sleep, at the clock as it stands.
  void SendWhatIsDue() {
    for (int step = 0; step < 100 && handler.SendQueueSize() > 0 && handler.GetNextSendDelay() == 0; ++step)
      handler.SendNextPacket();
  }
};

// The wait after a LOGIN_OFF applies only to clicker addresses: two to the receiver go at once.
TEST_F(SendQueueTest, SendOncePacketsGoOutOnceInOrder) {
  Queue({0x00, 0x00, 0x2A}, Delivery::kOnce);
  Queue({0x00, 0x00, 0x09}, Delivery::kOnce);
  Queue({0x00, 0x00, 0x09}, Delivery::kOnce);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(handler.SendNextPacket(), 1);
  EXPECT_EQ(handler.SendNextPacket(), 0);
  EXPECT_EQ(
      receiver.Frames(),
      (std::vector<Bytes>{{0x01, 0x01, 0x03, 0x2A, 0x2A, 0x00}, Frame({0x00, 0x00, 0x09}), Frame({0x00, 0x00, 0x09})}));
  EXPECT_EQ(handler.GetNextSendDelay(), CReceiverProtocolHandler::kWaitForever);
}

TEST_F(SendQueueTest, RetryPacketIsSentSevenTimesMoreThan700msApartThenGivenUp) {
  LogCapture log;
  const Bytes first = {0x00, 0x00, 0x00};
  Queue(first, Delivery::kRetry);
  Queue({0x00, 0x00, 0x2A}, Delivery::kOnce);
  EXPECT_EQ(handler.GetNextSendDelay(), 0u);
  for (int attempt = 1; attempt <= 7; ++attempt) {
    ASSERT_EQ(handler.SendNextPacket(), 1) << attempt;
    // Not again until more than 700 ms have passed; the packet behind it waits.
    EXPECT_EQ(handler.GetNextSendDelay(), 701u);
    now += 700;
    EXPECT_EQ(handler.SendNextPacket(), 0);
    EXPECT_EQ(handler.GetNextSendDelay(), 1u);
    now += 1;
    EXPECT_EQ(handler.GetNextSendDelay(), 0u);
  }
  EXPECT_EQ(handler.SendNextPacket(), -1);
  EXPECT_EQ(handler.SendNextPacket(), 1);  // the next packet reaches the front
  const std::vector<Bytes> frames = receiver.Frames();
  ASSERT_EQ(frames.size(), 8u);
  for (int i = 0; i < 7; ++i) EXPECT_EQ(frames[i], Frame(first));
  EXPECT_EQ(frames[7], Frame({0x00, 0x00, 0x2A}));
  // Retransmissions of command 0x81 are not logged as attempts.
  Queue({0x00, 0x00, 0x81}, Delivery::kRetry);
  handler.SendNextPacket();
  now += 701;
  EXPECT_EQ(handler.SendNextPacket(), 1);
  EXPECT_EQ(log.Count("Giving up on trying to send packet."), 1u);
  EXPECT_EQ(log.Count("Attempt "), 6u);
  EXPECT_EQ(log.Count("Attempt 7 to send packet with command id 0x0."), 1u);
}

// Only a sent front packet with that command is removed. The receiver's I/O loop sleeps until
// the front packet's resend is due; the acknowledgement (taken by the dispatcher thread) wakes
// it for the packet behind, which would otherwise wait out the whole 700 ms.
TEST_F(SendQueueTest, AcknowledgementRemovesASentFrontWithThatCommandAndWakesTheSender) {
  Queue({0x00, 0x00, 0x06, 0x03}, Delivery::kRetry);
  Queue({0x00, 0x00, 0x04, 0x01}, Delivery::kRetry);
  EXPECT_FALSE(handler.RemoveAckedCommand(0x06));  // not sent yet
  handler.SendNextPacket();
  EXPECT_FALSE(handler.RemoveAckedCommand(0x05));
  while (handler.SendEvent().Wait(0)) {
  }
  EXPECT_EQ(handler.GetNextSendDelay(), 701u);
  ASSERT_TRUE(handler.RemoveAckedCommand(0x06));
  EXPECT_EQ(handler.SendQueueSize(), 1u);
  EXPECT_TRUE(handler.SendEvent().Wait(0));
  EXPECT_EQ(handler.GetNextSendDelay(), 0u);
  EXPECT_EQ(handler.SendNextPacket(), 1);
  EXPECT_EQ(receiver.Frames().back(), Frame({0x00, 0x00, 0x04, 0x01}));
  EXPECT_FALSE(handler.RemoveAckedCommand(0x06));
}

TEST_F(SendQueueTest, SecondLoginOffWithin400msWaitsBehindOtherPacketsAndThenGoesOut) {
  const Bytes logOff = {0x00, 0x07, 0x09};
  Queue(logOff, Delivery::kOnce);
  handler.SendNextPacket();  // the first LOGIN_OFF opens the wait
  Queue(logOff, Delivery::kOnce);
  Queue({0x00, 0x00, 0x2A}, Delivery::kOnce);
  // The held packet goes to the back; the other one is sendable at once.
  EXPECT_EQ(handler.GetNextSendDelay(), 0u);
  EXPECT_EQ(handler.SendNextPacket(), 0);
  EXPECT_EQ(handler.SendNextPacket(), 1);
  // Only held packets left: the loop may sleep until the wait has passed, not spin.
  now += 150;
  EXPECT_EQ(handler.GetNextSendDelay(), 251u);
  EXPECT_EQ(handler.SendNextPacket(), 0);
  now += 251;
  EXPECT_EQ(handler.GetNextSendDelay(), 0u);
  EXPECT_EQ(handler.SendNextPacket(), 1);
  EXPECT_EQ(receiver.Frames(), (std::vector<Bytes>{Frame(logOff), Frame({0x00, 0x00, 0x2A}), Frame(logOff)}));
}

TEST_F(SendQueueTest, AnAnswerFromTheClickerEndsTheAcknowledgementWait) {
  Queue({0x00, 0x07, 0x27, 0x01}, Delivery::kOnce);
  handler.SendNextPacket();
  Queue({0x00, 0x07, 0x27, 0x02}, Delivery::kOnce);
  EXPECT_GT(handler.GetNextSendDelay(), 0u);
  IncomingRecord answer;
  answer.command = 0x27;
  answer.address = 7;
  handler.DispatchIncoming(answer);
  EXPECT_EQ(handler.GetNextSendDelay(), 0u);
  EXPECT_EQ(handler.SendNextPacket(), 1);
}

// A timed sequence (the power-down: its pauses are queued between its packets) holds the packets
// queued after it, but not what a clicker waits for: the acknowledgement of its packet, the
// LOGIN_OFF answer and a login grant leave at once, in their order, ahead of the pauses; they
// still wait behind a packet ahead of the sequence that waits for its answer.
TEST_F(SendQueueTest, RepliesToClickersGoAheadOfQueuedPausesAndOtherPacketsWaitBehindThem) {
  const Bytes powerDown = {0x00, 0x00, 0x0E, 0x02};
  const Bytes stop = {0x00, 0x00, 0x04, 0x00};
  const Bytes later = {0x00, 0x00, 0x2A};
  Queue(powerDown, Delivery::kOnce);
  handler.QueuePause(2000);
  Queue(stop, Delivery::kOnce);
  handler.QueuePause(2000);
  EXPECT_EQ(handler.SendNextPacket(), 1);  // the power-down
  EXPECT_EQ(handler.SendNextPacket(), 0);  // its first pause starts
  Queue(later, Delivery::kOnce);
  while (handler.SendEvent().Wait(0)) {
  }
  now += 500;
  const Bytes answer = Frame({0x01, 0x02, 0x0B, 0x01, 0x41});
  handler.AddReceivedBytes(answer.data(), answer.size());  // acknowledged as it arrives
  IncomingRecord logOff;
  logOff.command = 0x09;
  logOff.address = 0x0102;
  handler.DispatchIncoming(logOff);
  handler.SendLoginGrant(0x0102, true, u"Ann");
  EXPECT_TRUE(handler.SendEvent().Wait(0));  // the I/O loop sleeping out the pause is woken
  EXPECT_EQ(handler.GetNextSendDelay(), 0u);
  while (handler.SendNextPacket() == 1) {
  }
  const Bytes grant = {0x01, 0x02, 0x08, 0x01, 'A', 'n', 'n'};
  EXPECT_EQ(receiver.Frames(),
            (std::vector<Bytes>{Frame(powerDown), Frame({0x00, 0x00, 0x8B}), Frame({0x01, 0x02, 0x89}), Frame(grant)}));
  // The pause still counts from its start: the stop after 2000 ms, the later packet 2000 ms after.
  EXPECT_EQ(handler.GetNextSendDelay(), 1500u);
  now += 1500;
  SendWhatIsDue();
  EXPECT_EQ(receiver.Frames().size(), 5u);
  EXPECT_EQ(receiver.Frames().back(), Frame(stop));
  now += 2000;
  SendWhatIsDue();
  EXPECT_EQ(receiver.Frames().size(), 6u);
  EXPECT_EQ(receiver.Frames().back(), Frame(later));

  // A retry packet ahead of the sequence, still waiting for its answer, holds a reply as it holds
  // any packet.
  const Bytes channel = {0x00, 0x00, 0x0D, 0x03};
  Queue(channel, Delivery::kRetry);
  handler.QueuePause(2000);
  EXPECT_EQ(handler.SendNextPacket(), 1);
  handler.AddReceivedBytes(answer.data(), answer.size());
  EXPECT_EQ(receiver.Frames().back(), Frame(channel));
  ASSERT_TRUE(handler.RemoveAckedCommand(0x0D));
  EXPECT_EQ(handler.SendNextPacket(), 1);
  EXPECT_EQ(receiver.Frames().back(), Frame({0x00, 0x00, 0x8B}));
}

// The network stop of a closing receiver is the last frame: what was queued is dropped, and what
// is queued after it is refused.
TEST_F(SendQueueTest, TheClosingNetworkStopIsSentAtOnceAndNothingAfterIt) {
  Queue({0x00, 0x00, 0x13}, Delivery::kRetry);
  EXPECT_EQ(handler.SendNextPacket(), 1);  // waits for an answer that never comes
  handler.QueuePause(2000);
  Queue({0x00, 0x00, 0x2A}, Delivery::kOnce);
  handler.SendClosingNetworkStop();
  EXPECT_EQ(receiver.Frames().back(), Frame({0x00, 0x00, 0x04, 0x00}));
  EXPECT_FALSE(handler.QueuePacket(3, Bytes{0x00, 0x05, 0x04}.data(), Delivery::kRetry));
  handler.SendLoginGrantReply(5);
  handler.QueuePause(10);
  EXPECT_EQ(handler.SendQueueSize(), 0u);
  now += 5000;
  EXPECT_EQ(handler.SendNextPacket(), 0);
  EXPECT_EQ(receiver.Frames().size(), 2u);
}

TEST_F(SendQueueTest, PacketWithALongerRunThanOneCodeByteCoversIsRefused) {
  LogCapture log;
  Bytes packet(259, 0x41);
  EXPECT_FALSE(handler.QueuePacket(static_cast<int32_t>(packet.size()), packet.data(), Delivery::kOnce));
  EXPECT_EQ(handler.SendQueueSize(), 0u);
  EXPECT_EQ(log.Count("/dev/ttyTEST - Packet refused: a run of "), 1u);
  for (size_t i = 0; i < packet.size(); i += 100) packet[i] = 0;  // the same length with zeros inside frames
  EXPECT_TRUE(handler.QueuePacket(static_cast<int32_t>(packet.size()), packet.data(), Delivery::kOnce));
  LogCapture tooLong;  // one byte more than a packet holds is refused whatever it holds
  packet.push_back(0);
  EXPECT_FALSE(handler.QueuePacket(static_cast<int32_t>(packet.size()), packet.data(), Delivery::kOnce));
  EXPECT_EQ(tooLong.Count("/dev/ttyTEST - Packet refused: 260 bytes, a receiver takes at most 259."), 1u);
}

}  // namespace
