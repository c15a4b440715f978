// Lessons through the receiver over a pty with both simulators: class switches waiting for
// log-offs and assessments larger than a batch. (A plain lesson, the batch of one activated question, the
// class switches that complete and what the activated status decides are replay transcripts:
// tests/replay/scenarios/lesson, class-switch, roster-switch and relay-activated-status.)
#include <future>

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
    ASSERT_TRUE(simulator->WaitFor(
        [](const Packets& p) { return !OfCommand(p, 0x04).empty() && OfCommand(p, 0x04).back().at(3) == 1; }, 20000));
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

// A class switch takes effect in the software service's order: the next switch (here into the
// anonymous class) and the question activated with it wait until the first switch has its
// log-offs and has sent its login session. One clicker the session knows is not on the
// simulated network and answers its log-off only when the test sends it.
TEST_F(LessonTest, ASwitchWaitingForLogOffsHoldsTheNotificationsAfterIt) {
  constexpr uint16_t kLate = 0x0150;  // the simulated receiver's clicker 0x50, which never joined
  prepareSession = [this](RecordingSession& s) {
    s.runLifecycle = true;
    s.clickers = {{kClicker, 0x00124B00, 0x0A0B0C0D, u"s-1001"}, {kLate, 0x00124B00, 0x0A0B0C50, u"s-1002"}};
  };
  StartFirstClass();
  ASSERT_TRUE(simulator->Join(0, "1001"));
  ASSERT_TRUE(simulator->WaitForClickers([](const std::map<int, ClickerInfo>& c) { return c.at(0).joined(); }, 20000));
  // The class start's activated status found no assessment: review mode for all.
  ASSERT_TRUE(WaitForPacket({0x00, 0x00, 0x0E, 0x00}));
  Teacher("activate-assessment lesson-quiz");
  PollOnce();
  Settle();
  const size_t loginOptionsBefore = OfCommand(Received(), 0x06).size();
  const size_t reviewsBefore = CountOf(Received(), {0x00, 0x00, 0x0E, 0x00});
  const size_t batchesBefore = OfCommand(Received(), 0x0A).size();

  // Into the roster class: both are logged off, and the switch waits for two log-offs (up to a
  // minute, longer than any wait of this test).
  Teacher("switch-class class-2");
  PollOnce();
  ASSERT_TRUE(simulator->WaitFor([](const Packets& p) { return !OfCommand(p, 0x09, kLate).empty(); }, 20000));
  // The next poll: the switch into the anonymous class and a question. The lifecycle worker is
  // still in the first switch, so nothing of them may happen (the client's own requests still
  // flow: the markers of SettleClient come back).
  Teacher("switch-class drop-in");
  Teacher("activate-question q1");
  PollOnce();
  SettleClient();
  EXPECT_EQ(OfCommand(Received(), 0x06).size(), loginOptionsBefore);
  EXPECT_EQ(CountOf(Received(), {0x00, 0x00, 0x0E, 0x00}), reviewsBefore);
  EXPECT_EQ(OfCommand(Received(), 0x0A).size(), batchesBefore);
  EXPECT_EQ(Occurrences(Log(), "Switching classes by faking devices saying goodbye and then coming back"), 1u);

  simulator->LogOff(kLate - 0x0100);  // the late log-off: the first switch goes on
  ASSERT_TRUE(
      simulator->WaitFor([&](const Packets& p) { return OfCommand(p, 0x06).size() >= loginOptionsBefore + 2; }, 20000));
  ASSERT_TRUE(simulator->WaitFor([&](const Packets& p) { return OfCommand(p, 0x0A).size() > batchesBefore; }, 20000));
  Settle();
  const Packets packets = Received();
  const Packets options = OfCommand(packets, 0x06);
  ASSERT_EQ(options.size(), loginOptionsBefore + 2);
  EXPECT_EQ(options[loginOptionsBefore].at(3) & 1, 1);  // the roster class: login required
  EXPECT_EQ(options.back().at(3) & 1, 0);               // then the anonymous one
  // The question's review mode and its batch went out after both login sessions.
  const auto secondOption = std::find(packets.begin(), packets.end(), options.back());
  const auto review = std::find(secondOption, packets.end(), Bytes{0x00, 0x00, 0x0E, 0x00});
  EXPECT_NE(review, packets.end());
  EXPECT_EQ(std::count(packets.begin(), secondOption, Bytes{0x00, 0x00, 0x0E, 0x00}),
            static_cast<std::ptrdiff_t>(reviewsBefore));
  EXPECT_EQ(OfCommand(Packets(packets.begin(), secondOption), 0x0A).size(), batchesBefore);
  // The second switch logged nobody off (into an anonymous class) and rejoined both.
  EXPECT_EQ(OfCommand(packets, 0x09, kLate).size(), 1u);
  EXPECT_EQ(OfCommand(packets, 0x09, kClicker).size(), 1u);
  const std::vector<std::string> calls = session->Calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "rejoin " + std::to_string(kClicker)), 1);
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "rejoin " + std::to_string(kLate)), 1);
  EXPECT_EQ(Occurrences(Log(), "Switching classes by faking devices saying goodbye and then coming back"), 2u);
}

// Closing the receiver ends a switch still waiting for log-offs, and what waits behind it is
// dropped.
TEST_F(LessonTest, ACloseEndsASwitchWaitingForLogOffs) {
  constexpr uint16_t kSilent = 0x0150;  // not on the simulated network: it never logs off
  sessionEnv.switchWaitMs = 3600 * 1000;
  prepareSession = [this](RecordingSession& s) {
    s.runLifecycle = true;
    s.clickers = {{kSilent, 0x00124B00, 0x0A0B0C50, u"s-1002"}};
  };
  StartFirstClass();
  const size_t loginOptionsBefore = OfCommand(Received(), 0x06).size();
  Teacher("switch-class class-2");
  PollOnce();
  ASSERT_TRUE(simulator->WaitFor([](const Packets& p) { return !OfCommand(p, 0x09, kSilent).empty(); }, 20000));
  Teacher("switch-class drop-in");
  PollOnce();
  SettleClient();
  auto closed = std::async(std::launch::async, [&] { receiver->Close(); });
  ASSERT_EQ(closed.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_EQ(OfCommand(Received(), 0x06).size(), loginOptionsBefore);
  EXPECT_EQ(Occurrences(Log(), "Switching classes by faking devices saying goodbye and then coming back"), 1u);
}

}  // namespace
