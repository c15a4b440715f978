// Answers of several clickers at once: their submissions are in flight side by side, none is lost,
// and one clicker's answers reach the software service in the order given.
#include "BridgeFixture.h"
#include "tests/tools/SampleLesson.h"
#include "tools/receiver-sim/ClickerAnswers.h"

namespace {

class AnswerBurstTest : public BridgeTest {
 protected:
  AnswerBurstTest() : BridgeTest(SampleLessonWithoutTimeline()) {
    prepareSession = [](RecordingSession& s) {
      s.runLifecycle = true;
      s.realClickers = true;
    };
  }

  // A running assessment with clickers 0 .. count-1 logged in as students 1001 ...
  void StartAssessment(int count) {
    OpenAndSubscribe();
    Teacher("activate-class class-1");
    PollOnce();
    ASSERT_TRUE(WaitUntil([&] { return simulator->NetworkUp(); }));
    for (int i = 0; i < count; ++i) ASSERT_TRUE(simulator->Join(i, std::to_string(1001 + i)));
    ASSERT_TRUE(WaitForSignedIn(count));
    Teacher("activate-assessment lesson-quiz");
    PollOnce();
    ASSERT_TRUE(WaitForCount("database", 2));
    Settle();
  }

  // Clicker 0 answers q1 and q2, the others q1, while the service holds its replies to
  // submissions; returns once one submission of each clicker is unanswered at the service.
  void AnswerWithRepliesHeld(int count) {
    service.Server().HoldReplies("/voxlet/builtins/teachers/submit");
    const Bytes choice = *SimAnswers::Encode(SimAnswers::Kind::Choice, "A");
    simulator->Answer(0, 1, choice);
    simulator->Answer(0, 2, *SimAnswers::Encode(SimAnswers::Kind::Number, "3.5"));
    for (int i = 1; i < count; ++i) simulator->Answer(i, 1, choice);
    ASSERT_TRUE(service.Server().WaitHeld(count, 20));
  }
};

TEST_F(AnswerBurstTest, SubmissionsOfSeveralClickersAreInFlightTogetherAndOneClickersStayInOrder) {
  constexpr int kClickers = 3;
  ASSERT_NO_FATAL_FAILURE(StartAssessment(kClickers));
  ASSERT_NO_FATAL_FAILURE(AnswerWithRepliesHeld(kClickers));
  service.Server().ReleaseHeld();
  ASSERT_TRUE(WaitForSubmissions(kClickers + 1));
  Settle();

  const std::vector<ServiceSim::Submission> submissions = service.Manager().Submissions();
  ASSERT_EQ(submissions.size(), static_cast<size_t>(kClickers + 1));
  std::map<std::string, std::vector<std::string>> byClicker;
  for (const auto& s : submissions) {
    EXPECT_TRUE(s.accepted) << s.endpointId;
    byClicker[s.endpointId].push_back(s.questionId + "=" + s.answer);
  }
  EXPECT_EQ(byClicker[ClickerEndpoint(0)], (std::vector<std::string>{"q1=A", "q2=3.5"}));
  for (int i = 1; i < kClickers; ++i) EXPECT_EQ(byClicker[ClickerEndpoint(i)], std::vector<std::string>{"q1=A"});
  EXPECT_EQ(Log().find("not submitted"), std::string::npos);
}

// The service goes away with submissions in flight: each is held again and, once the service is
// back, submitted; one clicker's answers still arrive in the order given.
TEST_F(AnswerBurstTest, SubmissionsInFlightWhenTheServiceGoesAreHeldAndDeliveredInOrder) {
  constexpr int kClickers = 3;
  ASSERT_NO_FATAL_FAILURE(StartAssessment(kClickers));
  ASSERT_NO_FATAL_FAILURE(AnswerWithRepliesHeld(kClickers));
  const uint16_t port = service.Port();
  service.Stop();  // the held requests go unanswered
  service.Server().HoldReplies("");
  ASSERT_TRUE(WaitUntil([&] { return session->HeldAnswerCount() == kClickers + 1; }));

  ASSERT_TRUE(service.Start(port));
  ASSERT_TRUE(WaitForSubmissions(kClickers + 1));
  EXPECT_TRUE(WaitUntil([&] { return session->HeldAnswerCount() == 0; }));
  std::map<std::string, std::vector<std::string>> byClicker;
  for (const auto& s : service.Manager().Submissions()) byClicker[s.endpointId].push_back(s.questionId);
  EXPECT_EQ(byClicker[ClickerEndpoint(0)], (std::vector<std::string>{"q1", "q2"}));
  for (int i = 1; i < kClickers; ++i) EXPECT_EQ(byClicker[ClickerEndpoint(i)], std::vector<std::string>{"q1"});
}

}  // namespace
