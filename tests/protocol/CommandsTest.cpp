#include <gtest/gtest.h>

#include <functional>

#include "FakeReceiver.h"
#include "Unframe.h"
#include "protocol/CommandText.h"
#include "protocol/ReceiverProtocolHandler.h"

using ::testing::NiceMock;

namespace {

struct Sent {
  Bytes packet;
  bool retry;
};

class CommandsTest : public ::testing::Test {
 protected:
  NiceMock<FakeReceiver> receiver;
  CReceiverProtocolHandler handler{&receiver, [] { return 100000u; }};

  // Runs one builder and answers the packet it queued and whether it is retried.
  Sent Build(const std::function<void()>& builder) {
    builder();
    EXPECT_EQ(handler.SendQueueSize(), 1u);
    EXPECT_EQ(handler.SendNextPacket(), 1);
    const bool retry = handler.SendQueueSize() == 1;  // a retried packet stays until answered
    const auto frames = receiver.Frames();
    Sent sent{UnframeAll(frames.back()).at(0), retry};
    if (retry) {
      EXPECT_TRUE(handler.RemoveAckedCommand(sent.packet[2]));
    }
    return sent;
  }
};

TEST_F(CommandsTest, ReceiverQueriesAndSettings) {
  struct Case {
    std::function<void()> build;
    Bytes packet;
    bool retry;
  };
  CReceiverProtocolHandler& h = handler;
  const std::vector<Case> cases = {
      {[&] { h.QueryFirmwareInfo(); }, {0x00, 0x00, 0x00}, true},
      {[&] { h.SetNetworkState(NetworkState::kStart, Delivery::kRetry); }, {0x00, 0x00, 0x04, 0x01}, true},
      {[&] { h.SetNetworkState(NetworkState::kStop, Delivery::kOnce); }, {0x00, 0x00, 0x04, 0x00}, false},
      {[&] { h.ReplyNetworkState(0x1234); }, {0x12, 0x34, 0x04}, true},
      {[&] { h.SetLoginRequirement({.loginRequired = true, .teamTrigger = true}); }, {0x00, 0x00, 0x06, 0x05}, true},
      {[&] { h.SetLoginRequirement({.loginTrigger = true}); }, {0x00, 0x00, 0x06, 0x02}, true},
      {[&] { h.QueryLoginRequirement(); }, {0x00, 0x00, 0x06}, true},
      {[&] { h.SendLoginGrantReply(0x0102); }, {0x01, 0x02, 0x08}, false},
      {[&] { h.SendLoginOff(0x0102); }, {0x01, 0x02, 0x09}, false},
      {[&] { h.SendHandUpReply(0x0102); }, {0x01, 0x02, 0x0C, 0x01}, true},
      {[&] { h.SetChannel(17); }, {0x00, 0x00, 0x0D, 0x01}, true},
      {[&] { h.SetChannel(15); }, {0x00, 0x00, 0x0D, 0x0F}, true},
      {[&] { h.SendSessionEnd(0, SessionEndMode::kPowerDown, Delivery::kOnce); }, {0x00, 0x00, 0x0E, 0x02}, false},
      {[&] { h.SendSessionEnd(0x0203, static_cast<SessionEndMode>(7), Delivery::kRetry); },
       {0x02, 0x03, 0x0E, 0x03},
       true},
      {[&] { h.QueryScanResults(0x8001); }, {0x00, 0x00, 0x11, 0x80, 0x01}, false},
      {[&] { h.QueryMacAddress(); }, {0x00, 0x00, 0x16, 0x00}, true},
      {[&] { h.StartBackgroundScan(0x7FFF, 20, 255); }, {0x00, 0x00, 0x17, 0x7F, 0xFF, 14, 255}, false},
      {[&] { h.StartBackgroundScan(0x0001, 14, 15); }, {0x00, 0x00, 0x17, 0x00, 0x01, 14, 14}, false},
      {[&] { h.StartBackgroundScan(0x0001, 5, 254); }, {0x00, 0x00, 0x17, 0x00, 0x01, 5, 14}, false},
      {[&] { h.QueryProductCode(); }, {0x00, 0x00, 0x2A}, false},
      // A class name carries eight bytes, padded with zeros.
      {[&] { h.SetClassName("Room 12"); }, {0x00, 0x00, 0x05, 'R', 'o', 'o', 'm', ' ', '1', '2', 0x00}, true},
      {[&] { h.SetClassName("Chemistry1"); }, {0x00, 0x00, 0x05, 'C', 'h', 'e', 'm', 'i', 's', 't', 'r'}, true},
      {[&] { h.SetClassName(""); }, {0x00, 0x00, 0x05, 0, 0, 0, 0, 0, 0, 0, 0}, true},
      // A login grant's name in Latin-1, '?' for what it lacks, ending at its terminator.
      {[&] { h.SendLoginGrant(5, true, u"Zo\u00EB \u0141uk"); },
       {0x00, 0x05, 0x08, 0x01, 'Z', 'o', 0xEB, ' ', 0x3F, 'u', 'k'},
       false},
      {[&] { h.SendLoginGrant(5, true, Voxlet::StringBuffer(u"ab\0cd", 5)); },
       {0x00, 0x05, 0x08, 0x01, 'a', 'b'},
       false},
      // A name of exactly 26 takes a '_' after it; names are cut at 32.
      {[&] { h.SendLoginGrant(5, true, Voxlet::StringBuffer(26, u'a')); }, Join({{0, 5, 8, 1}, Bytes(26, 'a'), {'_'}}),
       false},
      {[&] { h.SendLoginGrant(5, false, Voxlet::StringBuffer(40, u'b')); }, Join({{0, 5, 8, 0}, Bytes(32, 'b')}),
       false},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const Sent sent = Build(cases[i].build);
    EXPECT_EQ(sent.packet, cases[i].packet) << "case " << i;
    EXPECT_EQ(sent.retry, cases[i].retry) << "case " << i;
  }
}

TEST(CommandTextTest, FieldsAreHexBytesBadOnesFFEmptyOnesZero) {
  EXPECT_EQ(ParseCommandText("0,0,a,1,2,3,4"), (Bytes{0x00, 0x00, 0x0A, 0x01, 0x02, 0x03, 0x04}));
  EXPECT_EQ(ParseCommandText("1,zz,3"), (Bytes{0x01, 0xFF, 0x03}));
  EXPECT_EQ(ParseCommandText("0x12, 0X1f,1ff"), (Bytes{0x12, 0x1F, 0xFF}));
  EXPECT_EQ(ParseCommandText("1,,3,"), (Bytes{0x01, 0x00, 0x03, 0x00}));
  EXPECT_EQ(ParseCommandText("27"), (Bytes{0x27}));
  EXPECT_EQ(ParseCommandText(""), (Bytes{0x00}));
}

}  // namespace
