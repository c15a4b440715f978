// The answer pipeline on its own: a host that records the requests the pipeline sends, answered
// as the test says, so that each submission's way (its clicker's turn, the verdict,
// the back-off, the holding, the spool) is followed step by step without a receiver or a client.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bridge/AnswerPipeline.h"
#include "bridge/AnswerSpool.h"
#include "client/Strings.h"
#include "client/http/Message.h"
#include "content/Translation.h"
#include "tests/bridge/FakeSessionHost.h"
#include "tests/service/TestFiles.h"

namespace {

const Voxlet::StringBuffer kReceiverMac = kFakeReceiverMac;

class PipelineHost : public FakeSessionHost<IAnswerPipelineHost> {
 public:
  std::optional<AnsweredQuestion> question;
  std::vector<unsigned> questionsAsked;

  std::optional<AnsweredQuestion> FindAnsweredQuestion(unsigned int questionNumber) override {
    questionsAsked.push_back(questionNumber);
    return question;
  }
  Voxlet::StringBuffer SubmitPath() const override { return u"/voxlet/builtins/teachers/submit"; }
  bool AssessmentStarted() const override { return true; }
};

// The clicker and question a submission is for, as "<endpoint> <question>".
std::string Of(const Voxlet::MessagePtr& message) {
  const std::string body = message->GetContent().Bytes();
  const size_t id = body.find("questionid=\"");
  const std::string question = id == std::string::npos ? "-" : body.substr(id + 12, body.find('"', id + 12) - id - 12);
  return Voxlet::UTF16to8(message->Headers().Get(Voxlet::Header::XVantrelVoxletEndpoint)) + " " + question;
}

std::vector<std::string> Of(const std::vector<Voxlet::MessagePtr>& messages) {
  std::vector<std::string> of;
  for (const auto& message : messages) of.push_back(Of(message));
  return of;
}

}  // namespace

class AnswerPipelineTest : public ::testing::Test {
 protected:
  void SetUp() override { Build(); }
  void Build() {
    pipeline.reset();
    pipeline = std::make_unique<CAnswerPipeline>(host, clickers, lines, env);
  }
  // A clicker on record, with the endpoint "clickerhardware.receiver.<mac>.<address>".
  ClickerEndpointInfo Clicker(uint16_t address) {
    return clickers.ReportStatus(address, 0, 0, u"receiver." + kReceiverMac).clicker;
  }
  std::string EndpointOf(uint16_t address) { return Voxlet::UTF16to8(Clicker(address).endpointId); }
  void Answer(uint16_t address, const std::string& questionId) {
    pipeline->SubmitAnswer(u"A", Voxlet::UTF8to16(questionId), u"1", Clicker(address));
  }
  void UseSpool() {
    spool = std::make_shared<AnswerSpool>(spoolDir.Path());
    env.spool = spool;
    Build();
  }
  std::vector<std::string> LeftInSpool() {
    std::vector<std::string> left;
    for (const auto& [id, answer] : spool->Claim(kReceiverMac))
      left.push_back(Voxlet::UTF16to8(answer.endpointId) + " " + Voxlet::UTF16to8(answer.questionId));
    return left;
  }

  PipelineHost host;
  ClickerRegistry clickers;
  ClickerLines lines;
  SessionEnvironment env;
  TempDir spoolDir;
  std::shared_ptr<AnswerSpool> spool;
  std::unique_ptr<CAnswerPipeline> pipeline;  // declared last: gone before what it uses
};

// One clicker's answers go one at a time, each after the verdict on the one before; another
// clicker's go beside them.
TEST_F(AnswerPipelineTest, AClickersAnswersWaitForTheVerdictBeforeThemOthersDoNot) {
  const std::string a = EndpointOf(1), b = EndpointOf(2);
  Answer(1, "q1");
  Answer(1, "q2");
  Answer(2, "q1");
  ASSERT_EQ(Of(host.Sent()), (std::vector<std::string>{a + " q1", b + " q1"}));
  Reply(host.Sent()[1], 200);
  EXPECT_EQ(host.Sent().size(), 2u);  // the other clicker's verdict moves no line of the first
  Reply(host.Sent()[0], 201);
  EXPECT_EQ(Of(host.Sent()), (std::vector<std::string>{a + " q1", b + " q1", a + " q2"}));
}

// Without a verdict (a 5xx, no reply) the same document goes again: at once the first time, then
// after one tick, then two, doubling; the clicker's next answer waits all the while.
TEST_F(AnswerPipelineTest, AnAnswerWithoutVerdictGoesAgainByteForByteAfterABackOff) {
  Answer(1, "q1");
  Answer(1, "q2");
  ASSERT_EQ(host.Sent().size(), 1u);
  const std::string document = host.Sent()[0]->GetContent().Bytes();

  Reply(host.Sent()[0], 503);
  ASSERT_EQ(host.Sent().size(), 2u);
  NoReply(host.Sent()[1]);
  EXPECT_EQ(host.Sent().size(), 2u);
  pipeline->CountDownWaits();
  ASSERT_EQ(host.Sent().size(), 3u);
  Reply(host.Sent()[2], 500);
  pipeline->CountDownWaits();
  EXPECT_EQ(host.Sent().size(), 3u);
  pipeline->CountDownWaits();
  ASSERT_EQ(host.Sent().size(), 4u);
  for (const auto& sent : host.Sent()) EXPECT_EQ(sent->GetContent().Bytes(), document);

  Reply(host.Sent()[3], 200);
  ASSERT_EQ(host.Sent().size(), 5u);
  EXPECT_EQ(Of(host.Sent()[4]), EndpointOf(1) + " q2");
}

// A 4xx is the software service's verdict too: the answer is not sent again, the clicker is put
// in review mode, and its next answer goes.
TEST_F(AnswerPipelineTest, ARefusedAnswerIsNotSentAgainAndPutsTheClickerInReviewMode) {
  Answer(1, "q1");
  Answer(1, "q2");
  Reply(host.Sent()[0], 409);
  for (int tick = 0; tick < 10; ++tick) pipeline->CountDownWaits();
  EXPECT_EQ(Of(host.Sent()), (std::vector<std::string>{EndpointOf(1) + " q1", EndpointOf(1) + " q2"}));
  EXPECT_EQ(host.commands, 1);
}

// While the software service is away answers are held, as many as the limit; they go in the
// order they came once it is back. One beyond the limit is lost, not queued.
TEST_F(AnswerPipelineTest, AnswersHeldWhileTheServiceIsAwayGoInOrderOnceItIsBack) {
  env.heldAnswerLimit = 2;
  Build();
  host.connected = false;
  Answer(1, "q1");
  Answer(1, "q2");
  Answer(2, "q1");
  EXPECT_EQ(pipeline->HeldAnswerCount(), 2u);
  EXPECT_TRUE(host.Sent().empty());

  host.connected = true;
  pipeline->DeliverHeldAnswers();
  EXPECT_EQ(pipeline->HeldAnswerCount(), 0u);
  EXPECT_EQ(Of(host.Sent()), (std::vector<std::string>{EndpointOf(1) + " q1", EndpointOf(1) + " q2"}));
}

// An answer whose exchange failed while the software service went away waits with the held ones.
TEST_F(AnswerPipelineTest, AnAnswerLostWithTheServiceIsHeldUntilItIsBack) {
  Answer(1, "q1");
  host.connected = false;
  NoReply(host.Sent()[0]);
  EXPECT_EQ(pipeline->HeldAnswerCount(), 1u);
  host.connected = true;
  pipeline->DeliverHeldAnswers();
  ASSERT_EQ(host.Sent().size(), 2u);
  EXPECT_EQ(host.Sent()[1]->GetContent().Bytes(), host.Sent()[0]->GetContent().Bytes());
}

// An answer let go by the closing receiver is settled once: its exchange ending afterwards sends
// nothing, and no later tick does either.
TEST_F(AnswerPipelineTest, AnAnswerLetGoOnCloseIsNotSentAgainByItsLateReply) {
  Answer(1, "q1");
  Answer(2, "q1");
  Reply(host.Sent()[1], 503);  // sent again at once
  ASSERT_EQ(host.Sent().size(), 3u);
  Reply(host.Sent()[2], 503);  // waiting a tick to go again
  host.leaving = true;
  pipeline->LetGoUnsent();
  const size_t sent = host.Sent().size();
  Reply(host.Sent()[0], 503);
  for (int tick = 0; tick < 5; ++tick) pipeline->CountDownWaits();
  EXPECT_EQ(host.Sent().size(), sent);
}

// Kept in the spool before it leaves: the answer taken leaves the spool, the one still on its
// way when the receiver closes stays there for the next opening, and so does one that comes
// while the receiver closes.
TEST_F(AnswerPipelineTest, TheSpoolKeepsWhatTheServiceHasNotTaken) {
  UseSpool();
  Answer(1, "q1");
  Answer(2, "q1");
  ASSERT_TRUE(host.WaitForSent(2));
  const auto sent = host.Sent();
  Reply(Of(sent[0]) == EndpointOf(1) + " q1" ? sent[0] : sent[1], 200);
  host.farewell = true;
  Answer(3, "q1");
  host.leaving = true;
  pipeline->LetGoUnsent();
  ASSERT_TRUE(spool->WaitUntilSynced(std::chrono::seconds(20)));
  std::vector<std::string> left = LeftInSpool();
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{EndpointOf(2) + " q1", EndpointOf(3) + " q1"}));
}

// Answers from the spool wait for their clicker's hello to be answered, with the clicker's newer
// answers behind them; a clicker that does not come back has them sent after the bounded wait.
TEST_F(AnswerPipelineTest, SpooledAnswersWaitForTheirClickerOrTheEndOfTheWait) {
  {
    AnswerSpool earlierRun(spoolDir.Path());
    for (uint16_t address : {1, 2}) {
      SpooledAnswer record;
      record.receiver = kReceiverMac;
      record.endpointId = Clicker(address).endpointId;
      record.questionId = u"old";
      record.document = u"<old/>";
      uint64_t id = 0;
      ASSERT_EQ(earlierRun.Append(
                    record, [](uint64_t) {}, &id),
                AnswerSpool::Kept::Yes);
    }
    ASSERT_TRUE(earlierRun.WaitUntilSynced(std::chrono::seconds(20)));
  }
  env.spooledAnswerWaitTicks = 3;
  UseSpool();
  pipeline->DeliverHeldAnswers();
  Answer(1, "new");
  // Its record written, the new answer is parked behind the clicker's answers from the spool
  // (the spool's thread is done with it before the test goes on, and before it ends).
  ASSERT_TRUE(spool->WaitUntilSynced(std::chrono::seconds(20)));
  EXPECT_TRUE(host.Sent().empty());

  pipeline->ReleaseAwaitingAnswers(Clicker(1).endpointId);
  ASSERT_TRUE(host.WaitForSent(2));
  EXPECT_EQ(Of(host.Sent()), (std::vector<std::string>{EndpointOf(1) + " -", EndpointOf(1) + " new"}));
  pipeline->CountDownWaits();
  pipeline->CountDownWaits();
  EXPECT_EQ(host.Sent().size(), 2u);
  pipeline->CountDownWaits();
  ASSERT_EQ(host.Sent().size(), 3u);
  EXPECT_EQ(Voxlet::UTF16to8(host.Sent()[2]->Headers().Get(Voxlet::Header::XVantrelVoxletEndpoint)), EndpointOf(2));
}

// The parts of a multi-packet answer, in any order, make one submission of their joined bytes for
// the question a part named; a part outside its answer makes none.
TEST_F(AnswerPipelineTest, TheLastPartOfAnAnswerSubmitsThePartsJoined) {
  AnsweredQuestion question;
  question.id = u"q7";
  question.points = u"1";
  host.question = question;
  Clicker(1);
  const uint8_t first[] = {'4', '2'};
  const uint8_t second[] = {'7'};
  pipeline->OnEnhancedAnswerUpload(1, 9, 2, 1, 0, second, sizeof second);
  pipeline->OnEnhancedAnswerUpload(1, 9, 3, 5, 0, second, sizeof second);
  EXPECT_TRUE(host.Sent().empty());
  pipeline->OnEnhancedAnswerUpload(1, 9, 2, 0, 7, first, sizeof first);
  ASSERT_EQ(host.Sent().size(), 1u);
  EXPECT_EQ(host.questionsAsked, std::vector<unsigned>{7});
  const std::string joined =
      Voxlet::UTF16to8(Translation().translateToUnicodeString(std::vector<unsigned char>{'4', '2', '7'}, false));
  ASSERT_FALSE(joined.empty());
  EXPECT_NE(host.Sent()[0]->GetContent().Bytes().find(joined), std::string::npos);
}
