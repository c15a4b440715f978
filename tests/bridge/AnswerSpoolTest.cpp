// The answer spool's journal: what one run leaves is what the next run reads, a damaged or
// cut-short record costs only itself, the size limit, grouped syncs, and disk trouble.
#include <gtest/gtest.h>

#include <algorithm>
#include <boost/crc.hpp>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include "bridge/AnswerSpool.h"
#include "platform/AppendFile.h"
#include "tests/protocol/LogCapture.h"
#include "tests/service/ReadOnlyDirectory.h"
#include "tests/service/TestFiles.h"

namespace {

const Voxlet::StringBuffer kSpoolReceiverMac = u"00-12-4B-00-0A-0B-0C-0D";

SpooledAnswer Answer(int n, const Voxlet::StringBuffer& receiver = kSpoolReceiverMac) {
  SpooledAnswer answer;
  const Voxlet::StringBuffer number = Voxlet::UTF8to16(std::to_string(n));
  answer.receiver = receiver;
  answer.endpointId = u"clickerhardware.receiver." + receiver + u"." + number;
  answer.studentId = u"s-" + number;
  answer.questionId = u"q1";
  answer.path = u"/voxlet/builtins/teachers/submit?assessment=lesson-quiz&class=class-1";
  // Text beyond ASCII and a lone surrogate: the document comes back unit for unit.
  answer.document = u"<?xml version=\"1.0\"?><voxlet:submission>Gr\u00fc\u00dfe \U0001F600 \xD800 " + number +
                    u"</voxlet:submission>";
  answer.address = static_cast<uint16_t>(0x0100 + n);
  answer.empty = n % 2 == 0;
  return answer;
}

// Appends and waits until the record is synced; its id.
uint64_t Keep(AnswerSpool& spool, const SpooledAnswer& answer) {
  std::mutex lock;
  std::condition_variable done;
  bool synced = false;
  uint64_t id = 0;
  EXPECT_EQ(spool.Append(
                answer,
                [&](uint64_t) {
                  std::lock_guard guard(lock);
                  synced = true;
                  done.notify_all();
                },
                &id),
            AnswerSpool::Kept::Yes);
  std::unique_lock guard(lock);
  EXPECT_TRUE(done.wait_for(guard, std::chrono::seconds(30), [&] { return synced; }));
  return id;
}

std::vector<SpooledAnswer> Claimed(AnswerSpool& spool, const Voxlet::StringBuffer& receiver = kSpoolReceiverMac) {
  std::vector<SpooledAnswer> answers;
  for (auto& [id, answer] : spool.Claim(receiver)) answers.push_back(std::move(answer));
  return answers;
}

// Offsets of the records in a journal of answers only (each begins with the magic).
std::vector<size_t> RecordOffsets(const std::string& journal) {
  std::vector<size_t> offsets;
  const std::string magic = AnswerSpool::kRecordMagic;
  for (size_t at = journal.find(magic); at != std::string::npos; at = journal.find(magic, at + 1))
    offsets.push_back(at);
  return offsets;
}

// The journal's records without the zeros written ahead of them.
std::string Records(const std::string& journal) {
  const std::vector<size_t> offsets = RecordOffsets(journal);
  if (offsets.empty()) return {};
  const size_t last = offsets.back();
  uint32_t length = 0;
  for (int i = 0; i < 4; ++i)
    length |= static_cast<uint32_t>(static_cast<unsigned char>(journal[last + 4 + i])) << (8 * i);
  return journal.substr(0, last + 21 + length);
}

bool AllZeros(const std::string& bytes) { return bytes.find_first_not_of('\0') == std::string::npos; }

}  // namespace

TEST(AnswerSpool, WhatOneRunKeepsTheNextRunClaimsOnceInOrderAndUnchanged) {
  TempDir dir;
  const std::string directory = dir.File("spool/nested");  // created when missing
  {
    AnswerSpool spool(directory);
    EXPECT_TRUE(spool.Durable());
    for (int n = 1; n <= 3; ++n) Keep(spool, Answer(n));
    Keep(spool, Answer(7, u"other"));
    EXPECT_TRUE(spool.Claim(kSpoolReceiverMac).empty());  // claimed by their writer
  }
  AnswerSpool spool(directory);
  EXPECT_EQ(Claimed(spool, u"other"), std::vector<SpooledAnswer>{Answer(7, u"other")});
  const std::vector<SpooledAnswer> expected = {Answer(1), Answer(2), Answer(3)};
  EXPECT_EQ(Claimed(spool), expected);
  EXPECT_TRUE(spool.Claim(kSpoolReceiverMac).empty());  // each once
  EXPECT_EQ(spool.GetCounts().answers, 4u);
}

TEST(AnswerSpool, RemovedAnswersStayRemovedAndAnEmptySpoolHoldsOnlyZeros) {
  TempDir dir;
  uint64_t second = 0;
  {
    AnswerSpool spool(dir.Path());
    const uint64_t first = Keep(spool, Answer(1));
    second = Keep(spool, Answer(2));
    const uint64_t third = Keep(spool, Answer(3));
    spool.Remove(first);
    spool.Remove(third);
  }
  std::string path;
  {
    AnswerSpool spool(dir.Path());
    path = spool.FilePath();
    auto claimed = spool.Claim(kSpoolReceiverMac);
    ASSERT_EQ(claimed.size(), 1u);
    EXPECT_EQ(claimed[0].second, Answer(2));
    // A new answer gets an id of its own, not one an earlier run used.
    const uint64_t fourth = Keep(spool, Answer(4));
    EXPECT_GT(fourth, second);
    spool.Remove(claimed[0].first);
    spool.Remove(fourth);
    // Started over in the space the journal has: never cut back while in use.
    const std::string journal = ReadFile(path);
    EXPECT_EQ(journal.size(), Platform::AppendFile::kSegmentBytes);
    EXPECT_TRUE(AllZeros(journal));
  }
  AnswerSpool spool(dir.Path());
  EXPECT_TRUE(spool.Claim(kSpoolReceiverMac).empty());
  EXPECT_EQ(spool.GetCounts().answers, 0u);
}

// After a start over, the new records lie over where older ones were: none of those comes back,
// however much longer they were than the new ones.
TEST(AnswerSpool, AJournalStartedOverReadsOnlyWhatCameAfter) {
  TempDir dir;
  {
    AnswerSpool spool(dir.Path());
    std::vector<uint64_t> ids;
    for (int n = 1; n <= 5; ++n) {
      SpooledAnswer longer = Answer(n);
      longer.document += Voxlet::StringBuffer(300, u'x');
      ids.push_back(Keep(spool, longer));
    }
    for (uint64_t id : ids) spool.Remove(id);
    Keep(spool, Answer(6));
  }
  AnswerSpool spool(dir.Path());
  EXPECT_EQ(Claimed(spool), std::vector<SpooledAnswer>{Answer(6)});
}

// Answers past the space written ahead grow the journal a segment at a time, and all of them are
// read back; a journal grown far past one segment is cut back to one when it starts over.
TEST(AnswerSpool, AJournalGrowsASegmentAtATimeAndIsCutBackOnceEmpty) {
  TempDir dir;
  const Voxlet::StringBuffer bulk(200 << 10, u'y');  // 400 KiB a document
  std::vector<SpooledAnswer> expected;
  std::string path;
  {
    AnswerSpool spool(dir.Path());
    path = spool.FilePath();
    for (int n = 1; n <= 12; ++n) {
      expected.push_back(Answer(n));
      expected.back().document += bulk;
      Keep(spool, expected.back());
    }
    EXPECT_EQ(std::filesystem::file_size(path) % Platform::AppendFile::kSegmentBytes, 0u);
    EXPECT_GT(std::filesystem::file_size(path), 4 * Platform::AppendFile::kSegmentBytes);
  }
  std::vector<uint64_t> ids;
  {
    AnswerSpool spool(dir.Path());
    auto claimed = spool.Claim(kSpoolReceiverMac);
    std::vector<SpooledAnswer> answers;
    for (auto& [id, answer] : claimed) {
      ids.push_back(id);
      answers.push_back(std::move(answer));
    }
    EXPECT_EQ(answers, expected);
    for (uint64_t id : ids) spool.Remove(id);
    const std::string journal = ReadFile(path);
    EXPECT_EQ(journal.size(), Platform::AppendFile::kSegmentBytes);
    EXPECT_TRUE(AllZeros(journal));
    Keep(spool, Answer(20));
  }
  AnswerSpool spool(dir.Path());
  EXPECT_EQ(Claimed(spool), std::vector<SpooledAnswer>{Answer(20)});
}

// A journal as written before the space ahead was kept (records up to the end of the file) reads
// the same, and gets that space.
TEST(AnswerSpool, AJournalWithoutSpaceAheadReadsTheSame) {
  TempDir dir;
  std::string path;
  {
    AnswerSpool spool(dir.Path());
    path = spool.FilePath();
    for (int n = 1; n <= 3; ++n) Keep(spool, Answer(n));
  }
  const std::string records = Records(ReadFile(path));
  ASSERT_EQ(RecordOffsets(records).size(), 3u);
  WriteFile(path, records);
  {
    LogCapture log;
    AnswerSpool spool(dir.Path());
    EXPECT_EQ(Claimed(spool), (std::vector<SpooledAnswer>{Answer(1), Answer(2), Answer(3)}));
    EXPECT_TRUE(log.Containing("are skipped").empty());
    Keep(spool, Answer(4));
  }
  const std::string journal = ReadFile(path);
  EXPECT_EQ(journal.size(), Platform::AppendFile::kSegmentBytes);
  EXPECT_EQ(RecordOffsets(journal).size(), 4u);
  AnswerSpool spool(dir.Path());
  EXPECT_EQ(Claimed(spool).size(), 4u);
}

TEST(AnswerSpool, ALetGoAnswerIsClaimedAgain) {
  TempDir dir;
  AnswerSpool spool(dir.Path());
  const uint64_t id = Keep(spool, Answer(1));
  spool.Unclaim(id);
  auto claimed = spool.Claim(kSpoolReceiverMac);
  ASSERT_EQ(claimed.size(), 1u);
  EXPECT_EQ(claimed[0].first, id);
  EXPECT_TRUE(spool.Claim(kSpoolReceiverMac).empty());
}

// A crash in the middle of a write, and damage anywhere: the record hit is skipped with a line,
// the whole records before and after it are read, and the journal is written anew without it.
// Both in a journal with the space written ahead (where a write cut short leaves zeros) and in
// one without it (where it leaves the file shorter).
TEST(AnswerSpool, ACutShortOrDamagedRecordCostsOnlyItself) {
  struct Damage {
    const char* name;
    std::function<void(std::string&, const std::vector<size_t>&)> apply;
    std::vector<int> kept;
  };
  const std::vector<Damage> damages = {
      {"last record cut short", [](std::string& j, const auto&) { j.resize(j.size() - 5); }, {1, 2, 3}},
      {"only a header's start left", [](std::string& j, const auto& at) { j.resize(at[3] + 7); }, {1, 2, 3}},
      {"a byte of the second's text flipped", [](std::string& j, const auto& at) { j[at[2] - 9] ^= 0x10; }, {1, 3, 4}},
      {"the second's length flipped", [](std::string& j, const auto& at) { j[at[1] + 5] ^= 0x01; }, {1, 3, 4}},
      {"the first's magic flipped", [](std::string& j, const auto& at) { j[at[0]] = 'x'; }, {2, 3, 4}},
      {"garbage between records",
       [](std::string& j, const auto& at) {
         j.insert(at[2], std::string(AnswerSpool::kRecordMagic) + " and more noise");
       },
       {1, 2, 3, 4}},
  };
  for (const bool spaceAhead : {true, false}) {
    for (const Damage& damage : damages) {
      SCOPED_TRACE(std::string(damage.name) + (spaceAhead ? ", space ahead" : ", no space ahead"));
      TempDir dir;
      std::string path;
      {
        AnswerSpool spool(dir.Path());
        for (int n = 1; n <= 4; ++n) Keep(spool, Answer(n));
        path = spool.FilePath();
      }
      const std::string written = ReadFile(path);
      std::string journal = Records(written);
      const std::vector<size_t> offsets = RecordOffsets(journal);
      ASSERT_EQ(offsets.size(), 4u);
      damage.apply(journal, offsets);
      if (spaceAhead) journal.resize(std::max(journal.size(), written.size()), '\0');
      WriteFile(path, journal);

      std::vector<SpooledAnswer> expected;
      for (int n : damage.kept) expected.push_back(Answer(n));
      {
        LogCapture log;
        AnswerSpool spool(dir.Path());
        EXPECT_EQ(Claimed(spool), expected);
        EXPECT_EQ(log.Containing("are not a whole answer (a write cut short or damaged) and are skipped").size(), 1u);
      }
      LogCapture log;
      AnswerSpool spool(dir.Path());
      EXPECT_EQ(Claimed(spool), expected);
      EXPECT_TRUE(log.Containing("are skipped").empty());  // said once: the journal was written anew
    }
  }
}

TEST(AnswerSpool, PastTheSizeLimitNothingMoreIsKeptUntilAnAnswerLeaves) {
  TempDir dir;
  AnswerSpool::Options options;
  options.sizeLimit = 2048;
  AnswerSpool spool(dir.Path(), options);
  std::vector<uint64_t> ids;
  uint64_t id = 0;
  while (spool.Append(Answer(static_cast<int>(ids.size())), {}, &id) == AnswerSpool::Kept::Yes) ids.push_back(id);
  ASSERT_GE(ids.size(), 2u);
  EXPECT_LE(spool.GetCounts().bytes, options.sizeLimit);
  EXPECT_EQ(spool.Append(Answer(99), {}, &id), AnswerSpool::Kept::Full);
  spool.Remove(ids.front());
  EXPECT_EQ(spool.Append(Answer(99), {}, &id), AnswerSpool::Kept::Yes);
  EXPECT_TRUE(spool.Durable());
}

// A journal grown far past what it holds (an answer never taken keeps it from starting over)
// is written anew while answers keep coming and syncing: the answers kept are those the next
// run claims. (The journal is replaced by a rename, which Windows refuses over a file this
// process holds open: it is closed first.)
TEST(AnswerSpool, AJournalWrittenAnewWhileAnswersComeKeepsWhatItHolds) {
  TempDir dir;
  AnswerSpool::Options options;
  options.sizeLimit = 2048;
  std::vector<SpooledAnswer> expected = {Answer(1)};
  {
    AnswerSpool spool(dir.Path(), options);
    Keep(spool, Answer(1));  // never taken
    for (int n = 2; n < 40; ++n) spool.Remove(Keep(spool, Answer(n)));
    Keep(spool, Answer(40));
    EXPECT_TRUE(spool.Durable());
    // Without the rewrites it would hold every record and removal, many times the limit.
    EXPECT_LT(Records(ReadFile(spool.FilePath())).size(), 3 * options.sizeLimit);
    expected.push_back(Answer(40));
  }
  AnswerSpool next(dir.Path(), options);
  EXPECT_EQ(Claimed(next), expected);
}

// The records written while a sync runs share the next one: a burst costs two syncs, not one
// per answer. The first record's sync is held until the whole burst is written.
TEST(AnswerSpool, ABurstWrittenDuringASyncSharesTheNextSync) {
  TempDir dir;
  std::mutex lock;
  std::condition_variable changed;
  bool burstWritten = false;
  size_t synced = 0;
  AnswerSpool::Options options;
  options.observer = [&](const SpooledAnswer&, AnswerSpool::Stage stage) {
    if (stage != AnswerSpool::Stage::Synced) return;
    std::unique_lock guard(lock);
    changed.wait(guard, [&] { return burstWritten; });
    ++synced;
    changed.notify_all();
  };
  AnswerSpool spool(dir.Path(), options);
  uint64_t id = 0;
  for (int n = 0; n < 100; ++n) ASSERT_EQ(spool.Append(Answer(n), {}, &id), AnswerSpool::Kept::Yes);
  {
    std::unique_lock guard(lock);
    burstWritten = true;
    changed.notify_all();
    ASSERT_TRUE(changed.wait_for(guard, std::chrono::seconds(30), [&] { return synced == 100; }));
  }
  // One sync for the first record (it may already have covered a few more), one for the rest.
  EXPECT_LE(spool.GetCounts().syncs, 2u);
  EXPECT_EQ(spool.GetCounts().appended, 100u);
}

// What the software service took leaves the journal for good: the emptying of a journal left
// without answers is synced by the spool's own thread without anyone waiting for it, and with it
// the removals before (else the answers would come back after the machine went down, and be sent
// again). A removal alone is synced with the next record.
TEST(AnswerSpool, TheEmptyingIsSyncedUnaskedAndRemovalsWithTheNextSync) {
  TempDir dir;
  AnswerSpool spool(dir.Path());
  const uint64_t first = Keep(spool, Answer(1));
  const uint64_t second = Keep(spool, Answer(2));
  uint64_t syncs = spool.GetCounts().syncs;
  EXPECT_TRUE(spool.WaitUntilSynced(std::chrono::seconds(0)));  // nothing written since

  spool.Remove(first);  // a removal record
  const uint64_t third = Keep(spool, Answer(3));
  EXPECT_TRUE(spool.WaitUntilSynced(std::chrono::seconds(0)));  // covered by the third's sync
  EXPECT_EQ(spool.GetCounts().syncs, ++syncs);
  spool.Remove(second);
  spool.Remove(third);  // the journal starts over
  EXPECT_TRUE(spool.WaitUntilSynced(std::chrono::seconds(30)));
  EXPECT_EQ(spool.GetCounts().syncs, ++syncs);
  EXPECT_TRUE(AllZeros(ReadFile(spool.FilePath())));
  spool.Remove(second);  // gone already: nothing is written, nothing synced
  EXPECT_TRUE(spool.WaitUntilSynced(std::chrono::seconds(0)));
  EXPECT_EQ(spool.GetCounts().syncs, syncs);
}

// A journal that started over takes a record at its start only once its zeros are on the disk: a
// record written over records whose zeros are not could bring them back with it after a crash.
// With the spool's thread held before that sync, the next answer's write waits for it.
TEST(AnswerSpool, ARecordAfterTheEmptyingWaitsUntilTheZerosAreSynced) {
  TempDir dir;
  std::mutex lock;
  std::condition_variable changed;
  bool hold = true, held = false;
  AnswerSpool::Options options;
  options.observer = [&](const SpooledAnswer& answer, AnswerSpool::Stage stage) {
    if (stage != AnswerSpool::Stage::Synced || answer.address != Answer(2).address) return;
    std::unique_lock guard(lock);
    held = true;
    changed.notify_all();
    changed.wait(guard, [&] { return !hold; });
  };
  AnswerSpool spool(dir.Path(), options);
  const uint64_t first = Keep(spool, Answer(1));
  uint64_t second = 0;
  ASSERT_EQ(spool.Append(Answer(2), {}, &second), AnswerSpool::Kept::Yes);
  {
    // The spool's thread is in the second's hand-over: it syncs nothing more until let go.
    std::unique_lock guard(lock);
    ASSERT_TRUE(changed.wait_for(guard, std::chrono::seconds(30), [&] { return held; }));
  }
  spool.Remove(first);
  spool.Remove(second);  // the journal starts over; its zeros are not synced
  std::promise<AnswerSpool::Kept> kept;
  std::future<AnswerSpool::Kept> appended = kept.get_future();
  std::thread writer([&] {
    uint64_t id = 0;
    kept.set_value(spool.Append(Answer(3), {}, &id));
  });
  // Not a measurement: the write cannot end before the sync it waits for, which is held.
  EXPECT_EQ(appended.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
  {
    std::lock_guard guard(lock);
    hold = false;
  }
  changed.notify_all();
  EXPECT_EQ(appended.get(), AnswerSpool::Kept::Yes);
  writer.join();
  EXPECT_TRUE(spool.WaitUntilSynced(std::chrono::seconds(30)));
  EXPECT_EQ(Claimed(spool), std::vector<SpooledAnswer>{});  // the third is its writer's
  EXPECT_EQ(spool.GetCounts().answers, 1u);
}

TEST(AnswerSpool, DiskTroubleIsSaidOnceAndNothingIsKept) {
  TempDir dir;
  WriteFile(dir.File("plain-file"), "not a directory");
  ReadOnlyDirectory readOnly(dir.File("read-only"));
  ASSERT_TRUE(readOnly.Made());
  for (const std::string& directory : {dir.File("plain-file/spool"), readOnly.Path()}) {
    SCOPED_TRACE(directory);
    LogCapture log;
    {
      AnswerSpool spool(directory);
      EXPECT_FALSE(spool.Durable());
      uint64_t id = 0;
      bool synced = false;
      EXPECT_EQ(spool.Append(
                    Answer(1), [&](uint64_t) { synced = true; }, &id),
                AnswerSpool::Kept::NoDisk);
      EXPECT_EQ(spool.Append(Answer(2), {}, &id), AnswerSpool::Kept::NoDisk);
      EXPECT_FALSE(synced);
    }
    EXPECT_EQ(log.Containing("cannot be used").size(), 1u);
    EXPECT_EQ(log.Containing("answers are relayed without being kept on disk").size(), 1u);
  }
}

// A second service started with the same settings while the first runs: it neither reads the
// first one's answers (it would send them again) nor writes the journal under it, and says so
// once. The first keeps its answers as before, and the next run reads them.
TEST(AnswerSpool, OneProcessOwnsASpoolDirectoryAtATime) {
  TempDir dir;
  {
    AnswerSpool first(dir.Path());
    Keep(first, Answer(1));
    {
      LogCapture log;
      AnswerSpool second(dir.Path());
      EXPECT_FALSE(second.Durable());
      EXPECT_EQ(Claimed(second), std::vector<SpooledAnswer>{});
      uint64_t id = 0;
      EXPECT_EQ(second.Append(Answer(2), {}, &id), AnswerSpool::Kept::NoDisk);
      EXPECT_EQ(log.Containing("is not used by this process").size(), 1u);
    }
    EXPECT_TRUE(first.Durable());
    Keep(first, Answer(3));
  }
  AnswerSpool next(dir.Path());
  EXPECT_EQ(Claimed(next), (std::vector<SpooledAnswer>{Answer(1), Answer(3)}));
}

// Answers are not submitted into a class that ended long ago: past the age limit they are named
// in the log and dropped, when the spool is read and when a running spool's answers are claimed.
TEST(AnswerSpool, AnswersPastTheAgeLimitAreDroppedNotSubmitted) {
  TempDir dir;
  int64_t now = 1'800'000'000'000;  // ms since 1970
  AnswerSpool::Options options;
  options.now = [&now] { return now; };
  options.maxAge = std::chrono::hours(24 * 7);
  {
    AnswerSpool spool(dir.Path(), options);
    Keep(spool, Answer(1));
    now += 3'600'000;
    Keep(spool, Answer(2));
  }
  now += 7 * 86'400'000LL - 60'000;  // the first is a minute past the limit, the second not
  {
    LogCapture log;
    AnswerSpool spool(dir.Path(), options);
    EXPECT_EQ(spool.GetCounts().answers, 1u);
    now += 3'600'000;
    EXPECT_EQ(Claimed(spool), std::vector<SpooledAnswer>{});
    EXPECT_EQ(log.Containing("is past the age limit and is not submitted").size(), 2u);
    EXPECT_TRUE(spool.WaitUntilSynced(std::chrono::seconds(30)));
  }
  AnswerSpool spool(dir.Path(), options);
  EXPECT_EQ(spool.GetCounts().answers, 0u);
}

// A journal written by 0.2.0 (answer records without their time) is read as it was, and its
// answers are never taken for expired.
TEST(AnswerSpool, AJournalOfTheEarlierFormatStillLoads) {
  TempDir dir;
  const SpooledAnswer answer = Answer(7);
  std::string payload;
  const auto number = [&payload](uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) payload.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  };
  for (const Voxlet::StringBuffer* text :
       {&answer.receiver, &answer.endpointId, &answer.studentId, &answer.questionId, &answer.path, &answer.document}) {
    number(text->size(), 4);
    for (char16_t unit : *text) number(unit, 2);
  }
  number(answer.address, 2);
  number(answer.empty ? 1 : 0, 1);
  std::string checked;  // kind, id, payload: what the checksum covers
  checked.push_back(1);
  for (int i = 0; i < 8; ++i) checked.push_back(static_cast<char>(i == 0 ? 42 : 0));
  checked += payload;
  boost::crc_32_type crc;
  crc.process_bytes(checked.data(), checked.size());
  std::string record(AnswerSpool::kRecordMagic, 4);
  for (uint64_t value : {static_cast<uint64_t>(payload.size()), static_cast<uint64_t>(crc.checksum())})
    for (int i = 0; i < 4; ++i) record.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  WriteFile(dir.File(AnswerSpool::kFileName), record + checked);

  AnswerSpool::Options options;
  options.maxAge = std::chrono::hours(1);
  AnswerSpool spool(dir.Path(), options);
  const auto claimed = spool.Claim(answer.receiver);
  ASSERT_EQ(claimed.size(), 1u);
  EXPECT_EQ(claimed.front().first, 42u);
  EXPECT_EQ(claimed.front().second, answer);
}

// A removal is on the disk within a bounded time even when no record follows to share its sync,
// so that after a power cut the answers taken before it are not sent again.
TEST(AnswerSpool, ARemovalIsSyncedWithoutWaitingForAnotherRecord) {
  TempDir dir;
  AnswerSpool spool(dir.Path());
  const uint64_t first = Keep(spool, Answer(1));
  Keep(spool, Answer(2));
  const uint64_t syncs = spool.GetCounts().syncs;
  spool.Remove(first);  // the journal does not empty: no sync of its own is asked for
  EXPECT_TRUE(spool.WaitUntilSynced(std::chrono::seconds(30)));
  EXPECT_GT(spool.GetCounts().syncs, syncs);
}
