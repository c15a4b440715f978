// Lessons through the receiver over a pty with both simulators: a class switch cut short,
// assessments larger than a batch, and what the activated status decides. (A plain lesson, the
// batch of one activated question and the class switches that complete are replay transcripts:
// tests/replay/scenarios/lesson.replay, class-switch.replay and roster-switch.replay.)
#include "BridgeFixture.h"
#include "tests/tools/ChoiceAssessment.h"
#include "tests/tools/SampleLesson.h"

namespace {

ServiceSim::Scenario LessonScenario() {
  ServiceSim::Scenario lesson = SampleLessonWithoutTimeline();  // the test is the teacher
  // A second class with a roster, to switch to with log-offs.
  std::vector<ServiceSim::ClassSpec> classes = lesson.AllClasses();
  if (!classes.empty()) {
    ServiceSim::ClassSpec second = classes.front();
    second.id = "class-2";
    lesson.classes.push_back(second);
    // More questions than one batch holds.
    lesson.classes.front().assessments.push_back(ChoiceAssessment("big-quiz", 41));
  }
  return lesson;
}

class LessonTest : public BridgeTest {
 protected:
  LessonTest() : BridgeTest(LessonScenario()) {
    prepareSession = [this](RecordingSession& s) {
      s.runLifecycle = true;
      s.clickers = {{kClicker, 0x00124B00, 0x0A0B0C0D, u"s-1001"}};
    };
  }

  // Starts class-1 and waits until its network start is on the wire.
  void StartFirstClass() {
    OpenAndSubscribe();
    Teacher("activate-class class-1");
    PollOnce();
    ASSERT_TRUE(WaitForNetworkStart());
  }
  bool WaitForNetworkStart() {
    return simulator->WaitFor(
        [](const Packets& p) { return !OfCommand(p, 0x04).empty() && OfCommand(p, 0x04).back().at(3) == 1; }, 20000);
  }

  static constexpr uint16_t kClicker = 0x0100;
};

// An assessment sent whole goes down in batches of at most forty questions, in question-number
// order: 41 questions are a batch of 40 and a batch of 1 of one run, both headers carrying the
// total, each the number still to send before it.
TEST_F(LessonTest, FortyOneQuestionsGoDownAsBatchesOfFortyAndOne) {
  sessionEnv.sendWholeAssessment = true;
  StartFirstClass();
  Teacher("activate-assessment big-quiz");
  PollOnce();
  ASSERT_TRUE(simulator->WaitFor([](const Packets& p) { return OfCommand(p, 0x0A, 0).size() >= 2; }, 20000));
  Settle();
  // The class start's activated-status query may find the assessment running too and activate
  // it once more (a new sequence number): the last run is the one to look at.
  std::vector<SimContent::QuestionBatch> batches;
  for (const Bytes& b : OfCommand(Received(), 0x0A, 0)) {
    const auto decoded = SimContent::DecodeQuestionBatch(Bytes(b.begin() + 3, b.end()));
    ASSERT_TRUE(decoded);
    if (!batches.empty() && batches.back().sequence != decoded->sequence) batches.clear();
    batches.push_back(*decoded);
  }
  ASSERT_EQ(batches.size(), 2u);
  const std::vector<int> headers = {batches[0].startOffset,     batches[0].total,       batches[0].remainingBefore,
                                    batches[0].feedback,        batches[1].startOffset, batches[1].total,
                                    batches[1].remainingBefore, batches[1].feedback};
  EXPECT_EQ(headers, (std::vector<int>{0, 41, 41, 2, 0, 41, 1, 2}));
  ASSERT_EQ(batches[0].questions.size(), 40u);
  ASSERT_EQ(batches[1].questions.size(), 1u);
  // In question-number order although the document lists them backwards: question n has
  // 2 + n % 3 choices, and B is correct in each.
  for (int n = 1; n <= 41; ++n) {
    const SimContent::Question& q = batches[n / 41].questions[static_cast<size_t>((n - 1) % 40)];
    EXPECT_EQ(q.choices, 2 + n % 3) << n;
    EXPECT_EQ(q.type, 2) << n;
    EXPECT_EQ(q.answer[0], 2) << n;
  }
}

// A switch still waiting for log-offs is cut short by the next switch, which completes: here
// one clicker the session knows never answers its log-off, and the next switch goes into the
// anonymous class (no log-offs, no wait). Only the second switch's login session goes out.
TEST_F(LessonTest, ASwitchWaitingForLogOffsIsCutShortByTheNextSwitch) {
  constexpr uint16_t kSilent = 0x0150;  // not on the simulated network: it never logs off
  prepareSession = [this](RecordingSession& s) {
    s.runLifecycle = true;
    s.clickers = {{kClicker, 0x00124B00, 0x0A0B0C0D, u"s-1001"}, {kSilent, 0x00124B00, 0x0A0B0C50, u"s-1002"}};
  };
  StartFirstClass();
  ASSERT_TRUE(simulator->Join(0, "1001"));
  ASSERT_TRUE(simulator->WaitForClickers([](const std::map<int, ClickerInfo>& c) { return c.at(0).joined(); }, 20000));
  const size_t loginOptionsBefore = OfCommand(Received(), 0x06).size();

  // Into the roster class: both are logged off, the switch waits for two log-offs (the session
  // waits up to a minute, longer than any wait of this test).
  Teacher("switch-class class-2");
  PollOnce();
  ASSERT_TRUE(simulator->WaitFor([](const Packets& p) { return !OfCommand(p, 0x09, kSilent).empty(); }, 20000));
  Settle();
  EXPECT_EQ(OfCommand(Received(), 0x06).size(), loginOptionsBefore);  // still waiting

  Teacher("switch-class drop-in");
  PollOnce();
  ASSERT_TRUE(
      simulator->WaitFor([&](const Packets& p) { return OfCommand(p, 0x06).size() > loginOptionsBefore; }, 20000));
  ASSERT_TRUE(WaitUntil([&] {
    const std::vector<std::string> calls = session->Calls();
    return std::count(calls.begin(), calls.end(), "rejoin " + std::to_string(kSilent)) == 1;
  }));
  Settle();
  const Packets packets = Received();
  const Packets options = OfCommand(packets, 0x06);
  ASSERT_EQ(options.size(), loginOptionsBefore + 1);        // the first switch sent none
  EXPECT_EQ(options.back().at(3) & 1, 0);                   // the anonymous class
  EXPECT_EQ(OfCommand(packets, 0x09, kSilent).size(), 1u);  // the second switch logged nobody off
  EXPECT_EQ(OfCommand(packets, 0x09, kClicker).size(), 1u);
  const std::vector<std::string> calls = session->Calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "rejoin " + std::to_string(kClicker)), 1);
  EXPECT_EQ(Occurrences(Log(), "Switching classes by faking devices saying goodbye and then coming back"), 2u);
}

std::string ActivatedDocument(const std::string& networkName, const std::string& classRef) {
  return "<voxlet:activated xmlns:voxlet=\"http://schemas.vantrel.org/2008/voxlet/\"" +
         (networkName.empty() ? std::string() : " voxlet:networkname=\"" + networkName + "\"") + ">" + classRef +
         "</voxlet:activated>";
}

std::string StoppedClassRef(const std::string& stopped) {
  return "<voxlet:classref xml:id=\"activated-class\" voxlet:classid=\"class-9\" "
         "voxlet:started=\"2026-12-06T09:00:00.000Z\" voxlet:stopped=\"" +
         stopped + "\"/>";
}

// The activated status decides: no network name, a class with no active assessment (a 409
// reply is taken like a 2xx one), and a stopped class while the network runs.
TEST_F(LessonTest, ActivatedStatusStartsOrRefusesTheClass) {
  const std::string path = "/voxlet/scripts/teachers/getServerActivatedStatus.js";
  service.OverrideReply(path, {200, "text/xml", {}, ActivatedDocument("", ""), std::nullopt});
  OpenWithScanDone();  // overridden replies are not recorded: the subscription shows the query went out
  ASSERT_TRUE(WaitForCount("subscribe", 1));
  Settle();
  EXPECT_NE(Log().find("Not starting a class because there is no network name"), std::string::npos);
  EXPECT_TRUE(OfCommand(Received(), 0x05).empty());

  service.OverrideReply(path, {409, "text/xml", {}, ActivatedDocument("Lab", StoppedClassRef("")), std::nullopt});
  Teacher("activate-class class-1");
  PollOnce();
  ASSERT_TRUE(WaitForNetworkStart());
  EXPECT_EQ(simulator->ClassName().substr(0, 3), "Lab");
  ASSERT_TRUE(WaitForPacket({0x00, 0x00, 0x0E, 0x00}));  // no assessment: review mode, once
  EXPECT_NE(Log().find("Not starting an assessment because no activated assessmentref with non-blank start "
                       "timestamp and blank stop timestamp"),
            std::string::npos);
  ASSERT_TRUE(WaitUntil([&] { return receiver->Network().NetworkStarted(); }));

  const size_t stops = CountOf(Received(), kNetworkStop);
  service.OverrideReply(
      path, {200, "text/xml", {}, ActivatedDocument("Lab", StoppedClassRef("2026-12-06T10:00:00.000Z")), std::nullopt});
  Teacher("activate-class class-1");
  PollOnce();
  ASSERT_TRUE(WaitForPacket(kNetworkStop, stops + 1));
  EXPECT_GE(CountOf(Received(), kPowerDownAll), 1u);
  EXPECT_FALSE(receiver->Network().NetworkStarted());
  EXPECT_TRUE(session->CurrentClassId().empty());
  const std::string log = Log();
  EXPECT_NE(log.find("Not starting a class because activated classref has non-empty stop timestamp"),
            std::string::npos);
  EXPECT_NE(log.find("Network name is valid, but starting a class is failed.Power off all clickers"),
            std::string::npos);
}

}  // namespace
