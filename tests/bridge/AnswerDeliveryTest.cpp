// An answer the radio acknowledged reaches the software service once: a clicker's goodbye waits
// for the clicker's answer, only the software service's verdict (a 2xx or a 4xx) ends an answer,
// and a receiver that closes leaves every answer it did not deliver in the answer spool.
#include <filesystem>

#include "ClickerFixture.h"
#include "bridge/AnswerSpool.h"
#include "tests/service/TestFiles.h"

namespace {
const std::string kSubmitPath = "/voxlet/builtins/teachers/submit";
const Bytes kAnswerAck = {0x00, 0x00, 0x8B};
const Bytes kReviewModeOfClicker0 = {0x01, 0x00, 0x0E, 0x00};
const Bytes kReviewModeOfClicker1 = {0x01, 0x01, 0x0E, 0x00};
}  // namespace

class AnswerDeliveryTest : public ClickerTest {
 protected:
  ~AnswerDeliveryTest() override { HoldSyncs(false); }

  // A spool whose syncs the test can hold: an answer's record is written, and what follows its
  // sync (the answer's turn) waits.
  void UseSpool(uint64_t sizeLimit = AnswerSpool::kDefaultSizeLimit) {
    AnswerSpool::Options options;
    options.sizeLimit = sizeLimit;
    options.observer = [this](const SpooledAnswer&, AnswerSpool::Stage stage) {
      if (stage != AnswerSpool::Stage::Synced) return;
      std::unique_lock lock(m_holdLock);
      m_holdChanged.wait(lock, [this] { return !m_holdSyncs; });
    };
    spool = std::make_shared<AnswerSpool>(spoolDir.Path(), options);
    sessionEnv.spool = spool;
  }
  void HoldSyncs(bool hold) {
    {
      std::lock_guard lock(m_holdLock);
      m_holdSyncs = hold;
    }
    m_holdChanged.notify_all();
  }
  // The answers of the receiver left in the spool for its next opening, by their text.
  std::vector<std::string> LeftInSpool(const Voxlet::StringBuffer& receiverMac) {
    std::vector<std::string> answers;
    for (const auto& [id, answer] : spool->Claim(receiverMac))
      answers.push_back(Voxlet::UTF16to8(answer.endpointId) + " " + Voxlet::UTF16to8(answer.questionId));
    std::sort(answers.begin(), answers.end());
    return answers;
  }
  // Ticks (each may send an answer again) until `done`, looked at a few times a tick.
  bool TickUntil(const std::function<bool()>& done) {
    for (int tick = 0; tick < 40; ++tick) {
      for (int look = 0; look < 25; ++look) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      Tick();
    }
    return done();
  }
  bool TickUntilHeld(size_t count) {
    return TickUntil([&] { return service.Server().WaitHeld(count, 0); });
  }
  bool TickUntilSubmissions(size_t count) {
    return TickUntil([&] { return service.Manager().SubmissionCount() >= count; });
  }
  // A request of the test's own stalls on the client's first connection, so that the
  // submissions go on further ones and breaking them off is not the client's loss.
  void StallTheFirstConnection() {
    service.Server().StallNext([](const ServiceSim::SimRequest& r) { return r.target == "/stalled"; });
    auto stalled = Voxlet::Message::Create();
    stalled->Open(Voxlet::Methods::Get, u"/stalled");
    stalled->SetOrderKey(u"test");
    ASSERT_TRUE(session->ServiceClient()->Send(stalled));
    ASSERT_TRUE(service.Server().WaitStalled(1, 20));
  }

  std::mutex m_holdLock;
  std::condition_variable m_holdChanged;
  bool m_holdSyncs = false;
  TempDir spoolDir;
  std::shared_ptr<AnswerSpool> spool;
};

using namespace SimAnswers;

// A student who answers and switches the clicker off at once: the answer is still being written
// to the spool when the goodbye comes. The software service gets the answer first, and takes it.
TEST_F(AnswerDeliveryTest, AClickersGoodbyeWaitsForItsAnswerWhoseRecordIsStillBeingWritten) {
  UseSpool();
  StartClass(2);
  HoldSyncs(true);
  simulator->Answer(0, 1, *Encode(Kind::Choice, "C"));
  ASSERT_TRUE(WaitUntil([&] { return spool->GetCounts().appended >= 1; }));
  simulator->Disassociate(0);
  // Packets are handed over in order, and the hand goes on the connection a goodbye would take:
  // once it has arrived, a goodbye sent at once would have too.
  simulator->RaiseHand(1, true);
  ASSERT_TRUE(WaitForCount("raisedhand", 1));
  EXPECT_EQ(Count("goodbye"), 0u) << "the goodbye overtook the clicker's answer";
  HoldSyncs(false);
  ASSERT_TRUE(WaitForCount("goodbye", 1));
  std::vector<std::string> routes = Routes();
  const auto submit = std::find(routes.begin(), routes.end(), "submit");
  ASSERT_NE(submit, routes.end());
  EXPECT_LT(submit - routes.begin(), std::find(routes.begin(), routes.end(), "goodbye") - routes.begin());
  ASSERT_EQ(service.Manager().SubmissionCount(), 1u);
  EXPECT_TRUE(service.Manager().Submissions().front().accepted);
  Settle();
  EXPECT_EQ(CountOf(Received(), kReviewModeOfClicker0), 0u);
  EXPECT_TRUE(spool->WaitUntilSynced(std::chrono::seconds(20)));
  EXPECT_EQ(spool->GetCounts().answers, 0u);
}

// A spool that is full keeps no more, and the answer goes unkept: still behind the same clicker's
// older answer whose record is being written, so that the software service sees them in order.
TEST_F(AnswerDeliveryTest, AnAnswerTheFullSpoolDidNotKeepStillWaitsForTheClickersOlderAnswer) {
  UseSpool(1500);  // one answer's record
  StartClass(1);
  HoldSyncs(true);
  simulator->Answer(0, 1, *Encode(Kind::Choice, "C"));
  ASSERT_TRUE(WaitUntil([&] { return spool->GetCounts().appended >= 1; }));
  simulator->Answer(0, 2, *Encode(Kind::Number, "7"));
  // Packets are handed over in order: once the session's end is in, the second answer was.
  simulator->EndSession(0);
  ASSERT_TRUE(WaitUntil([&] { return spool->GetCounts().notKept >= 2; }));
  HoldSyncs(false);
  ASSERT_TRUE(WaitForSubmissions(3));
  const auto submissions = service.Manager().Submissions();
  EXPECT_EQ(submissions[0].questionId, "q1");
  EXPECT_EQ(submissions[1].questionId, "q2");
  EXPECT_TRUE(submissions[2].questionId.empty());
}

// The spool had no room (or the disk failed) when the radio acknowledged an answer, and the
// answer went out unkept; the software service gives no verdict. Once the spool has room again
// the answer is kept after all: a process killed now leaves it in the journal, for the next
// start. Taken at last, it is submitted once and its record goes.
TEST_F(AnswerDeliveryTest, AnAnswerRelayedUnkeptIsKeptOnceTheSpoolHasRoomAgain) {
  UseSpool(1500);
  StartClass(1);
  const Voxlet::StringBuffer mac = session->ReceiverAddress();
  // Another receiver's answer takes the room there is.
  SpooledAnswer other;
  other.receiver = u"00-12-4B-00-0A-0B-0C-0E";
  other.endpointId = u"clickerhardware.receiver.00-12-4B-00-0A-0B-0C-0E.256";
  other.document = Voxlet::StringBuffer(600, u'z');
  uint64_t otherId = 0;
  ASSERT_EQ(spool->Append(other, {}, &otherId), AnswerSpool::Kept::Yes);
  StallTheFirstConnection();
  service.Server().HoldReplies(kSubmitPath);
  simulator->Answer(0, 1, *Encode(Kind::Choice, "C"));
  for (int send = 1; send <= 2; ++send) {  // then it waits a tick to go again
    SCOPED_TRACE(send);
    ASSERT_TRUE(TickUntilHeld(1));
    ASSERT_TRUE(service.Server().DropHeld("/submit"));
  }
  EXPECT_GE(spool->GetCounts().notKept, 1u);
  EXPECT_EQ(spool->GetCounts().answers, 1u);
  spool->Remove(otherId);
  ASSERT_TRUE(TickUntil([&] { return spool->GetCounts().answers == 1; }));
  ASSERT_TRUE(spool->WaitUntilSynced(std::chrono::seconds(20)));

  // What a process killed now leaves: the journal as it is on the disk, read by the next start.
  TempDir afterKill;
  std::filesystem::copy_file(spool->FilePath(), afterKill.Path() + "/" + AnswerSpool::kFileName);
  {
    AnswerSpool nextStart(afterKill.Path());
    const auto kept = nextStart.Claim(mac);
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(Voxlet::UTF16to8(kept.front().second.endpointId), ClickerEndpoint(0));
    EXPECT_EQ(Voxlet::UTF16to8(kept.front().second.questionId), "q1");
  }

  ASSERT_TRUE(service.Server().WaitHeld(1, 20) || TickUntilHeld(1));
  service.Server().HoldReplies("");
  service.Server().ReleaseHeld();
  ASSERT_TRUE(TickUntilSubmissions(1));
  EXPECT_EQ(service.Manager().Submissions().front().answer, "C");
  EXPECT_EQ(service.Manager().DuplicateSubmissions(), 0u);
  ASSERT_TRUE(WaitUntil([&] { return spool->GetCounts().answers == 0; }));
  service.Server().DropStalled();
}

// An exchange broken off again and again, a 503 from a software service that is starting: the
// same document goes again until the service gives a verdict, and no clicker goes to review mode.
// A 4xx is the verdict that refuses it: review mode.
TEST_F(AnswerDeliveryTest, OnlyTheSoftwareServicesVerdictEndsAnAnswer) {
  StartClass(2);
  StallTheFirstConnection();
  service.Server().HoldReplies(kSubmitPath);
  simulator->Answer(0, 1, *Encode(Kind::Choice, "C"));
  for (int send = 1; send <= 4; ++send) {
    SCOPED_TRACE(send);
    ASSERT_TRUE(TickUntilHeld(1));
    ASSERT_TRUE(service.Server().DropHeld("/submit"));
  }
  ASSERT_TRUE(TickUntilHeld(1));
  service.Server().HoldReplies("");
  service.Server().ReleaseHeld();
  ASSERT_TRUE(WaitForSubmissions(1));
  EXPECT_EQ(service.Manager().Submissions().front().answer, "C");

  // Three sends or more answered 503 (those held are counted, then answered; a release ends the
  // hold, which is set again): the answer is still not given up.
  ServiceSim::SimReply unavailable;
  unavailable.status = 503;
  service.OverrideReply(kSubmitPath, unavailable);
  service.Server().HoldReplies(kSubmitPath);
  simulator->Answer(1, 1, *Encode(Kind::Choice, "B"));
  for (int send = 1; send <= 3; ++send) {
    SCOPED_TRACE(send);
    ASSERT_TRUE(TickUntilHeld(1));
    service.Server().ReleaseHeld();
    service.Server().HoldReplies(kSubmitPath);
  }
  service.Server().HoldReplies("");
  service.OverrideReply("", {});
  ASSERT_TRUE(TickUntilSubmissions(2));
  EXPECT_EQ(service.Manager().Submissions().back().answer, "B");
  EXPECT_EQ(service.Manager().DuplicateSubmissions(), 0u);

  ServiceSim::SimReply refused;
  refused.status = 404;
  service.OverrideReply(kSubmitPath, refused);
  simulator->Answer(0, 2, *Encode(Kind::Number, "42"));
  ASSERT_TRUE(WaitForPacket(kReviewModeOfClicker0));
  // Commands reach the receiver in order: a review mode from the answers before would be here.
  EXPECT_EQ(CountOf(Received(), kReviewModeOfClicker0), 1u);
  EXPECT_EQ(CountOf(Received(), kReviewModeOfClicker1), 0u);
  EXPECT_EQ(session->ServiceClient()->State(), Voxlet::ClientStates::Connected);
  service.Server().DropStalled();
}

// A receiver closes (unplugged, the machine sleeps, the service stops) while an answer's
// exchange is still open: the client goes without ending it, and the answer goes back to the
// spool for the next opening instead of staying claimed by a session that is gone.
TEST_F(AnswerDeliveryTest, AnAnswerWhoseExchangeWasOpenWhenTheReceiverClosedGoesBackToTheSpool) {
  UseSpool();
  sessionEnv.farewellWaitMs = 100;
  sessionEnv.goodbyeWaitMs = 100;
  StartClass(1);
  const Voxlet::StringBuffer mac = session->ReceiverAddress();
  service.Server().StallNext(
      [](const ServiceSim::SimRequest& r) { return r.target.find("/submit") != std::string::npos; });
  simulator->Answer(0, 1, *Encode(Kind::Choice, "C"));
  ASSERT_TRUE(service.Server().WaitStalled(1, 20));
  receiver->Close();
  ASSERT_TRUE(spool->WaitUntilSynced(std::chrono::seconds(20)));
  EXPECT_EQ(LeftInSpool(mac), (std::vector<std::string>{ClickerEndpoint(0) + " q1"}));
  service.Server().DropStalled();
}

// An answer the radio acknowledges while the receiver says goodbye (its clickers are being let
// go, the reply to a goodbye is slow) is kept for the next opening: the clicker is still on
// record, and the packet is handed over before the session lets go.
TEST_F(AnswerDeliveryTest, AnAnswerAcknowledgedWhileTheReceiverSaysGoodbyeIsKeptForTheNextOpening) {
  UseSpool();
  StartClass(2);
  const Voxlet::StringBuffer mac = session->ReceiverAddress();
  service.Server().HoldReplies("/voxlet/builtins/anyone/goodbye");
  std::thread closer([&] { receiver->Close(); });
  const bool sayingGoodbye = service.Server().WaitHeld(1, 20);  // a clicker's goodbye
  const size_t acks = CountOf(Received(), kAnswerAck);
  simulator->Answer(1, 1, *Encode(Kind::Choice, "B"));
  const bool acknowledged = WaitForPacket(kAnswerAck, acks + 1);
  service.Server().HoldReplies("");
  service.Server().ReleaseHeld();
  closer.join();
  ASSERT_TRUE(sayingGoodbye);
  ASSERT_TRUE(acknowledged);
  ASSERT_TRUE(spool->WaitUntilSynced(std::chrono::seconds(20)));
  EXPECT_EQ(LeftInSpool(mac), (std::vector<std::string>{ClickerEndpoint(1) + " q1"}));
  EXPECT_EQ(service.Manager().SubmissionCount(), 0u);
}
