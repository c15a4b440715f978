#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "FakeReceiver.h"
#include "LogCapture.h"
#include "protocol/Frame.h"
#include "protocol/JoinPayload.h"
#include "protocol/ReceiverProtocolHandler.h"

using ::testing::_;
using ::testing::ElementsAre;
using ::testing::Invoke;
using ::testing::StrictMock;

namespace {

class DispatchTest : public ::testing::Test {
 protected:
  StrictMock<FakeReceiver> receiver;
  CReceiverProtocolHandler handler{&receiver, [] { return 100000u; }};

  void Dispatch(uint8_t command, uint16_t address, const Bytes& payload) {
    IncomingRecord r;
    r.command = command;
    r.address = address;
    r.payloadLength = static_cast<int32_t>(payload.size());
    std::copy(payload.begin(), payload.end(), r.payload.begin());
    handler.DispatchIncoming(r);
  }

  // Puts a sent retry packet with this command at the queue front.
  void SendRetry(uint8_t command) {
    const uint8_t packet[3] = {0x00, 0x00, command};
    handler.QueuePacket(3, packet, Delivery::kRetry);
    handler.SendNextPacket();
  }

  // Whether the incoming packet acknowledges (removes) a sent packet with `sentCommand`.
  bool Acknowledges(uint8_t sentCommand, uint8_t command, const Bytes& payload) {
    SendRetry(sentCommand);
    Dispatch(command, 0, payload);
    const bool removed = handler.SendQueueSize() == 0;
    handler.RemoveAckedCommand(sentCommand);
    return removed;
  }
};

// (Transmit power, PAN id, class name, team and game-start reports are only logged, at the
// packet level.)
TEST_F(DispatchTest, ReportsReachTheirHandlersDecodedAndShortOnesAreDropped) {
  EXPECT_CALL(receiver, OnReceiverStatus(2));
  Dispatch(0x01, 0, {2});
  // DEVICE_STATUS too short for its kind does nothing.
  Dispatch(0x01, 0, {});
  Dispatch(0x01, 5, {0x01});
  EXPECT_CALL(receiver, OnLoginRequirement(0, true, false, true));
  Dispatch(0x06, 0, {0x05});
  EXPECT_CALL(receiver, OnChannel(0, 0x03));
  Dispatch(0x0D, 0, {0x13});
  EXPECT_CALL(receiver, OnDeviceDisassociated(5));
  Dispatch(0x15, 5, {});
  EXPECT_CALL(receiver, OnProductCode(1));
  Dispatch(0x2A, 0, {1});
  EXPECT_CALL(receiver, OnReceiverPrintf(0, Voxlet::StringBuffer(u"hi\u00FF")));
  Dispatch(0xFD, 0, {'h', 'i', 0xFF});
  // A join with a login but only its flag byte: no student id. (A join's MAC address with and
  // without a login and its student id, the network state, an answer's bytes, a login grant's
  // confirmation and a clicker's session end are pinned by the drop-in and lesson transcripts.)
  EXPECT_CALL(receiver, OnJoinLoginRequired(7, _, _, Voxlet::StringBuffer(), false));
  Dispatch(0x07, 7, {0, 0, 0, 0, 0, 0, 0, 0, 0x00});
  // Enhanced answers: a first packet without its whole six-byte header carries nothing.
  EXPECT_CALL(receiver, OnEnhancedAnswerUpload(5, 9, 3, 0, 4, _, 2));
  Dispatch(0x25, 5, {9, 3, 0, 4, 0, 0, 0xAA, 0xBB});
  EXPECT_CALL(receiver, OnEnhancedAnswerUpload(5, 9, 3, 1, 0, _, 1))
      .WillOnce(Invoke([](uint16_t, uint8_t, uint8_t, uint8_t, uint8_t, const uint8_t* data, uint32_t) {
        EXPECT_EQ(data[0], 0xCC);
      }));
  Dispatch(0x25, 5, {9, 3, 1, 0xCC});
  Dispatch(0x25, 5, {9, 3, 0, 4});
  // Scan results never read past their entries.
  EXPECT_CALL(receiver, OnScanResults(0x0003, 0x0002, _))
      .WillOnce(Invoke([](uint16_t, uint16_t, const ChannelScanResultsArray& results) {
        ASSERT_EQ(results->size(), 2u);
        EXPECT_EQ((*results)[0].m_panId, 0);
        EXPECT_EQ((*results)[0].m_energy, 40);
        EXPECT_EQ((*results)[1].m_panId, 0x1234);
        EXPECT_EQ((*results)[1].m_energy, 5);
      }));
  Dispatch(0x11, 0, {0x00, 0x03, 0x00, 0x02, 0x00, 0x00, 0x28, 0x12, 0x34, 0x05});
  // Sixteen channels scanned but one entry and a partial one: one entry handed on.
  EXPECT_CALL(receiver, OnScanResults(0xFFFF, 0, _))
      .WillOnce(
          Invoke([](uint16_t, uint16_t, const ChannelScanResultsArray& results) { EXPECT_EQ(results->size(), 1u); }));
  Dispatch(0x11, 0, {0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00});
  // No entries: nothing further.
  Dispatch(0x11, 0, {0xFF, 0xFF, 0x00, 0x00, 0x01});
}

TEST_F(DispatchTest, AnswersRemoveTheSentCommandTheyAnswer) {
  EXPECT_CALL(receiver, OnFirmwareInfo(_, _, _, _)).Times(1);
  EXPECT_TRUE(Acknowledges(0x00, 0x00, {1, 2, 3, 4, 5}));
  EXPECT_FALSE(Acknowledges(0x00, 0x00, {1, 2, 3, 4}));  // too short: nothing at all
  EXPECT_TRUE(Acknowledges(0x02, 0x02, {}));
  EXPECT_TRUE(Acknowledges(0x03, 0x03, {}));
  EXPECT_FALSE(Acknowledges(0x03, 0x03, {0x01}));
  EXPECT_TRUE(Acknowledges(0x05, 0x05, {}));
  EXPECT_TRUE(Acknowledges(0x06, 0x06, {}));
  EXPECT_TRUE(Acknowledges(0x0A, 0x0A, {}));
  EXPECT_TRUE(Acknowledges(0x0C, 0x0B, {}));  // an empty answer upload answers HAND_UP
  EXPECT_TRUE(Acknowledges(0x0C, 0x0C, {}));
  EXPECT_TRUE(Acknowledges(0x0C, 0x25, {}));
  EXPECT_TRUE(Acknowledges(0x17, 0x17, {0x01}));
  EXPECT_TRUE(Acknowledges(0x27, 0x27, {}));
  EXPECT_FALSE(Acknowledges(0x06, 0x05, {}));  // another command's answer removes nothing
}

// A login grant is answered, then handled; an empty network state from a clicker is answered
// with its address.
TEST_F(DispatchTest, EmptyNetworkStateAndLoginGrantFromAClickerAreAnswered) {
  EXPECT_CALL(receiver, OnLoginGrant(5, Voxlet::StringBuffer(u"Ann"), true, true));
  Dispatch(0x08, 5, {0x03, 'A', 'n', 'n'});
  Dispatch(0x04, 0x0102, {});
  ASSERT_EQ(handler.SendQueueSize(), 2u);
  handler.SendNextPacket();
  handler.SendNextPacket();
  EXPECT_EQ(receiver.Frames(),
            (std::vector<Bytes>{{0x01, 0x04, 0x05, 0x08, 0x0D, 0x00}, {0x05, 0x01, 0x02, 0x04, 0x07, 0x00}}));
}

// A LOGIN_OFF is answered with 0x89 before its handler queues anything. The session's threads
// take their own lock and then queue packets; the login-off handler takes the same lock. Were the
// handler run under the send lock, the two would deadlock: another thread must be able to queue
// while the handler runs.
TEST_F(DispatchTest, LoginOffIsAnsweredWith0x89FirstAndItsHandlerRunsWithoutTheSendLock) {
  EXPECT_CALL(receiver, OnLoginOff(5)).WillOnce(Invoke([&](uint16_t a) {
    auto other = std::async(std::launch::async, [&] { handler.SendLoginOff(a); });
    EXPECT_EQ(other.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  }));
  Dispatch(0x09, 5, {});
  EXPECT_EQ(handler.SendNextPacket(), 1);
  EXPECT_EQ(handler.SendNextPacket(), 1);
  EXPECT_EQ(receiver.Frames(),
            (std::vector<Bytes>{{0x01, 0x04, 0x05, 0x89, 0x8C, 0x00}, {0x01, 0x04, 0x05, 0x09, 0x0C, 0x00}}));
}

TEST(JoinPayloadTest, StudentIdNibblesMapToDigitsAndPunctuation) {
  const Bytes all = {0x21, 0x43, 0x65, 0x87, 0xA9, 0xCB, 0x0D};
  EXPECT_EQ(DecodeStudentId(all.data(), all.size()), u"-./0123456789");
  const Bytes terminated = {0x54, 0xE6, 0x77};
  EXPECT_EQ(DecodeStudentId(terminated.data(), terminated.size()), u"012");
  const Bytes many(12, 0x44);  // 24 characters' worth: cut at 16
  EXPECT_EQ(DecodeStudentId(many.data(), many.size()), Voxlet::StringBuffer(16, u'0'));
}

TEST_F(DispatchTest, NacksUnknownCommandsAndPropertyTypesAreLogged) {
  LogCapture log;
  EXPECT_CALL(receiver, OnProductCode(0));
  EXPECT_CALL(receiver, OnCommandNacked(0xFF)).Times(2);
  Dispatch(0xFF, 0, {0x2A});
  Dispatch(0xFF, 3, {0x05, 0x01});
  Dispatch(0x33, 0, {0x01, 0x02});
  Dispatch(0x16, 0, {0x80, 0, 0, 0x01, 0x00, 0x00, 0x02, 0x00, 0x03});
  Dispatch(0x16, 0, {0x07, 1});
  EXPECT_THAT(log.Lines(),
              ElementsAre("Command rejected: 0,ff,0x2a ", "Command rejected: 3,ff,0x5 0x1 ",
                          "Unknown command 0x33 - 2 bytes : 0x1 0x2 ",
                          "Receiver Buffer Statistics: highwater=256 bytes, overflow=2 messages, unacked=3 messages",
                          "Unhandled property query type=7, len=1"));
}

}  // namespace
