// Clickers through the receiver over a pty with both simulators: submissions as the software
// service receives them and the cooldown of the software side's actions. (Joins in both kinds of
// class, hands, batteries, log-offs, goodbyes and a refused submission are replay transcripts.)
#include "ClickerFixture.h"
#include "bridge/ClickerDocuments.h"
#include "content/Translation.h"

// Each format's answer as the software service receives it is in the lesson transcript; here
// the submission's envelope, a math answer whose parts arrive last first, and an answer to a
// question the assessment lacks.
TEST_F(ClickerTest, SubmissionsCarryTheExactDocumentWhateverOrderTheirPartsCameIn) {
  StartClass(1);

  using namespace SimAnswers;
  simulator->Answer(0, 1, *Encode(Kind::Choice, "C"));
  const Bytes math = *Encode(Kind::Math, "x^{2}+1");
  auto parts = *EnhancedPackets(0x0100, 2, 5, math, 3);
  ASSERT_GE(parts.size(), 3u);
  for (auto p = parts.rbegin(); p != parts.rend(); ++p) simulator->SendPacket(*p);
  ASSERT_TRUE(WaitForSubmissions(2));

  const std::map<std::string, std::string> expected = {
      {"q1", "C"},
      {"q5", Voxlet::UTF16to8(Translation().translateToUnicodeString(math, true))},
  };
  const auto submissions = service.Manager().Submissions();
  ASSERT_EQ(submissions.size(), 2u);
  for (const auto& s : submissions) {
    SCOPED_TRACE(s.questionId);
    ASSERT_TRUE(expected.count(s.questionId));
    EXPECT_TRUE(s.accepted);
    EXPECT_EQ(s.answer, expected.at(s.questionId));
    EXPECT_EQ(s.studentId, "s-1001");
    EXPECT_EQ(s.endpointId, ClickerEndpoint(0));
    EXPECT_EQ(s.assessmentId, "lesson-quiz");
    EXPECT_EQ(s.classId, "class-1");
    EXPECT_EQ(s.parts, 1u);
    EXPECT_EQ(s.partContentType, "text/xml");
    EXPECT_EQ(s.partDisposition, "filename=\"submission.xml\"");
    const std::string stamp = AttributeOf(s.document, "voxlet:submitted");
    EXPECT_EQ(s.document,
              Voxlet::UTF16to8(Bridge::SubmissionText(Voxlet::UTF8to16(stamp), u"1", Voxlet::UTF8to16(s.questionId),
                                                      Voxlet::UTF8to16(expected.at(s.questionId)))));
  }

  // An answer to a question the assessment does not have is dropped with a line naming it. Packets
  // are handled in order: once the empty submission of the session ended next is in, so is the
  // line. (That submission's student header is pinned by the drop-in transcript; its document here.)
  simulator->Answer(0, 6, *Encode(Kind::Choice, "A"));
  simulator->EndSession(0);
  ASSERT_TRUE(WaitForSubmissions(3));
  const std::string log = Log();
  EXPECT_NE(log.find("dropped this because we have just 5 questions in our internal lists"), std::string::npos);
  EXPECT_NE(log.find("Answer of clicker 256 to question 6 not submitted"), std::string::npos);
  EXPECT_NE(service.Manager().Submissions().back().document.find("voxlet:studentid=\"s-1001\""), std::string::npos);
  // The simulated-answers mode stays off: the registry does not ask for it.
  EXPECT_NE(log.find("Read ZOMBIE registry - registry value: 0"), std::string::npos);
  EXPECT_EQ(log.find("zombie mode is go"), std::string::npos);
}

// The session decodes answers to an assessment only once it holds the assessment's document,
// which its lifecycle worker stores when it handles the reply: the document's request having been
// answered does not show that (an answer then is dropped, as the answer-burst benchmark's first
// bursts lost some when they waited for that); the questions on the receiver's line do.
TEST_F(ClickerTest, AnswersAreDecodedOnceTheQuestionsAreOnTheReceiverNotWhenTheDocumentWasFetched) {
  StartClass(2, false);
  const std::string assessment = "/voxlet/database/classes/class-1/lesson-quiz";  // and its metadata
  service.Server().HoldReplies(assessment);
  Teacher("activate-assessment lesson-quiz");
  PollOnce();
  ASSERT_TRUE(service.Server().WaitHeld(1, 20));  // the metadata
  {
    // Its reply handled only once the document's request will be held too.
    RecordingSession::LifecycleHold hold(*session);
    service.Server().ReleaseHeld();
    service.Server().HoldReplies(assessment);
  }
  ASSERT_TRUE(service.Server().WaitHeld(1, 20));  // the document
  using namespace SimAnswers;
  {
    RecordingSession::LifecycleHold hold(*session);  // ahead of the document's reply
    service.Server().ReleaseHeld();
    ASSERT_TRUE(WaitForCount("database", 2));  // answered, its reply not yet handled
    simulator->Answer(0, 1, *Encode(Kind::Choice, "B"));
    // Packets are handled in order: once the empty submission of the session ended next is in,
    // the answer before it has been handled.
    simulator->EndSession(0);
    ASSERT_TRUE(WaitForSubmissions(1));
    EXPECT_TRUE(OfCommand(Received(), 0x0A).empty());  // no questions on the line yet
  }
  ASSERT_TRUE(simulator->WaitFor([](const Packets& p) { return !OfCommand(p, 0x0A).empty(); }, 20000));
  simulator->Answer(1, 1, *Encode(Kind::Choice, "C"));
  ASSERT_TRUE(WaitForSubmissions(2));
  const std::string log = Log();
  EXPECT_NE(log.find("dropped this because we don't appear to have any questions"), std::string::npos);
  EXPECT_NE(log.find("Answer of clicker 256 to question 1 not submitted"), std::string::npos);
  const auto submissions = service.Manager().Submissions();
  ASSERT_EQ(submissions.size(), 2u);
  EXPECT_EQ(submissions[0].endpointId, ClickerEndpoint(0));
  EXPECT_TRUE(submissions[0].answer.empty());  // the session's end: answer B was dropped
  EXPECT_EQ(submissions[1].endpointId, ClickerEndpoint(1));
  EXPECT_EQ(submissions[1].answer, "C");
}

TEST_F(ClickerTest, SoftwareSideActionsWaitOutTheSharedCooldown) {
  StartClass(2, false);
  Teacher("disconnect-student s-1001");
  PollOnce();
  ASSERT_TRUE(WaitForPacket({0x01, 0x00, 0x0E, 0x02}));
  // The next poll's cancellation for the other clicker comes within the cooldown: dropped.
  Teacher("cancel-raised-hand s-1002");
  PollOnce();
  Settle();
  EXPECT_TRUE(OfCommand(Received(), 0x0C, 0x0101).empty()) << "dropped in the cooldown";
  EXPECT_NE(Log().find("we need to wait 3 more second(s) for a previous one to finish"), std::string::npos);
  EXPECT_NE(Log().find("Clicker disconnected in software - student s-1001 endpoint " + ClickerEndpoint(0) +
                       " shortaddr 256 macaddr "),
            std::string::npos);
  // Once the cooldown has run out the same cancellation goes through. (Its lowered hand as the
  // software service receives it is the lesson transcript's.)
  for (int i = 0; i < 3; ++i) PollOnce();
  Teacher("cancel-raised-hand s-1002");
  PollOnce();
  ASSERT_TRUE(WaitForPacket({0x01, 0x01, 0x0C, 0x01}));
}

// A clicker that joins without signing in while the class requires a student takes itself for
// signed in: unless it is told otherwise, its student's answers are acknowledged and go nowhere.
TEST_F(ClickerTest, AClickerJoiningWithoutSigningInToAClassThatRequiresItIsBooted) {
  StartClass(1, false);
  const SimulatorConfig config;
  Bytes join = {0x01, 0x01, 0x07};
  for (const uint32_t word : {config.macHigh, config.macLow + 1})
    for (int shift = 24; shift >= 0; shift -= 8) join.push_back(static_cast<uint8_t>(word >> shift));
  simulator->ReportBattery(1, false, 200);  // switched on: its status report, then the join
  simulator->SendPacket(join);
  ASSERT_TRUE(WaitForPacket({0x01, 0x01, 0x08, 0x00}));
  EXPECT_TRUE(simulator->WaitForClickers(
      [](const std::map<int, ClickerInfo>& c) { return c.at(1).state == ClickerState::Refused; }, 20000));
  EXPECT_NE(Log().find("joined without signing in to a class that requires it; booting clicker..."), std::string::npos);
}
