// The parts of the links every platform shares: the packet queues, HID report lengths, the
// detection routine and cycle, and the serial Plug and Play identifier.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <tuple>

#include "connections/DetectionProbes.h"
#include "connections/HidReportDescriptor.h"
#include "connections/LinkThread.h"
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
  uint32_t DoOpen(const std::string&) override { return LinkResult::kSuccess; }

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

// A device on the Plug and Play line: it sends its identifier once the DTR/RTS sequence has
// run `answerAfter` times (never when 0); what the port does is logged.
struct PnPDevice {
  int answerAfter = 1;
  Bytes identifier = {'M', '(', 'A', 'B', ')'};
  int sequences = 0;
  std::vector<std::string> log;

  PnPLine Line() {
    PnPLine line;
    line.setModemLine = [this](bool dtr, bool raised) {
      log.push_back(std::string(dtr ? "DTR" : "RTS") + (raised ? " up" : " down"));
      if (!dtr && raised) ++sequences;  // RTS up ends a sequence
    };
    line.purge = [this] { log.push_back("purge"); };
    line.enterPnPSettings = [this] { log.push_back("1200 7N1"); };
    line.pause = [this](int ms) { log.push_back("pause " + std::to_string(ms)); };
    line.read = [this](size_t count, int) {
      Bytes got;
      if (answerAfter == 0 || sequences < answerAfter) return got;
      while (got.size() < count && !identifier.empty()) {
        got.push_back(identifier.front());
        identifier.erase(identifier.begin());
      }
      return got;
    };
    return line;
  }
};

// The sequence runs once for a device that answers it, twice for one that answers only the
// second; a silent device gives no identifier after two. Each ends with DTR down and RTS up.
TEST(SerialPnPIdTest, TheSequenceRunsAgainOnceWhenNoByteAnswers) {
  PnPDevice first;
  EXPECT_EQ(ReadPnPId(first.Line()), u"M(AB)");
  EXPECT_EQ(first.log,
            (std::vector<std::string>{"RTS down", "DTR up", "purge", "pause 200", "1200 7N1", "DTR down", "RTS down",
                                      "pause 200", "DTR up", "pause 200", "RTS up", "DTR down", "RTS up"}));
  PnPDevice second;
  second.answerAfter = 2;
  EXPECT_EQ(ReadPnPId(second.Line()), u"M(AB)");
  EXPECT_EQ(second.sequences, 3);  // two sequences and the final RTS up
  PnPDevice silent;
  silent.answerAfter = 0;
  EXPECT_EQ(ReadPnPId(silent.Line()), u"");
  EXPECT_EQ(silent.sequences, 3);
  EXPECT_EQ(std::vector<std::string>(silent.log.end() - 2, silent.log.end()),
            (std::vector<std::string>{"DTR down", "RTS up"}));
}
