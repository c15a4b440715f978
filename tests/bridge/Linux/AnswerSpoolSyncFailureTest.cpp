// The answer spool on a disk whose data sync fails (an I/O error under the journal). This test
// program is linked with fdatasync wrapped (see CMakeLists.txt): while failJournalSyncs is set,
// every data sync of a journal fails with EIO; every other sync goes through.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

#include "bridge/AnswerSpool.h"
#include "tests/protocol/LogCapture.h"
#include "tests/service/TestFiles.h"

namespace {

std::atomic<bool> failJournalSyncs{false};

bool IsJournal(int fd) {
  char target[4096];
  const ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target - 1);
  if (n <= 0) return false;
  const std::string path(target, static_cast<size_t>(n));
  const std::string name = std::string("/") + AnswerSpool::kFileName;
  return path.size() > name.size() && path.compare(path.size() - name.size(), name.size(), name) == 0;
}

const Voxlet::StringBuffer kFailingDiskReceiver = u"00-12-4B-00-0A-0B-0C-0F";

SpooledAnswer FailingDiskAnswer(int n) {
  SpooledAnswer answer;
  answer.receiver = kFailingDiskReceiver;
  answer.endpointId = u"clickerhardware.receiver." + kFailingDiskReceiver + u"." + Voxlet::UTF8to16(std::to_string(n));
  answer.questionId = u"q1";
  answer.document = u"<answer/>";
  answer.address = static_cast<uint16_t>(0x0100 + n);
  return answer;
}

std::vector<std::string> ClaimedEndpoints(const std::string& directory) {
  AnswerSpool spool(directory);
  std::vector<std::string> endpoints;
  for (const auto& [id, answer] : spool.Claim(kFailingDiskReceiver)) {
    const std::string endpoint = Voxlet::UTF16to8(answer.endpointId);
    endpoints.push_back(endpoint.substr(endpoint.rfind('.') + 1));
  }
  return endpoints;
}

// Keeps answers 0, 1 and 2, the last while the disk fails its sync; then 0 and 2 are taken.
struct SyncFailure {
  explicit SyncFailure(AnswerSpool& spool) {
    uint64_t id = 0;
    for (int n = 0; n < 2; ++n) {
      EXPECT_EQ(spool.Append(FailingDiskAnswer(n), {}, &id), AnswerSpool::Kept::Yes);
      ids.push_back(id);
    }
    EXPECT_TRUE(spool.WaitUntilSynced(std::chrono::seconds(30)));
    failJournalSyncs = true;
    EXPECT_EQ(spool.Append(
                  FailingDiskAnswer(2), [this](uint64_t) { ++relayed; }, &id),
              AnswerSpool::Kept::Yes);
    ids.push_back(id);
    EXPECT_TRUE(spool.WaitUntilSynced(std::chrono::seconds(30)));
    failJournalSyncs = false;
    spool.Remove(ids[0]);
    spool.Remove(ids[2]);
    EXPECT_TRUE(spool.WaitUntilSynced(std::chrono::seconds(30)));
  }
  std::vector<uint64_t> ids;
  std::atomic<int> relayed{0};
};

}  // namespace

extern "C" int __real_fdatasync(int fd);
extern "C" int __wrap_fdatasync(int fd) {
  if (failJournalSyncs && IsJournal(fd)) {
    errno = EIO;
    return -1;
  }
  return __real_fdatasync(fd);
}

// The answer whose sync failed is relayed all the same (its sender is told), nothing more is
// kept, and the removals that come later still reach the journal: the next run does not send the
// answers taken meanwhile again.
TEST(AnswerSpoolOnAFailingDisk, AFailedSyncStopsKeepingButNoRemovalIsLost) {
  TempDir dir;
  {
    LogCapture log;
    AnswerSpool spool(dir.Path());
    SyncFailure failure(spool);
    EXPECT_EQ(failure.relayed.load(), 1);
    EXPECT_FALSE(spool.Durable());
    uint64_t id = 0;
    EXPECT_EQ(spool.Append(FailingDiskAnswer(3), {}, &id), AnswerSpool::Kept::NoDisk);
    EXPECT_EQ(log.Containing("cannot be used (").size(), 1u);
  }
  EXPECT_EQ(ClaimedEndpoints(dir.Path()), (std::vector<std::string>{"1"}));
}

// Once the disk is tried again the journal is written anew from what the spool holds, and
// answers are kept again.
TEST(AnswerSpoolOnAFailingDisk, AfterAFailedSyncTheDiskIsUsedAgain) {
  TempDir dir;
  AnswerSpool::Options options;
  options.diskRetryDelay = std::chrono::milliseconds(0);
  {
    LogCapture log;
    AnswerSpool spool(dir.Path(), options);
    SyncFailure failure(spool);
    uint64_t id = 0;
    EXPECT_EQ(spool.Append(FailingDiskAnswer(3), {}, &id), AnswerSpool::Kept::Yes);
    EXPECT_TRUE(spool.Durable());
    EXPECT_EQ(log.Containing("keeps answers on disk again").size(), 1u);
    EXPECT_TRUE(spool.WaitUntilSynced(std::chrono::seconds(30)));
  }
  EXPECT_EQ(ClaimedEndpoints(dir.Path()), (std::vector<std::string>{"1", "3"}));
}
