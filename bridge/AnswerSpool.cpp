// The answer spool's journal. A record is a header of 21 bytes, then its payload:
//   magic (4 bytes), payload length (u32), CRC-32 of everything after it (u32),
//   kind (3 = answer, 2 = answer removed, 1 = answer without its time), answer id (u64), payload.
// Numbers are little-endian. An answer's payload is the time it was kept (i64, ms since 1970;
// not in kind 1, which 0.2.0 wrote and which is still read), its six texts (u32 count of UTF-16
// code units, then the units, so a document comes back exactly as it was), its short address
// (u16) and its empty flag (u8); a removal has none. The kind is the record's version. The magic holds bytes no length
// or text starts with so often that reading on after a damaged record would stumble on them by chance, and a stray
// match fails its checksum.
//
// The records are followed by zeros: the space written ahead of them (Platform::AppendFile). Zeros
// where a record would begin, up to the end of the file, end the journal; a journal without them
// (as written before the space was kept ahead) reads the same.
#include "bridge/AnswerSpool.h"

#include <boost/crc.hpp>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>

#include "log/Logger.h"
#include "platform/AppendFile.h"
#include "platform/AtomicFile.h"
#include "platform/FileLock.h"
#include "platform/FilePath.h"

namespace {

constexpr size_t kMagicBytes = sizeof AnswerSpool::kRecordMagic - 1;
constexpr size_t kHeaderBytes = 21;
constexpr size_t kChecked = 8;  // the checksum covers the record from here on
constexpr uint8_t kUntimedAnswerRecord = 1;
constexpr uint8_t kRemovedRecord = 2;
constexpr uint8_t kAnswerRecord = 3;
// A removal is on the disk at most this long after it was written, with or without a record to
// share its sync: after a power cut, answers taken within it may be sent once more.
constexpr auto kRemovalSyncDelay = std::chrono::seconds(1);

void PutNumber(std::string& out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

uint64_t GetNumber(const std::string& in, size_t at, int bytes) {
  uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value |= static_cast<uint64_t>(static_cast<unsigned char>(in[at + i])) << (8 * i);
  return value;
}

uint32_t Checksum(const char* data, size_t size) {
  boost::crc_32_type crc;
  crc.process_bytes(data, size);
  return crc.checksum();
}

std::string Record(uint8_t kind, uint64_t id, const std::string& payload) {
  std::string out(AnswerSpool::kRecordMagic, kMagicBytes);
  PutNumber(out, payload.size(), 4);
  PutNumber(out, 0, 4);  // the checksum, below
  out.push_back(static_cast<char>(kind));
  PutNumber(out, id, 8);
  out += payload;
  const uint32_t crc = Checksum(out.data() + kChecked + 4, out.size() - kChecked - 4);
  for (int i = 0; i < 4; ++i) out[kChecked + i] = static_cast<char>((crc >> (8 * i)) & 0xFF);
  return out;
}

void PutText(std::string& out, const Voxlet::StringBuffer& text) {
  PutNumber(out, text.size(), 4);
  for (char16_t unit : text) PutNumber(out, unit, 2);
}

std::string AnswerRecord(uint64_t id, const SpooledAnswer& answer, int64_t keptAt) {
  std::string payload;
  PutNumber(payload, static_cast<uint64_t>(keptAt), 8);
  for (const Voxlet::StringBuffer* text :
       {&answer.receiver, &answer.endpointId, &answer.studentId, &answer.questionId, &answer.path, &answer.document})
    PutText(payload, *text);
  PutNumber(payload, answer.address, 2);
  payload.push_back(answer.empty ? 1 : 0);
  return Record(kAnswerRecord, id, payload);
}

// The answer in a payload that passed its checksum; nothing when it is not one.
std::optional<SpooledAnswer> ReadAnswer(const std::string& payload, bool timed, int64_t& keptAt) {
  SpooledAnswer answer;
  size_t at = 0;
  keptAt = 0;
  if (timed) {
    if (payload.size() < 8) return std::nullopt;
    keptAt = static_cast<int64_t>(GetNumber(payload, 0, 8));
    at = 8;
  }
  for (Voxlet::StringBuffer* text :
       {&answer.receiver, &answer.endpointId, &answer.studentId, &answer.questionId, &answer.path, &answer.document}) {
    if (payload.size() - at < 4) return std::nullopt;
    const uint64_t units = GetNumber(payload, at, 4);
    at += 4;
    if ((payload.size() - at) / 2 < units) return std::nullopt;
    text->resize(units);
    for (uint64_t i = 0; i < units; ++i, at += 2) (*text)[i] = static_cast<char16_t>(GetNumber(payload, at, 2));
  }
  if (payload.size() - at != 3) return std::nullopt;
  answer.address = static_cast<uint16_t>(GetNumber(payload, at, 2));
  answer.empty = payload[at + 2] != 0;
  return answer;
}

struct Parsed {
  uint8_t kind = 0;
  uint64_t id = 0;
  size_t bytes = 0;
  std::string payload;
};

// Where the zeros at the end of the journal begin (its size when there are none).
size_t ZerosFrom(const std::string& journal) {
  const size_t last = journal.find_last_not_of('\0');
  return last == std::string::npos ? 0 : last + 1;
}

// The whole record at `at`, when there is one.
std::optional<Parsed> ParseAt(const std::string& journal, size_t at, uint64_t sizeLimit) {
  if (journal.size() - at < kHeaderBytes || journal.compare(at, kMagicBytes, AnswerSpool::kRecordMagic) != 0)
    return std::nullopt;
  const uint64_t length = GetNumber(journal, at + 4, 4);
  if (length > sizeLimit || journal.size() - at - kHeaderBytes < length) return std::nullopt;
  const uint32_t crc = static_cast<uint32_t>(GetNumber(journal, at + kChecked, 4));
  if (Checksum(journal.data() + at + kChecked + 4, kHeaderBytes - kChecked - 4 + length) != crc) return std::nullopt;
  Parsed record;
  record.kind = static_cast<uint8_t>(journal[at + 12]);
  record.id = GetNumber(journal, at + 13, 8);
  record.bytes = kHeaderBytes + length;
  record.payload = journal.substr(at + kHeaderBytes, length);
  return record;
}

}  // namespace

AnswerSpool::AnswerSpool(std::string directory) : AnswerSpool(std::move(directory), Options()) {}

AnswerSpool::AnswerSpool(std::string directory, Options options)
    : m_directory(std::move(directory)), m_options(std::move(options)) {
  Load();
  m_syncer = std::thread([this] { SyncLoop(); });
}

AnswerSpool::~AnswerSpool() {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_stopping = true;
  }
  m_wake.notify_all();
  m_syncer.join();
}

std::string AnswerSpool::FilePath() const { return Platform::Utf8Text(Platform::Utf8Path(m_directory) / kFileName); }

bool AnswerSpool::HeldByAnotherProcess() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_ownership && !m_ownership->Held() && m_ownership->HeldElsewhere();
}

bool AnswerSpool::Durable() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_file && m_keeping;
}

int64_t AnswerSpool::Now() const {
  if (m_options.now) return m_options.now();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

bool AnswerSpool::ExpiredLocked(uint64_t id, const Entry& entry, int64_t now) {
  if (m_options.maxAge.count() <= 0 || entry.keptAt == 0 || now - entry.keptAt <= m_options.maxAge.count())
    return false;
  OV_LOG(kLogMilestone,
         "The answer spool %s: the answer of endpoint %s to question %s, kept %lld hour(s) ago, is past the age limit "
         "and is not submitted",
         m_directory.c_str(), Voxlet::UTF16to8(entry.answer.endpointId).c_str(),
         Voxlet::UTF16to8(entry.answer.questionId).c_str(), static_cast<long long>((now - entry.keptAt) / 3600000));
  (void)id;
  return true;
}

void AnswerSpool::Load() {
  std::lock_guard<std::mutex> guard(m_lock);
  std::error_code ec;
  const std::filesystem::path directory = Platform::Utf8Path(m_directory);
  // Only this process reads and writes what it keeps: a directory it makes is its own.
  if (std::filesystem::create_directories(directory, ec) && !ec)
    std::filesystem::permissions(directory, std::filesystem::perms::owner_all, ec);
  if (ec || !std::filesystem::is_directory(directory, ec))
    return TroubleLocked("cannot create the directory: " + (ec ? ec.message() : std::string("not a directory")));
  // One process at a time: a second one would send the first one's answers again and rewrite
  // the journal under it.
  m_ownership = std::make_unique<Platform::FileLock>((std::filesystem::path(m_directory) / kLockFileName).string(),
                                                     Platform::FileLock::Wait::Try);
  if (!m_ownership->Held() && !m_ownership->HeldElsewhere()) return TroubleLocked(m_ownership->Error());
  if (!m_ownership->Held()) {
    m_keeping = false;
    m_troubleSaid = true;
    OV_LOG(kLogMilestone,
           "The answer spool in %s is not used by this process (%s): answers are relayed without being kept on disk",
           m_directory.c_str(), m_ownership->Error().c_str());
    return;
  }
  m_owned = true;
  const std::string path = FilePath();
  if (std::filesystem::is_symlink(path, ec)) return TroubleLocked(path + " is a symbolic link");
  std::string journal;
  if (std::filesystem::exists(Platform::Utf8Path(path), ec)) {
    std::ifstream in(Platform::Utf8Path(path), std::ios::binary);
    if (!in) return TroubleLocked("cannot read " + path);
    std::ostringstream text;
    text << in.rdbuf();
    journal = text.str();
  }

  // Everything that is not a whole record is skipped, up to the next whole record; the zeros
  // after the last one end the journal.
  const size_t zeros = ZerosFrom(journal);
  bool rewrite = false;
  size_t at = 0;
  while (at < journal.size()) {
    std::optional<Parsed> record = ParseAt(journal, at, m_options.sizeLimit);
    const bool isAnswer = record && (record->kind == kAnswerRecord || record->kind == kUntimedAnswerRecord);
    std::optional<SpooledAnswer> answer;
    int64_t keptAt = 0;
    if (isAnswer) answer = ReadAnswer(record->payload, record->kind == kAnswerRecord, keptAt);
    if (!record || (isAnswer && !answer) || (!isAnswer && record->kind != kRemovedRecord)) {
      if (at >= zeros) break;
      size_t next = at + 1;
      while (next < zeros && !ParseAt(journal, next, m_options.sizeLimit)) ++next;
      OV_LOG(kLogMilestone,
             "The answer spool %s: %zu byte(s) at offset %zu are not a whole answer (a write cut short or damaged) "
             "and are skipped",
             path.c_str(), next - at, at);
      rewrite = true;
      at = next;
      continue;
    }
    m_nextId = std::max(m_nextId, record->id + 1);
    if (record->kind == kRemovedRecord) {
      const auto found = m_answers.find(record->id);
      if (found != m_answers.end()) {
        m_answerBytes -= found->second.bytes;
        m_answers.erase(found);
      }
      rewrite = true;
    } else {
      Entry& entry = m_answers[record->id];
      m_answerBytes += record->bytes - entry.bytes;
      entry = {std::move(*answer), record->bytes, false, keptAt};
    }
    at += record->bytes;
  }
  m_fileBytes = std::min(at, journal.size());
  const int64_t now = Now();
  for (auto entry = m_answers.begin(); entry != m_answers.end();) {
    if (!ExpiredLocked(entry->first, entry->second, now)) {
      ++entry;
      continue;
    }
    m_answerBytes -= entry->second.bytes;
    entry = m_answers.erase(entry);
    rewrite = true;
  }
  if (!m_answers.empty())
    OV_LOG(kLogMilestone, "The answer spool %s holds %zu answer(s) not yet taken by the software service", path.c_str(),
           m_answers.size());
  // A journal that could not be written anew is appended to as it is: what it holds is read the
  // same way next time.
  if (rewrite && RewriteLocked()) return;
  std::string error;
  m_file = Platform::AppendFile::Open(path, m_fileBytes, error);
  if (!m_file) return TroubleLocked(error);
  // A journal created just now stays only once its directory entry is on the disk.
  if (journal.empty() && !Platform::AppendFile::SyncDirectoryOf(path, error)) TroubleLocked(error);
}

bool AnswerSpool::RewriteLocked() {
  std::string journal;
  for (const auto& [id, entry] : m_answers) journal += AnswerRecord(id, entry.answer, entry.keptAt);
  // Windows renames over no file this process holds open: the journal is closed first (the
  // caller saw to it that the spool's thread holds it no longer), then replaced, then opened
  // again either way.
  const uint64_t oldEnd = m_fileBytes;
  const bool wasOpen = m_file != nullptr;
  m_file.reset();
  std::string error;
  if (!Platform::ReplaceFileAtomically(FilePath(), journal, error, 0600)) {
    std::string reopenError;
    if (wasOpen) m_file = Platform::AppendFile::Open(FilePath(), oldEnd, reopenError);
    StopKeepingLocked(error);
    return false;
  }
  m_fileBytes = journal.size();
  m_file = Platform::AppendFile::Open(FilePath(), m_fileBytes, error);
  if (!m_file) TroubleLocked(error);
  return m_file != nullptr;
}

bool AnswerSpool::ReadyToKeep() const {
  std::lock_guard<std::mutex> guard(m_lock);
  const bool diskUsable = (m_keeping && m_file) || DiskRetryDueLocked();
  return m_owned && diskUsable && m_answerBytes < m_options.sizeLimit;
}

bool AnswerSpool::DiskRetryDueLocked() const {
  return m_owned && !(m_keeping && m_file) && std::chrono::steady_clock::now() >= m_retryDiskAt;
}

void AnswerSpool::RetryDiskLocked() {
  m_retryDiskAt = std::chrono::steady_clock::now() + m_options.diskRetryDelay;
  // Written anew from what the spool holds: nothing a failed write or sync left half done counts.
  if (!RewriteLocked()) return;
  m_keeping = true;
  m_troubleSaid = false;
  OV_LOG(kLogMilestone, "The answer spool in %s keeps answers on disk again", m_directory.c_str());
}

void AnswerSpool::TroubleLocked(const std::string& reason) {
  m_file.reset();
  StopKeepingLocked(reason);
}

void AnswerSpool::StopKeepingLocked(const std::string& reason) {
  m_keeping = false;
  m_retryDiskAt = std::chrono::steady_clock::now() + m_options.diskRetryDelay;
  if (m_troubleSaid) return;
  m_troubleSaid = true;
  OV_LOG(kLogMilestone, "The answer spool in %s cannot be used (%s): answers are relayed without being kept on disk",
         m_directory.c_str(), reason.c_str());
}

AnswerSpool::Kept AnswerSpool::Append(const SpooledAnswer& answer, Synced synced, uint64_t* id) {
  const Kept kept = AppendLocked(answer, std::move(synced), id);
  if (kept != Kept::Yes) {
    std::lock_guard<std::mutex> guard(m_lock);
    ++m_counts.notKept;
    return kept;
  }
  m_wake.notify_all();
  if (m_options.observer) m_options.observer(answer, Stage::Written);
  return kept;
}

AnswerSpool::Kept AnswerSpool::AppendLocked(const SpooledAnswer& answer, Synced synced, uint64_t* id) {
  {
    std::unique_lock<std::mutex> lock(m_lock);
    // A journal started over gets records at its start again only once its zeros are on the
    // disk (the spool's thread is at it): a record written over records whose zeros are not
    // could bring them back with it after a crash. Rarely waited for: a journal empties at the
    // end of a burst.
    m_synced.wait(lock, [this] { return m_syncedWrites >= m_startedOver || !m_file; });
    if (DiskRetryDueLocked()) {
      // The journal is closed before it is written anew, the spool's thread letting go of it first.
      m_synced.wait(lock, [this] { return !m_fileInSync; });
      RetryDiskLocked();
    }
    if (!m_file || !m_keeping) return Kept::NoDisk;
    const int64_t keptAt = Now();
    const std::string record = AnswerRecord(m_nextId, answer, keptAt);
    if (m_answerBytes + record.size() > m_options.sizeLimit) return Kept::Full;
    // A journal grown far past what it holds (an answer or two never taken keeps it from
    // starting over) is written anew first.
    if (m_fileBytes > 2 * m_options.sizeLimit) {
      // It is closed before it is replaced, the spool's thread letting go of it first.
      m_synced.wait(lock, [this] { return !m_fileInSync; });
      if (!m_file || !m_keeping || !RewriteLocked()) return Kept::NoDisk;
    }
    std::string error;
    if (!m_file->Append(record, error)) {
      StopKeepingLocked(error);
      return Kept::NoDisk;
    }
    *id = m_nextId++;
    m_answers[*id] = {answer, record.size(), true, keptAt};
    m_answerBytes += record.size();
    m_fileBytes += record.size();
    ++m_counts.appended;
    m_waiting.push_back({++m_writes, m_options.observer ? answer : SpooledAnswer(), *id, std::move(synced)});
  }
  return Kept::Yes;
}

void AnswerSpool::Remove(uint64_t id) {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    RemoveLocked(id);
  }
  m_wake.notify_all();  // the emptying's sync, or the removal's within its bound
}

bool AnswerSpool::RemoveLocked(uint64_t id) {
  const auto found = m_answers.find(id);
  if (found == m_answers.end()) return false;
  m_answerBytes -= found->second.bytes;
  m_answers.erase(found);
  if (!m_file) return false;
  std::string error;
  if (m_answers.empty()) {
    // Nothing left: the journal starts over (no removal needs to be read back), in the space it
    // has. The spool's thread syncs that at once, nobody waiting for it but a record for the
    // journal's start (Append): until then a machine going down brings the answers back, and
    // they are sent once more. A journal empties at the end of a burst, and stays so.
    if (!m_file->StartOver(error)) {
      TroubleLocked(error);
      return false;
    }
    m_fileBytes = 0;
    m_startedOver = ++m_writes;
    return true;
  }
  // A removal is synced with the next record or emptying (or when the spool closes), not on its
  // own: in a burst, syncs of their own would hold up the records'. One the disk does not take
  // is left out (the answer is sent again after a restart unless the journal empties first).
  const std::string record = Record(kRemovedRecord, id, {});
  if (!m_file->Append(record, error)) {
    StopKeepingLocked(error);
    return false;
  }
  m_fileBytes += record.size();
  ++m_writes;
  return false;
}

void AnswerSpool::Unclaim(uint64_t id) {
  std::lock_guard<std::mutex> guard(m_lock);
  const auto found = m_answers.find(id);
  if (found != m_answers.end()) found->second.claimed = false;
}

std::vector<std::pair<uint64_t, SpooledAnswer>> AnswerSpool::Claim(const Voxlet::StringBuffer& receiver) {
  std::vector<std::pair<uint64_t, SpooledAnswer>> claimed;
  bool removed = false;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    const int64_t now = Now();
    std::vector<uint64_t> expired;
    for (auto& [id, entry] : m_answers) {
      if (entry.claimed || entry.answer.receiver != receiver) continue;
      if (ExpiredLocked(id, entry, now)) {
        expired.push_back(id);
        continue;
      }
      entry.claimed = true;
      claimed.emplace_back(id, entry.answer);
    }
    for (uint64_t id : expired) RemoveLocked(id);
    removed = !expired.empty();
  }
  if (removed) m_wake.notify_all();
  return claimed;
}

AnswerSpool::Counts AnswerSpool::GetCounts() const {
  std::lock_guard<std::mutex> guard(m_lock);
  Counts counts = m_counts;
  counts.answers = m_answers.size();
  counts.bytes = m_answerBytes;
  return counts;
}

bool AnswerSpool::WaitUntilSynced(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(m_lock);
  const uint64_t upTo = m_writes;
  return m_synced.wait_for(lock, limit, [&] { return m_toldWrites >= upTo || !m_file; });
}

// Group commit: one sync covers every write before it began (records, removals, the emptying),
// however many came while the previous sync ran. Records and the emptying start a sync; stopping,
// it syncs what is left first.
void AnswerSpool::SyncLoop() {
  std::unique_lock<std::mutex> lock(m_lock);
  for (;;) {
    const auto due = [this] { return m_stopping || !m_waiting.empty() || m_syncedWrites < m_startedOver; };
    m_wake.wait(lock, [this] { return m_stopping || m_syncedWrites < m_writes; });
    // Removals alone wait for a record's sync to share, a second at most.
    if (!due()) m_wake.wait_for(lock, kRemovalSyncDelay, due);
    if (m_syncedWrites >= m_writes) {
      if (m_stopping) return;  // nothing left to sync
      continue;
    }
    const uint64_t upTo = m_writes;
    const std::shared_ptr<Platform::AppendFile> file = m_file;
    m_fileInSync = file != nullptr;
    lock.unlock();
    std::string error;
    const bool synced = !file || file->Sync(error);
    lock.lock();
    ++m_counts.syncs;
    m_fileInSync = false;
    m_syncedWrites = upTo;
    m_synced.notify_all();
    // A failed sync is disk trouble like any other; its answers are relayed all the same. The
    // journal stays open for the removals, and is written anew before anything is kept again.
    if (!synced) StopKeepingLocked(error);
    // Records are waited for in the order written: those this sync covers come first.
    auto covered = m_waiting.begin();
    while (covered != m_waiting.end() && covered->write <= upTo) ++covered;
    std::vector<Waiting> done(std::make_move_iterator(m_waiting.begin()), std::make_move_iterator(covered));
    m_waiting.erase(m_waiting.begin(), covered);
    lock.unlock();
    for (Waiting& w : done) {
      if (m_options.observer) m_options.observer(w.answer, Stage::Synced);
      if (w.synced) w.synced(w.id);
    }
    lock.lock();
    m_toldWrites = upTo;
    m_synced.notify_all();
  }
}
