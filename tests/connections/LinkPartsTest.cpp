// The parts of the links every platform shares: the packet queues, HID report lengths and which
// reports pass, the USB-serial bridge's words, the detection routine and cycle, and the serial
// Plug and Play identifier.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <tuple>

#include "connections/DetectionProbes.h"
#include "connections/HidReportDescriptor.h"
#include "connections/HidReports.h"
#include "connections/LinkThread.h"
#include "connections/ProlificLine.h"
#include "connections/SerialPnPId.h"
#include "connections/TwoThreadIOQueue.h"
#include "tests/connections/LinkBlocks.h"

namespace {

// A serial line without a thread: settings are stored, and like a pseudo-terminal it may keep
// no parity.
class StoredLine : public CLinkThread {
 public:
  explicit StoredLine(bool keepsParity) : m_keepsParity(keepsParity) {}
  bool SetLine(const LineSettings& s) override {
    m_line = s;
    if (!m_keepsParity) m_line.parity = 0;
    return true;
  }
  bool GetLine(LineSettings* s) override {
    *s = m_line;
    return true;
  }
  void Run() override {}

 protected:
  std::error_code DoOpen(const std::string&) override { return {}; }

 private:
  bool m_keepsParity;
  LineSettings m_line{57600, 8, 0, 0};
};

// A device behind DetectionSteps that answers one probe request at one line setting, and
// records what the routine did.
struct ProbeDevice {
  LineSettings answersAt{0, 0, 0, 0};
  Bytes answersTo;
  Bytes answer;
  bool stopOnPause = false;
  StoredLine line{true};
  std::vector<std::string> log;
  std::deque<uint8_t> pending;

  DetectionSteps Steps() {
    DetectionSteps steps;
    steps.nextLine = [this](LineSettings* s) {
      if (!line.NextLine(s)) return false;
      log.push_back("line " + std::to_string(s->baudRate) + " " + std::to_string(s->parity));
      return true;
    };
    steps.setLine = [this](const LineSettings& s) {
      log.push_back("set " + std::to_string(s.baudRate) + " " + std::to_string(s.parity));
      return line.SetLine(s);
    };
    steps.setRts = [this](bool up) { log.push_back(up ? "RTS up" : "RTS down"); };
    steps.write = [this](std::span<const uint8_t> bytes, int) {
      LineSettings now;
      line.GetLine(&now);
      if (now == answersAt && Bytes(bytes.begin(), bytes.end()) == answersTo)
        pending.assign(answer.begin(), answer.end());
      return true;
    };
    steps.read = [this](size_t count, int) {
      Bytes got;
      while (got.size() < count && !pending.empty()) {
        got.push_back(pending.front());
        pending.pop_front();
      }
      return got;
    };
    steps.pause = [this](int) { return !stopOnPause; };
    steps.lost = [] { return false; };
    return steps;
  }
};

}  // namespace

TEST(TwoThreadIOQueueTest, EventsFollowTheQueuesAndOnlyAWrittenQueueCountsAsEmpty) {
  CTwoThreadIOQueue queue;
  queue.PushReceived(Block({1}));
  queue.PushReceived(Block({1}));
  EXPECT_TRUE(queue.ReceivedEvent().IsSet());
  EXPECT_NE(queue.PopReceived(), nullptr);
  EXPECT_FALSE(queue.ReceivedEvent().IsSet());  // reset on every pop: drain until null
  EXPECT_NE(queue.PopReceived(), nullptr);
  EXPECT_EQ(queue.PopReceived(), nullptr);

  EXPECT_TRUE(queue.WaitUntilOutgoingEmpty());
  queue.PushOutgoing(Block({1}));
  EXPECT_TRUE(queue.OutgoingEvent().IsSet());
  EXPECT_FALSE(queue.WaitUntilOutgoingEmpty());  // nobody drains it
  EXPECT_NE(queue.PopOutgoing(), nullptr);
  // Taken but not yet written: a link closed now would lose it.
  EXPECT_FALSE(queue.WaitUntilOutgoingEmpty());
  EXPECT_EQ(queue.PopOutgoing(), nullptr);
  queue.MarkOutgoingWritten();
  EXPECT_TRUE(queue.WaitUntilOutgoingEmpty());
}

HidReportLengths Parse(const Bytes& descriptor) { return ParseReportDescriptor(descriptor.data(), descriptor.size()); }

// Lengths include the report id byte; a truncated item ends the walk without reading past
// the descriptor; reports too long to count get the longest length, not a wrapped one.
TEST(HidReportDescriptorTest, LengthsIncludeTheReportIdByteAndStopAtTheLongest) {
  // Vendor page, 64-byte input and output reports, no report ids.
  HidReportLengths l = Parse({0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x08, 0x95, 0x40, 0x15, 0x00,
                              0x26, 0xFF, 0x00, 0x09, 0x01, 0x81, 0x02, 0x09, 0x01, 0x91, 0x02, 0xC0});
  EXPECT_EQ(std::make_tuple(l.input, l.output, l.feature, l.numbered), std::make_tuple(65, 65, 0, false));
  // Two numbered input reports of 8 and 32 bytes and a 4-byte feature report.
  l = Parse({0x85, 0x01, 0x75, 0x08, 0x95, 0x08, 0x81, 0x02, 0x85, 0x02,
             0x95, 0x20, 0x81, 0x02, 0x85, 0x03, 0x95, 0x04, 0xB1, 0x02});
  EXPECT_EQ(std::make_tuple(l.input, l.feature, l.numbered), std::make_tuple(33, 5, true));
  EXPECT_EQ(Parse({0x75, 0x08, 0x96, 0x40}).input, 0);
  // Report size 0x10000 bits, count 0x10000: 2^32 bits, which a 32-bit count wraps to 0.
  EXPECT_EQ(Parse({0x77, 0x00, 0x00, 0x01, 0x00, 0x97, 0x00, 0x00, 0x01, 0x00, 0x81, 0x02}).input, 0xFFFF);
  // 8-bit fields: 65536 of them in one output item, then two items of 40000 that only add up
  // past 16 bits; a feature report just under the limit keeps its exact length (and its id).
  Bytes wide = {0x75, 0x08, 0x97, 0x00, 0x00, 0x01, 0x00, 0x91, 0x02, 0x85, 0x01, 0x96,
                0x40, 0x9C, 0x81, 0x02, 0x81, 0x02, 0x96, 0xF0, 0xFF, 0xB1, 0x02};
  l = Parse(wide);
  EXPECT_EQ(std::make_tuple(l.output, l.input, l.feature), std::make_tuple(0xFFFF, 0xFFFF, 65521));
  // A descriptor that goes on never makes a report shorter.
  wide.insert(wide.end(), {0x81, 0x02, 0x91, 0x02});
  EXPECT_EQ(Parse(wide).input, 0xFFFF);
}

// From any setting the cycle starts at 9600 8O2 and goes 9600 8N1, 19200, 57600 and round
// again; on a line that keeps no parity it still moves on from 9600 8O2 (read back as 9600 8N2)
// to 9600 8N1.
TEST(DetectionTest, TheCandidateCycleGoesRoundAlsoOnALineWithoutParity) {
  for (const bool keepsParity : {true, false}) {
    StoredLine line(keepsParity);
    std::vector<uint32_t> bauds;
    LineSettings s;
    for (int i = 0; i < 5; ++i) {
      ASSERT_TRUE(line.NextLine(&s));
      bauds.push_back(s.baudRate);
      if (i == 0) {
        EXPECT_EQ(std::make_tuple(s.parity, s.stopBits), std::make_tuple(1, 2));
      }
    }
    EXPECT_EQ(bauds, (std::vector<uint32_t>{9600, 9600, 19200, 57600, 9600})) << keepsParity;
  }
}

// The routine pulses RTS three times when asked, stops at the first answered probe (the echo
// may stand anywhere in the answer) and falls back to 9600 8N1 when none is answered; a stop
// during a pause ends it unanswered and without the fall-back.
TEST(DetectionTest, TheRoutineStopsAtTheFirstAnswerAndFallsBackTo9600EightNoneOne) {
  ProbeDevice at19200;
  at19200.answersAt = {19200, 8, 0, 0};
  at19200.answersTo = {0xE1, 0x00, 0x00, 0xE1};
  at19200.answer = {0x00, 0x7F, 0xD2, 0x01};
  EXPECT_TRUE(DetectReceiver(at19200.Steps(), true));
  EXPECT_EQ(at19200.log, (std::vector<std::string>{"RTS down", "RTS up", "RTS down", "RTS up", "RTS down", "RTS up",
                                                   "line 9600 1", "line 9600 0", "line 19200 0"}));

  ProbeDevice silent;
  EXPECT_FALSE(DetectReceiver(silent.Steps(), false));
  EXPECT_EQ(silent.log,
            (std::vector<std::string>{"line 9600 1", "line 9600 0", "line 19200 0", "line 57600 0", "set 9600 0"}));

  // The second 9600 probe's echo (16 02) at 9600 8N1.
  ProbeDevice second;
  second.answersAt = {9600, 8, 0, 0};
  second.answersTo = {0x18, 0x16, 0x02, 0x00, 0x00, 0x00};
  second.answer = {0x16, 0x02};
  EXPECT_TRUE(DetectReceiver(second.Steps(), false));
  EXPECT_EQ(second.log.back(), "line 9600 0");

  ProbeDevice stopped;
  stopped.stopOnPause = true;
  EXPECT_FALSE(DetectReceiver(stopped.Steps(), true));
  EXPECT_EQ(stopped.log, (std::vector<std::string>{"RTS down"}));
}

Voxlet::StringBuffer PnPIdOf(const Bytes& bytes) {
  std::deque<uint8_t> rest(bytes.begin() + 1, bytes.end());
  return CollectPnPId(bytes[0], [&rest](size_t count, int) {
    Bytes got;
    while (got.size() < count && !rest.empty()) {
      got.push_back(rest.front());
      rest.pop_front();
    }
    return got;
  });
}

// The 7-bit form is taken as sent up to ")", the 6-bit form is moved up by 0x20 up to 0x09, a
// leading "M" stays, bytes before the start are skipped, and an identifier that never starts
// is empty; one that never ends stops at 256 characters.
TEST(SerialPnPIdTest, BothFormsAreCollectedUpToTheirEnd) {
  EXPECT_EQ(PnPIdOf({'M', '(', 'A', 'B', ')', 'x'}), u"M(AB)");
  EXPECT_EQ(PnPIdOf({0x01, '(', 'Q', ')'}), u"(Q)");
  EXPECT_EQ(PnPIdOf({0x08, 0x21, 0x22, 0x09, 0x23}), u"(AB)");
  EXPECT_EQ(PnPIdOf({'M', 'M', 'x'}), u"");
  Bytes endless = {'('};
  endless.resize(400, 'Z');
  EXPECT_EQ(PnPIdOf(endless).size(), 256u);
}

// The enumeration's steps in order: the DTR/RTS sequence runs a second time only when the first
// brought no byte, and the lines end with DTR down and RTS up.
TEST(SerialPnPIdTest, TheSequenceIsRepeatedOnceForADeviceThatWasSilent) {
  for (const bool answersAtOnce : {true, false}) {
    std::vector<std::string> log;
    std::deque<uint8_t> line;
    int toggles = 0;
    PnPSteps steps;
    steps.setDtr = [&](bool up) { log.push_back(up ? "DTR up" : "DTR down"); };
    steps.setRts = [&](bool up) {
      log.push_back(up ? "RTS up" : "RTS down");
      // The device speaks once DTR and RTS come up again, the first time or the second.
      if (up && log.size() > 2 && log[log.size() - 3] == "DTR up" && ++toggles == (answersAtOnce ? 1 : 2))
        line.assign({'(', 'X', ')'});
    };
    steps.purge = [&] { log.push_back("purge"); };
    steps.pause = [&](int ms) { log.push_back("pause " + std::to_string(ms)); };
    steps.enterPnPLine = [&] { log.push_back("1200 7N1"); };
    steps.read = [&](size_t count, int) {
      Bytes got;
      while (got.size() < count && !line.empty()) {
        got.push_back(line.front());
        line.pop_front();
      }
      return got;
    };
    EXPECT_EQ(ReadPnPId(steps), u"(X)");
    std::vector<std::string> expected = {"RTS down", "DTR up", "purge", "pause 200", "1200 7N1"};
    const std::vector<std::string> toggle = {"DTR down", "RTS down", "pause 200", "DTR up", "pause 200", "RTS up"};
    for (int i = 0; i < (answersAtOnce ? 1 : 2); ++i) expected.insert(expected.end(), toggle.begin(), toggle.end());
    expected.insert(expected.end(), {"DTR down", "RTS up"});
    EXPECT_EQ(log, expected) << answersAtOnce;
  }
}

// The line coding carries the receiver's codes as they are (baud rate little-endian) and keeps
// the driver's spare byte; the control-line word follows the escape codes; the driver's modem
// status bits become the system's.
TEST(ProlificLineTest, CodingsAndWordsCarryTheLineAsTheDriverWantsIt) {
  ProlificLine::Coding coding{0, 0, 0, 0, 0, 0, 0, 0x77};
  ProlificLine::Apply(LineSettings{115200, 7, 2, 1}, coding);
  EXPECT_EQ(coding, (ProlificLine::Coding{0x00, 0xC2, 0x01, 0x00, 1, 2, 7, 0x77}));
  for (const LineSettings& s : {LineSettings{9600, 8, 1, 2}, LineSettings{57600, 8, 0, 0}, LineSettings{1200, 7, 0, 0},
                                LineSettings{0x12345678, 5, 4, 0}}) {
    ProlificLine::Apply(s, coding);
    EXPECT_EQ(ProlificLine::Read(coding), s);
    EXPECT_EQ(coding[7], 0x77);
  }
  EXPECT_TRUE(ProlificLine::Valid(LineSettings{300, 5, 4, 2}));
  for (const LineSettings& s : {LineSettings{0, 8, 0, 0}, LineSettings{9600, 4, 0, 0}, LineSettings{9600, 9, 0, 0},
                                LineSettings{9600, 8, 5, 0}, LineSettings{9600, 8, 0, 3}})
    EXPECT_FALSE(ProlificLine::Valid(s)) << s.baudRate << " " << int{s.byteSize};

  uint16_t word = 0;
  std::vector<uint16_t> words;
  for (const uint32_t code : {3u, 5u, 4u, 6u, 5u}) {
    EXPECT_TRUE(ProlificLine::ApplyEscape(code, word));
    words.push_back(word);
  }
  EXPECT_EQ(words, (std::vector<uint16_t>{2, 3, 1, 0, 1}));
  // SETXON (1), SETBREAK (8) and others are not control-line codes.
  EXPECT_FALSE(ProlificLine::ApplyEscape(1, word));
  EXPECT_FALSE(ProlificLine::ApplyEscape(8, word));
  EXPECT_EQ(word, 1);

  EXPECT_EQ(ProlificLine::ModemStatus(0x80), 0x10u);
  EXPECT_EQ(ProlificLine::ModemStatus(0x02), 0x20u);
  EXPECT_EQ(ProlificLine::ModemStatus(0x08), 0x40u);
  EXPECT_EQ(ProlificLine::ModemStatus(0xFF), 0x70u);
  EXPECT_EQ(ProlificLine::ModemStatus(0x75), 0u);
}

// Only whole input reports are received (product 3000, decimal, without its two last bytes);
// packets go out only at their report's exact length, a flagged one at the feature length.
TEST(HidReportsTest, OnlyReportsOfTheDevicesLengthsPass) {
  const HidReportLengths lengths{8, 6, 4, false};
  EXPECT_EQ(HidReports::ReceivedLength(8, lengths, 0x3000), 8u);
  EXPECT_EQ(HidReports::ReceivedLength(8, lengths, 3000), 6u);
  EXPECT_EQ(HidReports::ReceivedLength(7, lengths, 0x3000), 0u);
  EXPECT_EQ(HidReports::ReceivedLength(9, lengths, 3000), 0u);
  EXPECT_EQ(HidReports::ReceivedLength(0, HidReportLengths{}, 0x3000), 0u);

  EXPECT_EQ(HidReports::CheckOutgoing(*Block({1, 2, 3, 4, 5}), lengths), 0u);  // 6 stored, the id slot first
  EXPECT_EQ(HidReports::CheckOutgoing(*Block({1, 2, 3, 4, 5, 6}, 0, true), lengths), 0u);
  EXPECT_EQ(HidReports::CheckOutgoing(*Block({1, 2, 3, 4, 5, 6}), lengths), HidReports::kWrongLength);
  EXPECT_EQ(HidReports::CheckOutgoing(*Block({1, 2, 3, 4}, 1, true), lengths), 0u);
  EXPECT_EQ(HidReports::CheckOutgoing(*Block({1, 2, 3, 4, 5, 6}, 1, true), lengths), HidReports::kWrongLength);
  EXPECT_EQ(HidReports::CheckOutgoing(*Block({}, 1, true), HidReportLengths{}), HidReports::kWrongLength);
}
