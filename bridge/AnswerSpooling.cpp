// Answers kept in the answer spool until the software service has taken them: each submission
// is written to the spool (and synced) before it leaves, leaves the spool once its reply was
// read, and stays there when the receiver closes before that, for the next opening of the
// receiver or the next start of the service.
//
// When the software service knows the receiver again, the spool's answers of that receiver are
// taken up. Each waits until its clicker has been announced again (its hello answered): a
// software service that forgot the clicker (it restarted, or the hardware service said goodbye
// for its clickers when it stopped) refuses a submission from an endpoint it does not know, and a
// refused answer is not sent again. A clicker that does not come back within a bounded wait has
// its answers sent all the same: a software service that still knows it (the hardware service
// was killed, or the machine slept) takes them. The clicker's newer answers go behind them.
#include "bridge/AnswerPipeline.h"
#include "bridge/RelayText.h"
#include "log/Logger.h"

using Bridge::Utf8;

namespace {

// What a held answer and its record in the spool have in common, either way.
template <class From, class To>
void CopySubmission(const From& from, To& to) {
  to.path = from.path;
  to.endpointId = from.endpointId;
  to.studentId = from.studentId;
  to.document = from.document;
  to.questionId = from.questionId;
  to.address = from.address;
  to.empty = from.empty;
}

}  // namespace

void CAnswerPipeline::KeepAndSend(HeldAnswer answer) {
  AnswerSpool* const spool = m_spool.get();
  if (m_host.Farewell()) return KeepForNextOpening(answer);
  const std::shared_ptr<CallGate> gate = m_host.Gate();
  // The answer takes its turn in its clicker's line now, in the order the radio gave it: the
  // clicker's goodbye, hello or next answer waits for it while its record is being written.
  const ClickerLines::Ticket turn = m_lines.Add(answer.endpointId, false, [this, gate](ClickerLines::Ticket t) {
    if (CallGate::Pass pass = gate->Enter()) StartAnswerTurn(t);
  });
  answer.turn = turn;
  answer.syncing = spool != nullptr;
  SpooledAnswer record;
  if (spool) {
    record.receiver = m_host.ReceiverAddress();
    CopySubmission(answer, record);
  }
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_lineAnswers[turn] = answer;
  }
  if (!spool) return m_lines.MarkReady(turn);
  // On the spool's thread once the record is on the disk; a session that closed meanwhile
  // leaves the answer to the spool.
  auto synced = [this, gate, spool, turn](uint64_t id) {
    CallGate::Pass pass = gate->Enter();
    if (!pass) return spool->Unclaim(id);
    {
      std::lock_guard<std::mutex> guard(m_lock);
      const auto found = m_lineAnswers.find(turn);
      if (found != m_lineAnswers.end()) {
        found->second.spoolId = id;
        found->second.syncing = false;
      }
    }
    m_lines.MarkReady(turn);
  };
  uint64_t id = 0;
  const AnswerSpool::Kept kept = spool->Append(record, std::move(synced), &id);
  if (kept == AnswerSpool::Kept::Yes) return;
  if (kept == AnswerSpool::Kept::Full)
    OV_LOG(kLogDiagnostic,
           "The answer spool is full: the answer of endpoint %s to question %s is relayed without being kept",
           Utf8(answer.endpointId).c_str(), Utf8(answer.questionId).c_str());
  // Not kept (the disk trouble is said once by the spool): it goes in its turn all the same.
  {
    std::lock_guard<std::mutex> guard(m_lock);
    const auto found = m_lineAnswers.find(turn);
    if (found != m_lineAnswers.end()) found->second.syncing = false;
  }
  m_lines.MarkReady(turn);
}

void CAnswerPipeline::StartAnswerTurn(ClickerLines::Ticket turn) {
  HeldAnswer answer;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    const auto found = m_lineAnswers.find(turn);
    if (found == m_lineAnswers.end()) return;
    answer = std::move(found->second);
    m_lineAnswers.erase(found);
  }
  if (!ParkBehindAwaiting(answer)) SendOrHold(std::move(answer));
}

void CAnswerPipeline::KeepForNextOpening(const HeldAnswer& answer) {
  AnswerSpool* const spool = m_spool.get();
  SpooledAnswer record;
  record.receiver = m_host.ReceiverAddress();
  CopySubmission(answer, record);
  uint64_t id = 0;
  if (spool && !record.receiver.empty() &&
      spool->Append(
          record, [spool](uint64_t kept) { spool->Unclaim(kept); }, &id) == AnswerSpool::Kept::Yes) {
    OV_LOG(kLogDiagnostic,
           "The answer to question %s of endpoint %s stays in the answer spool: the receiver closed before it was sent",
           Utf8(answer.questionId).c_str(), Utf8(answer.endpointId).c_str());
    return;
  }
  OV_LOG(kLogDiagnostic, "The answer to question %s of endpoint %s is lost: it came while the receiver closed",
         Utf8(answer.questionId).c_str(), Utf8(answer.endpointId).c_str());
}

// The record of an answer that went out unkept, written once the spool had room again. The
// answer's copies share it; whichever comes second of the record's sync and the answer's end
// (taken or refused, or let go by a closing session) settles the record.
struct CAnswerPipeline::LateRecord {
  enum class End { None, Taken, LetGo };
  std::mutex lock;
  uint64_t id = 0;       // once written
  bool notKept = false;  // the spool did not take it after all: tried again later
  End end = End::None;
};

bool CAnswerPipeline::Unkept(const HeldAnswer& answer) {
  if (answer.spoolId != 0) return false;
  if (!answer.lateRecord) return true;
  std::lock_guard<std::mutex> guard(answer.lateRecord->lock);
  return answer.lateRecord->notKept;
}

void CAnswerPipeline::KeepUnkeptAnswers() {
  AnswerSpool* const spool = m_spool.get();
  if (!spool) return;
  // Copies of those waiting unkept: held for the software service, waiting to go again, or
  // waiting for their clicker. Each gets a record of its own, shared with its copy.
  const auto anyUnkept = [this] {
    if (m_host.Leaving()) return false;
    std::lock_guard<std::mutex> guard(m_lock);
    const auto unkept = [](const HeldAnswer& answer) { return Unkept(answer); };
    if (std::any_of(m_heldAnswers.begin(), m_heldAnswers.end(), unkept)) return true;
    if (std::any_of(m_retrying.begin(), m_retrying.end(), unkept)) return true;
    for (const auto& [endpointId, waiting] : m_awaitingClickers)
      if (std::any_of(waiting.begin(), waiting.end(), unkept)) return true;
    return false;
  };
  if (!anyUnkept() || !spool->ReadyToKeep()) return;
  std::vector<HeldAnswer> unkept;
  if (m_host.Leaving()) return;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    const auto collect = [&unkept](HeldAnswer& answer) {
      if (!Unkept(answer)) return;
      answer.lateRecord = std::make_shared<LateRecord>();
      unkept.push_back(answer);
    };
    for (HeldAnswer& answer : m_heldAnswers) collect(answer);
    for (HeldAnswer& answer : m_retrying) collect(answer);
    for (auto& [endpointId, waiting] : m_awaitingClickers)
      for (HeldAnswer& answer : waiting) collect(answer);
  }
  const Voxlet::StringBuffer receiver = m_host.ReceiverAddress();
  size_t kept = 0;
  for (; kept < unkept.size(); ++kept) {
    const HeldAnswer& answer = unkept[kept];
    SpooledAnswer record;
    record.receiver = receiver;
    CopySubmission(answer, record);
    const std::shared_ptr<LateRecord> late = answer.lateRecord;
    const auto written = [spool, late](uint64_t id) {
      LateRecord::End end = LateRecord::End::None;
      {
        std::lock_guard<std::mutex> guard(late->lock);
        late->id = id;
        end = late->end;
      }
      // The answer's end came first: it was taken (the record goes), or let go (it stays).
      if (end == LateRecord::End::Taken) spool->Remove(id);
      if (end == LateRecord::End::LetGo) spool->Unclaim(id);
    };
    uint64_t id = 0;
    if (spool->Append(record, written, &id) != AnswerSpool::Kept::Yes) break;
  }
  // Those the spool did not take after all are tried again at a later tick.
  for (size_t i = kept; i < unkept.size(); ++i) {
    std::lock_guard<std::mutex> guard(unkept[i].lateRecord->lock);
    unkept[i].lateRecord->notKept = true;
  }
  if (kept != 0)
    OV_LOG(kLogDiagnostic, "%u answer(s) relayed without being kept are kept in the answer spool now",
           static_cast<unsigned>(kept));
}

void CAnswerPipeline::ForgetSpooled(const HeldAnswer& answer) {
  if (!m_spool) return;
  if (answer.spoolId != 0) return m_spool->Remove(answer.spoolId);
  if (!answer.lateRecord) return;
  uint64_t id = 0;
  {
    std::lock_guard<std::mutex> guard(answer.lateRecord->lock);
    if (answer.lateRecord->notKept) return;
    id = answer.lateRecord->id;
    if (id == 0) answer.lateRecord->end = LateRecord::End::Taken;  // settled once written
  }
  if (id != 0) m_spool->Remove(id);
}

bool CAnswerPipeline::LetGoSpooled(const HeldAnswer& answer) {
  if (!m_spool) return false;
  uint64_t id = answer.spoolId;
  bool writing = false;
  if (id == 0 && answer.lateRecord) {
    std::lock_guard<std::mutex> guard(answer.lateRecord->lock);
    if (answer.lateRecord->notKept) return false;
    id = answer.lateRecord->id;
    writing = id == 0;
    if (writing) answer.lateRecord->end = LateRecord::End::LetGo;  // given back once written
  }
  if (id == 0 && !writing) return false;
  if (id != 0) m_spool->Unclaim(id);
  OV_LOG(kLogDiagnostic,
         "The answer to question %s of endpoint %s stays in the answer spool: the receiver closed before it was sent",
         Utf8(answer.questionId).c_str(), Utf8(answer.endpointId).c_str());
  return true;
}

void CAnswerPipeline::ClaimSpooledAnswers() {
  if (!m_spool) return;
  const Voxlet::StringBuffer receiver = m_host.ReceiverAddress();
  if (receiver.empty()) return;
  const auto claimed = m_spool->Claim(receiver);
  if (claimed.empty()) return;
  OV_LOG(kLogDiagnostic, "Sending %u answer(s) from the answer spool once their clickers are announced again",
         static_cast<unsigned>(claimed.size()));
  std::vector<Voxlet::StringBuffer> announced;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    for (const auto& [id, record] : claimed) {
      HeldAnswer answer;
      CopySubmission(record, answer);
      answer.spoolId = id;
      // In spool order, which is each clicker's order; older than any answer already waiting.
      std::deque<HeldAnswer>& waiting = m_awaitingClickers[answer.endpointId];
      const auto newer = std::find_if(waiting.begin(), waiting.end(),
                                      [id](const HeldAnswer& w) { return w.spoolId == 0 || w.spoolId > id; });
      waiting.insert(newer, std::move(answer));
    }
    m_awaitingTicks = m_spooledAnswerWaitTicks;
    for (const auto& [endpointId, waiting] : m_awaitingClickers)
      if (m_announcedClickers.count(endpointId)) announced.push_back(endpointId);
  }
  for (const Voxlet::StringBuffer& endpointId : announced) ReleaseAwaitingAnswers(endpointId);
}

void CAnswerPipeline::ReleaseAwaitingAnswers(const Voxlet::StringBuffer& endpointId) {
  size_t count = 0;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_announcedClickers.insert(endpointId);
    const auto found = m_awaitingClickers.find(endpointId);
    if (found == m_awaitingClickers.end()) return;
    count = found->second.size();
  }
  OV_LOG(kLogDiagnostic, "Endpoint %s is announced again: sending its %u answer(s) from the answer spool",
         Utf8(endpointId).c_str(), static_cast<unsigned>(count));
  SendAwaitingAnswers(endpointId);
}

void CAnswerPipeline::CountDownAwaitingAnswers() {
  std::vector<std::pair<Voxlet::StringBuffer, size_t>> late;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_awaitingClickers.empty() || --m_awaitingTicks > 0) return;
    for (const auto& [endpointId, answers] : m_awaitingClickers) late.emplace_back(endpointId, answers.size());
  }
  for (const auto& [endpointId, count] : late) {
    OV_LOG(kLogDiagnostic,
           "Endpoint %s was not announced again in time: sending its %u answer(s) from the answer spool",
           Utf8(endpointId).c_str(), static_cast<unsigned>(count));
    SendAwaitingAnswers(endpointId);
  }
}

void CAnswerPipeline::SendAwaitingAnswers(const Voxlet::StringBuffer& endpointId) {
  // The clicker stays awaiting until its last answer has gone: an answer of its own that comes
  // meanwhile is parked behind them instead of overtaking them.
  for (;;) {
    HeldAnswer answer;
    {
      std::lock_guard<std::mutex> guard(m_lock);
      const auto found = m_awaitingClickers.find(endpointId);
      if (found == m_awaitingClickers.end()) return;
      if (found->second.empty()) {
        m_awaitingClickers.erase(found);
        return;
      }
      answer = std::move(found->second.front());
      found->second.pop_front();
    }
    SendOrHold(std::move(answer));
  }
}

void CAnswerPipeline::ForgetAnnouncedClickers() {
  std::lock_guard<std::mutex> guard(m_lock);
  m_announcedClickers.clear();
}

void CAnswerPipeline::LetGoAwaitingAnswers() {
  std::map<Voxlet::StringBuffer, std::deque<HeldAnswer>> waiting;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    waiting.swap(m_awaitingClickers);
    m_announcedClickers.clear();
  }
  for (const auto& [endpointId, answers] : waiting)
    for (const HeldAnswer& answer : answers) LetGoSpooled(answer);
}

bool CAnswerPipeline::ParkBehindAwaiting(HeldAnswer& answer) {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    const auto found = m_awaitingClickers.find(answer.endpointId);
    if (found == m_awaitingClickers.end()) return false;
    found->second.push_back(answer);
    found->second.back().turn = 0;
  }
  EndAnswerTurn(answer);
  return true;
}
