#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "text/StringBuffer.h"

namespace Platform {
class AppendFile;
class FileLock;
}  // namespace Platform

// One answer submission as it goes to the software service.
struct SpooledAnswer {
  Voxlet::StringBuffer receiver;    // the MAC text of the receiver that took it: whose session sends it
  Voxlet::StringBuffer endpointId;  // the clicker's endpoint
  Voxlet::StringBuffer studentId;
  Voxlet::StringBuffer questionId;  // empty for an empty submission
  Voxlet::StringBuffer path;        // the submit path, with its assessment and class
  Voxlet::StringBuffer document;    // the submission document, sent again byte for byte
  uint16_t address = 0;             // the clicker's short address
  bool empty = false;               // the empty submission of a session that ended without an answer
  bool operator==(const SpooledAnswer&) const = default;
};

// The answers the radio acknowledged, kept on disk until the software service has taken them
// (a 2xx reply) or refused them: one journal file in the spool directory, appended to and synced
// in groups by the spool's own thread, started over (its records zeroed, in the space the file
// has) whenever no answer is left in it. The emptying is synced by that thread too, and removals
// with the next sync, so that answers taken do not come back after the machine went down.
//
// Records carry their length and a checksum. When the spool is opened, whatever is not a whole
// record (a write cut short by a crash, a damaged byte) is skipped with a log line, and reading
// goes on at the next whole record; what remains is written anew without it.
//
// Disk trouble (the directory missing and not creatable, read-only, full, failing) is said in one
// log line; meanwhile nothing more is kept and every answer is relayed as if there were no
// spool. A disk that takes no more records (full) or failed a sync still takes the removals it
// can and the emptying (zeros over the records, in place), so that the answers kept before, once
// taken, do not come back at the next start. A few seconds later the next answer tries the disk
// again: the journal is written anew from what the spool holds, and when that works answers are
// kept again (said in a line too).
//
// One process owns a spool directory at a time (a lock file beside the journal): a second one
// started with the same settings reads nothing and keeps nothing, and says so in one line.
// Answers kept longer than the age limit are not submitted into a class that ended long ago:
// they are logged and dropped when the spool is read and when they are claimed.
// The spool's lock is a leaf: nothing is called with it held.
class AnswerSpool {
 public:
  static constexpr uint64_t kDefaultSizeLimit = 64ull << 20;
  static constexpr const char* kFileName = "answers.spool";
  static constexpr const char* kLockFileName = "answers.lock";
  // The first four bytes of every record.
  static constexpr char kRecordMagic[] = "\xFF\xA5SP";

  enum class Kept { Yes, Full, NoDisk };
  enum class Stage { Written, Synced };
  struct Options {
    // The bytes of answers the spool holds at most.
    uint64_t sizeLimit = kDefaultSizeLimit;
    // Told when a record has been written (the process may die now) and when it has been synced
    // (the machine may): for measurements. Runs on the writer's and on the spool's thread.
    std::function<void(const SpooledAnswer&, Stage)> observer;
    // Answers kept longer are dropped instead of claimed; zero keeps them until they are taken.
    std::chrono::milliseconds maxAge{0};
    // The wall clock in milliseconds since 1970 (the time an answer was kept); tests replace it.
    std::function<int64_t()> now;
    // After disk trouble, the disk is tried again with the first answer this long after.
    std::chrono::milliseconds diskRetryDelay{5000};
  };
  struct Counts {
    uint64_t appended = 0;  // records written since the spool was opened
    uint64_t syncs = 0;     // data syncs of the journal
    uint64_t notKept = 0;   // appends that kept nothing (the spool full, or disk trouble)
    size_t answers = 0;     // answers held now
    uint64_t bytes = 0;     // their records' bytes
  };
  // Given the record's id.
  using Synced = std::function<void(uint64_t id)>;

  // Opens the spool in directory (created when missing) and reads what an earlier run left.
  explicit AnswerSpool(std::string directory);
  AnswerSpool(std::string directory, Options options);
  ~AnswerSpool();
  AnswerSpool(const AnswerSpool&) = delete;
  AnswerSpool& operator=(const AnswerSpool&) = delete;

  const std::string& Directory() const { return m_directory; }
  std::string FilePath() const;
  // False once disk trouble was met (nothing more is kept).
  bool Durable() const;
  // Another process owns the directory: this spool reads and keeps nothing.
  bool HeldByAnotherProcess() const;
  // An answer appended now would be tried: the disk is in use (or due to be tried again after
  // trouble) and there is room below the size limit. Asks nothing of the disk.
  bool ReadyToKeep() const;

  // Writes the answer's record. Kept::Yes: *id names it, and `synced` runs on the spool's thread
  // once the record is on the disk (perhaps before Append returns); the answer counts as claimed
  // by the caller. Otherwise
  // nothing was kept and `synced` never runs: Full past the size limit, NoDisk on disk trouble.
  Kept Append(const SpooledAnswer& answer, Synced synced, uint64_t* id);
  // The software service took the answer or refused it: it leaves the spool.
  void Remove(uint64_t id);
  // Waits up to `limit` until every write so far is on the disk and the senders of its records
  // were told (true, as on disk trouble). The spool's thread syncs records and the emptying of
  // the journal at once, a removal with the next of those.
  bool WaitUntilSynced(std::chrono::milliseconds limit);
  // Its sender let it go unsent (the receiver closed): the next Claim of its receiver gets it.
  void Unclaim(uint64_t id);
  // Every answer of that receiver nobody has claimed (those of an earlier run, and those let
  // go), oldest first; they count as claimed by the caller.
  std::vector<std::pair<uint64_t, SpooledAnswer>> Claim(const Voxlet::StringBuffer& receiver);
  Counts GetCounts() const;

 private:
  struct Entry {
    SpooledAnswer answer;
    uint64_t bytes = 0;
    bool claimed = false;
    int64_t keptAt = 0;  // ms since 1970; 0 when the journal did not say (written by 0.2.0)
  };
  struct Waiting {
    uint64_t write = 0;  // the journal write it waits for
    SpooledAnswer answer;
    uint64_t id = 0;
    Synced synced;
  };
  void Load();
  // Append's work under the lock: the record written, or why not.
  Kept AppendLocked(const SpooledAnswer& answer, Synced synced, uint64_t* id);
  // True when the journal was emptied: its sync is to start.
  bool RemoveLocked(uint64_t id);
  // Writes the journal anew with the held answers only and appends to it from then on; false on
  // disk trouble (said), the old journal still in use when it could not be replaced.
  bool RewriteLocked();
  // After disk trouble, when it is time to try again: the journal written anew, and answers kept
  // again when that works.
  void RetryDiskLocked();
  bool DiskRetryDueLocked() const;
  // True (said, and dropped) when the answer is past the age limit.
  bool ExpiredLocked(uint64_t id, const Entry& entry, int64_t now);
  int64_t Now() const;
  // Says the trouble (once) and drops the journal.
  void TroubleLocked(const std::string& reason);
  // Says it (once) and keeps no more answers; the journal still takes removals and the emptying.
  void StopKeepingLocked(const std::string& reason);
  void SyncLoop();

  const std::string m_directory;
  const Options m_options;
  mutable std::mutex m_lock;
  std::condition_variable m_wake;
  std::unique_ptr<Platform::FileLock> m_ownership;  // this process's hold on the directory
  std::shared_ptr<Platform::AppendFile> m_file;     // null on disk trouble
  bool m_fileInSync = false;                        // the spool's thread syncs a file outside the lock
  bool m_troubleSaid = false;
  bool m_keeping = true;  // new answers are kept
  bool m_owned = false;   // the directory is this process's (nothing is ever kept otherwise)
  std::chrono::steady_clock::time_point m_retryDiskAt;  // when the disk is tried again after trouble
  std::map<uint64_t, Entry> m_answers;                  // by id, which is the order written
  uint64_t m_nextId = 1;
  uint64_t m_answerBytes = 0;
  uint64_t m_fileBytes = 0;
  uint64_t m_writes = 0;        // journal writes so far
  uint64_t m_syncedWrites = 0;  // those a finished sync covered
  uint64_t m_toldWrites = 0;    // those whose records' senders were told so too
  uint64_t m_startedOver = 0;   // the write that zeroed the journal last
  std::condition_variable m_synced;
  std::vector<Waiting> m_waiting;
  Counts m_counts;
  bool m_stopping = false;
  std::thread m_syncer;  // last: started once everything above is set
};
