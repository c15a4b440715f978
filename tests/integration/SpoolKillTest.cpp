// The answer spool through the service binary and both simulators: the software service is away
// while 100 clickers answer at the pace of the receiver's line, and the hardware service is
// killed (SIGKILL) in the middle of the burst. After both start again and the clickers join
// again, every answer the service had kept (its "Holding" line was written before the kill)
// reaches the software service exactly once, with the document made before the kill.
//
// What cannot be kept are the answers that were on the line or in the service's queues at the
// kill: the oldest of them and the newest answer kept, measured from the end of the frame on the
// line to the kill, are recorded as properties (not asserted: a loaded machine widens them).
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "tests/integration/SpoolLesson.h"

using namespace SpoolLesson;

namespace {

constexpr int kKeptBeforeKill = 50;

}  // namespace

TEST(AnswerSpoolKill, EveryAnswerKeptBeforeASigkillInABurstIsDeliveredOnceAfterTheRestart) {
  Lesson lesson;
  CReceiverSimulator& receiver = lesson.Receiver();
  std::mutex lock;
  std::map<uint16_t, Clock::time_point> written;  // answer frames on the line, by clicker
  receiver.OnWritten([&](const std::vector<uint8_t>& bytes, Clock::time_point at) {
    const std::vector<uint8_t> frame(bytes.begin(), bytes.end() - (bytes.empty() ? 0 : 1));
    const std::optional<std::vector<uint8_t>> packet = SimFraming::Unframe(frame);
    if (!packet || packet->size() < 4 || (*packet)[2] != kAnswerUpload) return;
    std::lock_guard guard(lock);
    written.emplace(static_cast<uint16_t>(((*packet)[0] << 8) | (*packet)[1]), at);
  });
  ASSERT_TRUE(lesson.StartAtQuestion()) << lesson.LogText();
  ASSERT_TRUE(lesson.StopService()) << lesson.LogText();

  // The burst, one frame after the other at the line's pace; the kill once half of it is kept.
  std::atomic<bool> stop{false};
  std::thread burst = AnswerAtLinePace(receiver, "B", stop);
  const bool halfKept = lesson.Log().WaitFor("Holding the answer of endpoint", kKeptBeforeKill);
  lesson.Process().Signal(SIGKILL);
  const Clock::time_point killedAt = Clock::now();
  const std::string killedUtc = UtcNow();
  ASSERT_TRUE(lesson.Log().WaitClosed());
  lesson.Process().Wait();
  stop = true;
  burst.join();
  ASSERT_TRUE(halfKept) << lesson.LogText();
  const std::set<std::string> kept = HeldEndpoints(lesson.Log().All());
  ASSERT_GE(kept.size(), static_cast<size_t>(kKeptBeforeKill));

  // Both start again; the clickers join again and their kept answers follow.
  ASSERT_TRUE(lesson.StartService("class-1/lesson-quiz/q1"));
  ASSERT_TRUE(lesson.StartHardwareService()) << lesson.LogText();
  ASSERT_TRUE(lesson.Log().WaitFor("from the answer spool once their clickers are announced again"))
      << lesson.LogText();
  ASSERT_TRUE(lesson.JoinedAgainAndDelivered(kept.size())) << lesson.LogText();
  // Stopped before counting, so that a late second copy would be counted too.
  EXPECT_EQ(lesson.StopHardwareService(), 0) << lesson.LogText();

  const std::map<std::string, int> copies = CheckedCopies(lesson.Manager(), "B", killedUtc);
  for (const std::string& endpoint : kept) EXPECT_EQ(copies.count(endpoint), 1u) << endpoint << " was not delivered";
  for (const auto& [endpoint, n] : copies) EXPECT_EQ(n, 1) << endpoint << " was delivered more than once";

  // The window: the oldest answer on the line that was not kept, and the newest that was, by
  // how long before the kill their frames were written.
  double unkeptOldest = 0, keptNewest = -1;
  size_t unkept = 0;
  {
    std::lock_guard guard(lock);
    for (const auto& [address, at] : written) {
      if (at >= killedAt) continue;
      const double before = std::chrono::duration<double, std::milli>(killedAt - at).count();
      const std::string endpoint = kEndpointPrefix + std::to_string(address);
      if (copies.count(endpoint)) {
        keptNewest = keptNewest < 0 ? before : std::min(keptNewest, before);
      } else {
        ++unkept;
        unkeptOldest = std::max(unkeptOldest, before);
      }
    }
  }
  RecordProperty("kept_said_before_kill", std::to_string(kept.size()));
  RecordProperty("delivered", std::to_string(copies.size()));
  RecordProperty("unkept_on_the_line", std::to_string(unkept));
  RecordProperty("unkept_oldest_ms", std::to_string(unkeptOldest));
  RecordProperty("kept_newest_ms", std::to_string(keptNewest));
  std::printf(
      "said kept before the kill %zu, delivered %zu; written before the kill but not kept %zu, the oldest of them "
      "%.3f ms before it; the newest kept written %.3f ms before it\n",
      kept.size(), copies.size(), unkept, unkeptOldest, keptNewest);
}
