#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "connections/DetectionProbes.h"
#include "connections/HidReportDescriptor.h"
#include "connections/SBConnection.h"
#include "connections/SBIOPacket.h"
#include "connections/ThreadedHIDPort.h"
#include "connections/ThreadedProlificPort.h"
#include "connections/TtyLine.h"
#include "connections/TwoThreadIOQueue.h"

using Bytes = std::vector<uint8_t>;

TEST(SBIOPacketTest, NotRawStoresALeadingZeroAndThePayloadSkipsIt) {
  const Bytes bytes = {0x11, 0x22};
  CSBIOPacket notRaw(bytes.data(), 2, false);
  EXPECT_EQ(notRaw.StoredLength(), 3u);
  EXPECT_EQ(notRaw.Data()[0], 0);
  EXPECT_EQ(notRaw.PayloadLength(), 2u);
  EXPECT_EQ(Bytes(notRaw.Payload(), notRaw.Payload() + 2), bytes);
  CSBIOPacket raw(bytes.data(), 2, true);
  EXPECT_EQ(raw.StoredLength(), 2u);
  EXPECT_EQ(raw.PayloadLength(), 1u);
  EXPECT_EQ(raw.Payload()[0], 0x22);
  CSBIOPacket empty;
  EXPECT_EQ(empty.Payload(), nullptr);
  EXPECT_EQ(empty.PayloadLength(), 0u);
}

TEST(TwoThreadIOQueueTest, EventsFollowTheQueuesAndOnlyAWrittenQueueCountsAsEmpty) {
  CTwoThreadIOQueue queue;
  const Bytes b = {1};
  queue.PushReceived(std::make_unique<CSBIOPacket>(b.data(), 1, false));
  queue.PushReceived(std::make_unique<CSBIOPacket>(b.data(), 1, false));
  EXPECT_TRUE(queue.ReceivedEvent().IsSet());
  EXPECT_NE(queue.PopReceived(), nullptr);
  EXPECT_FALSE(queue.ReceivedEvent().IsSet());  // reset on every pop: drain until null
  EXPECT_NE(queue.PopReceived(), nullptr);
  EXPECT_EQ(queue.PopReceived(), nullptr);

  EXPECT_TRUE(queue.WaitUntilOutgoingEmpty());
  queue.PushOutgoing(std::make_unique<CSBIOPacket>(b.data(), 1, false));
  EXPECT_TRUE(queue.OutgoingEvent().IsSet());
  EXPECT_FALSE(queue.WaitUntilOutgoingEmpty());  // nobody drains it
  EXPECT_NE(queue.PopOutgoing(), nullptr);
  // Taken but not yet written: a link closed now would lose it.
  EXPECT_FALSE(queue.WaitUntilOutgoingEmpty());
  EXPECT_EQ(queue.PopOutgoing(), nullptr);
  queue.MarkOutgoingWritten();
  EXPECT_TRUE(queue.WaitUntilOutgoingEmpty());
}

TEST(DetectionProbesTest, CandidateCycleAndProbes) {
  LineSettings s = FirstCandidate();
  EXPECT_EQ(s, (LineSettings{9600, 8, 1, 2}));
  const std::vector<LineSettings> expected = {
      {9600, 8, 0, 0}, {19200, 8, 0, 0}, {57600, 8, 0, 0}, {9600, 8, 1, 2}, {9600, 8, 0, 0}};
  for (const LineSettings& next : expected) {
    s = NextCandidate(s);
    EXPECT_EQ(s, next);
  }
  EXPECT_EQ(NextCandidate(LineSettings{115200, 8, 0, 0}), (LineSettings{115200, 8, 0, 0}));
  EXPECT_EQ(ProbesFor(9600).size(), 2u);
  EXPECT_EQ(ProbesFor(19200)[0].request, (Bytes{0xE1, 0x00, 0x00, 0xE1}));
  EXPECT_TRUE(ProbesFor(4800).empty());
  const Bytes answer = {0x99, 0x16, 0x02, 0x00};
  EXPECT_TRUE(AnswerContains(answer, Bytes{0x16, 0x02}));
  EXPECT_FALSE(AnswerContains(answer, Bytes{0x02, 0x16}));
}

TEST(TtyLineTest, SettingsRoundTripThroughTermios) {
  for (const LineSettings& s : {LineSettings{9600, 8, 1, 2}, LineSettings{57600, 8, 0, 0}, LineSettings{1200, 7, 0, 0},
                                LineSettings{19200, 8, 2, 0}}) {
    termios tio{};
    ASSERT_TRUE(TtyLine::Apply(s, &tio));
    EXPECT_EQ(TtyLine::Read(tio), s);
  }
  termios tio{};
  EXPECT_FALSE(TtyLine::Apply(LineSettings{1234, 8, 0, 0}, &tio));
  EXPECT_FALSE(TtyLine::Apply(LineSettings{9600, 9, 0, 0}, &tio));
}

TEST(HidReportDescriptorTest, LengthsIncludeTheReportIdByte) {
  // Vendor page, 64-byte input and output reports, no report ids.
  const Bytes plain = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x08, 0x95, 0x40, 0x15, 0x00,
                       0x26, 0xFF, 0x00, 0x09, 0x01, 0x81, 0x02, 0x09, 0x01, 0x91, 0x02, 0xC0};
  HidReportLengths l = ParseReportDescriptor(plain.data(), plain.size());
  EXPECT_EQ(l.input, 65);
  EXPECT_EQ(l.output, 65);
  EXPECT_EQ(l.feature, 0);
  EXPECT_FALSE(l.numbered);
  // Two numbered input reports of 8 and 32 bytes and a 4-byte feature report.
  const Bytes numbered = {0x85, 0x01, 0x75, 0x08, 0x95, 0x08, 0x81, 0x02, 0x85, 0x02,
                          0x95, 0x20, 0x81, 0x02, 0x85, 0x03, 0x95, 0x04, 0xB1, 0x02};
  l = ParseReportDescriptor(numbered.data(), numbered.size());
  EXPECT_EQ(l.input, 33);
  EXPECT_EQ(l.feature, 5);
  EXPECT_TRUE(l.numbered);
  // A truncated item ends the walk without reading past the descriptor.
  const Bytes truncated = {0x75, 0x08, 0x96, 0x40};
  EXPECT_EQ(ParseReportDescriptor(truncated.data(), truncated.size()).input, 0);
}

TEST(HidReportDescriptorTest, ReportsTooLongToCountGetTheLongestLengthNotAWrappedOne) {
  // Report size 0x10000 bits, count 0x10000: 2^32 bits, which a 32-bit count wraps to 0.
  const Bytes huge = {0x77, 0x00, 0x00, 0x01, 0x00, 0x97, 0x00, 0x00, 0x01, 0x00, 0x81, 0x02};
  EXPECT_EQ(ParseReportDescriptor(huge.data(), huge.size()).input, 0xFFFF);
  // 8-bit fields: 65536 of them in one output item, then two items of 40000 that only add up
  // past 16 bits; a feature report just under the limit keeps its exact length.
  const Bytes wide = {0x75, 0x08, 0x97, 0x00, 0x00, 0x01, 0x00, 0x91, 0x02, 0x85, 0x01, 0x96,
                      0x40, 0x9C, 0x81, 0x02, 0x81, 0x02, 0x96, 0xF0, 0xFF, 0xB1, 0x02};
  const HidReportLengths l = ParseReportDescriptor(wide.data(), wide.size());
  EXPECT_EQ(l.output, 0xFFFF);
  EXPECT_EQ(l.input, 0xFFFF);
  EXPECT_EQ(l.feature, 65521);  // 65520 bytes and the report id byte
  // A descriptor that goes on never makes a report shorter.
  Bytes more = wide;
  more.insert(more.end(), {0x81, 0x02, 0x91, 0x02});
  EXPECT_EQ(ParseReportDescriptor(more.data(), more.size()).input, 0xFFFF);
}

namespace {

// A HID port whose device is a FIFO: every report written comes back as input.
class LoopbackHidPort : public CThreadedHIDPort {
 protected:
  bool ReadDeviceInfo(HidReportLengths* lengths, uint16_t* productId) override {
    *lengths = {5, 5, 3, true};
    *productId = 0x3000;
    return true;
  }
};

class CountingProlificPort : public CThreadedProlificPort {
 public:
  CountingProlificPort() : CThreadedProlificPort("") {}
  void FailRead() { OnReadFailed(); }
  int restarts = 0;

 protected:
  void RestartDevice() override { ++restarts; }
};

}  // namespace

TEST(HidPortTest, OnlyReportsOfTheExactLengthsAreWrittenAndRead) {
  char dir[] = "/tmp/ovanta-hid-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string fifo = std::string(dir) + "/hidraw";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  LoopbackHidPort port;
  ASSERT_EQ(port.OpenPort(fifo), 0u);
  auto report = [](const Bytes& stored, uint8_t flag) {
    auto p = std::make_unique<CSBIOPacket>(stored.data(), static_cast<uint32_t>(stored.size()), true);
    p->m_flag = flag;
    return p;
  };
  port.Queue().PushOutgoing(report({0x02, 0xAA, 0xBB, 0xCC}, 0));        // too short
  port.Queue().PushOutgoing(report({0x02, 0xAA, 0xBB}, 1));              // a feature report
  port.Queue().PushOutgoing(report({0x01, 0x11, 0x22, 0x33, 0x44}, 0));  // exact
  ASSERT_TRUE(port.Queue().ReceivedEvent().Wait(5000));
  auto packet = port.Queue().PopReceived();
  ASSERT_NE(packet, nullptr);
  // Stored raw; product 3000 (decimal) is not 0x3000, so nothing is trimmed.
  EXPECT_EQ(Bytes(packet->Data(), packet->Data() + packet->StoredLength()), (Bytes{0x01, 0x11, 0x22, 0x33, 0x44}));
  EXPECT_EQ(port.Queue().PopReceived(), nullptr);
  port.ClosePort();
  unlink(fifo.c_str());
  rmdir(dir);
}

TEST(HidPortTest, PlugAndPlayIdAndLineSettingsDoNotApply) {
  SBConnectionInfo info;
  info.connectionKind = kConnectionHid;
  info.portName = u"/dev/no-such-hidraw";
  CSBConnection link(info);
  EXPECT_EQ(link.GetPnPId(), u"DOES NOT APPLY");
  EXPECT_FALSE(link.SetCommParams(9600, 8, 0, 0));
  EXPECT_FALSE(link.ResetDevice(0));
  EXPECT_EQ(link.Open(), 2u);
}

TEST(ProlificPortTest, BridgeIsRestartedOnceEvery75FailedReads) {
  CountingProlificPort port;
  for (int i = 0; i < 74; ++i) port.FailRead();
  EXPECT_EQ(port.restarts, 0);
  port.FailRead();
  EXPECT_EQ(port.restarts, 1);
  EXPECT_EQ(port.FailedReads(), 0);
  EXPECT_TRUE(port.IsDeviceLost());
  for (int i = 0; i < 75; ++i) port.FailRead();
  EXPECT_EQ(port.restarts, 2);
}
