// The answer spool on a disk that fills up while it keeps answers (a file size limit stands in
// for the disk).
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "bridge/AnswerSpool.h"
#include "platform/AppendFile.h"
#include "tests/platform/Linux/FileSizeLimit.h"
#include "tests/protocol/LogCapture.h"
#include "tests/service/TestFiles.h"

namespace {

const Voxlet::StringBuffer kFullDiskReceiver = u"00-12-4B-00-0A-0B-0C-0E";

// An answer of about 16 KiB.
SpooledAnswer LargeAnswer(int n) {
  SpooledAnswer answer;
  answer.receiver = kFullDiskReceiver;
  answer.endpointId = u"clickerhardware.receiver." + kFullDiskReceiver + u"." + Voxlet::UTF8to16(std::to_string(n));
  answer.questionId = u"q1";
  answer.document = Voxlet::StringBuffer(8 << 10, u'z');
  answer.address = static_cast<uint16_t>(0x0100 + n);
  return answer;
}

}  // namespace

// Once the disk takes no more, the line is said once and nothing more is kept; the answers kept
// before still leave the journal when they are taken (it empties in place), so that the next start
// does not send them again.
TEST(AnswerSpoolOnAFullDisk, AnswersKeptBeforeItFilledUpLeaveTheJournalWhenTaken) {
  TempDir dir;
  std::vector<uint64_t> kept;
  {
    LogCapture log;
    FileSizeLimit limit(Platform::AppendFile::kSegmentBytes + (100 << 10));
    ASSERT_TRUE(limit.Set());
    AnswerSpool spool(dir.Path());
    ASSERT_TRUE(spool.Durable());
    uint64_t id = 0;
    for (int n = 0; spool.Append(LargeAnswer(n), {}, &id) == AnswerSpool::Kept::Yes; ++n) kept.push_back(id);
    EXPECT_GT(kept.size(), 60u);  // the segment written ahead, and past it while the disk took them
    EXPECT_FALSE(spool.Durable());
    EXPECT_EQ(spool.Append(LargeAnswer(0), {}, &id), AnswerSpool::Kept::NoDisk);
    for (uint64_t taken : kept) spool.Remove(taken);
    EXPECT_TRUE(spool.WaitUntilSynced(std::chrono::seconds(30)));
    EXPECT_EQ(log.Containing("answers are relayed without being kept on disk").size(), 1u);
  }
  LogCapture log;
  AnswerSpool spool(dir.Path());
  EXPECT_TRUE(spool.Claim(kFullDiskReceiver).empty());
  EXPECT_EQ(spool.GetCounts().answers, 0u);
  EXPECT_TRUE(log.Containing("are skipped").empty());  // nothing half written was left
}

// A disk that has room again is used again: the journal is written anew from what the spool
// holds, the answers kept before the disk filled and those kept since are read by the next run,
// and the answers taken meanwhile are not.
TEST(AnswerSpoolOnAFullDisk, ADiskWithRoomAgainIsUsedAgain) {
  TempDir dir;
  AnswerSpool::Options options;
  options.diskRetryDelay = std::chrono::milliseconds(0);
  std::vector<uint64_t> kept;
  {
    LogCapture log;
    AnswerSpool spool(dir.Path(), options);
    uint64_t id = 0;
    {
      FileSizeLimit limit(Platform::AppendFile::kSegmentBytes + (100 << 10));
      ASSERT_TRUE(limit.Set());
      for (int n = 0; spool.Append(LargeAnswer(n), {}, &id) == AnswerSpool::Kept::Yes; ++n) kept.push_back(id);
      EXPECT_FALSE(spool.Durable());
    }
    for (size_t i = 1; i < kept.size(); ++i) spool.Remove(kept[i]);  // taken meanwhile
    ASSERT_EQ(spool.Append(LargeAnswer(1000), {}, &id), AnswerSpool::Kept::Yes);
    EXPECT_TRUE(spool.Durable());
    EXPECT_EQ(log.Containing("keeps answers on disk again").size(), 1u);
    EXPECT_TRUE(spool.WaitUntilSynced(std::chrono::seconds(30)));
  }
  AnswerSpool spool(dir.Path());
  std::vector<std::string> endpoints;
  for (const auto& [id, answer] : spool.Claim(kFullDiskReceiver))
    endpoints.push_back(Voxlet::UTF16to8(answer.endpointId));
  const std::string prefix = "clickerhardware.receiver." + Voxlet::UTF16to8(kFullDiskReceiver) + ".";
  EXPECT_EQ(endpoints, (std::vector<std::string>{prefix + "0", prefix + "1000"}));
}
