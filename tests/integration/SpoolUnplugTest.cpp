// The answer spool through the service binary and both simulators: the software service is away
// while 100 clickers answer, and the receiver is pulled out and plugged in again before the
// service comes back. The answers the closed receiver could not send stay in the spool; once
// the software service is back and the clickers join again, each reaches it exactly once, with
// the document made before the unplug.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <set>
#include <thread>

#include "tests/integration/SpoolLesson.h"

using namespace SpoolLesson;

TEST(AnswerSpoolUnplug, AnswersHeldWhenTheReceiverIsUnpluggedAreDeliveredOnceWhenTheServiceIsBack) {
  // The receiver's link outlives its pseudo-terminal: the one plugged in again is opened on the
  // next tick.
  Lesson lesson({"ReconnectOnSoftReset=1"});
  CReceiverSimulator& receiver = lesson.Receiver();
  ASSERT_TRUE(lesson.StartAtQuestion()) << lesson.LogText();
  ASSERT_TRUE(lesson.StopService()) << lesson.LogText();

  std::atomic<bool> stop{false};
  std::thread burst = AnswerAtLinePace(receiver, "C", stop);
  const bool allHeld = lesson.Log().WaitFor("Holding the answer of endpoint", kClickers);
  stop = true;
  burst.join();
  ASSERT_TRUE(allHeld) << lesson.LogText();
  const std::set<std::string> held = HeldEndpoints(lesson.Log().All());
  ASSERT_EQ(held.size(), static_cast<size_t>(kClickers));

  const std::string unpluggedUtc = UtcNow();
  ASSERT_TRUE(receiver.Replug());
  ASSERT_TRUE(lesson.Log().WaitFor("The receiver's link was lost")) << lesson.LogText();
  ASSERT_TRUE(lesson.Log().WaitFor("stays in the answer spool: the receiver closed before it was sent", kClickers))
      << lesson.LogText();
  ASSERT_TRUE(lesson.Log().WaitFor("Receiver_Connect: Connect to receiver return 0", 2)) << lesson.LogText();

  ASSERT_TRUE(lesson.StartService("class-1/lesson-quiz/q1"));
  ASSERT_TRUE(lesson.Log().WaitFor("Sending " + std::to_string(kClickers) +
                                   " answer(s) from the answer spool once their clickers are announced again"))
      << lesson.LogText();
  ASSERT_TRUE(lesson.JoinedAgainAndDelivered(held.size())) << lesson.LogText();
  // Stopped before counting, so that a late second copy would be counted too.
  EXPECT_EQ(lesson.StopHardwareService(), 0) << lesson.LogText();

  const std::map<std::string, int> copies = CheckedCopies(lesson.Manager(), "C", unpluggedUtc);
  EXPECT_EQ(copies.size(), held.size());
  for (const std::string& endpoint : held) EXPECT_EQ(copies.count(endpoint), 1u) << endpoint << " was not delivered";
  for (const auto& [endpoint, n] : copies) EXPECT_EQ(n, 1) << endpoint << " was delivered more than once";
  EXPECT_EQ(lesson.Log().Count("is lost"), 0u) << lesson.LogText();
}
