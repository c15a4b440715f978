#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "bridge/AnswerSpool.h"
#include "bridge/CallGate.h"
#include "bridge/ClickerLines.h"
#include "bridge/ClickerRegistry.h"
#include "bridge/SessionEnvironment.h"
#include "bridge/SessionHost.h"
#include "client/RdfGraph.h"
#include "client/XmlDocument.h"
#include "content/PacketContainer.h"
#include "text/StringBuffer.h"

// The question of the active assessment an answer is for.
struct AnsweredQuestion {
  xercesc::DOMElement* element = nullptr;
  Voxlet::StringBuffer id;
  Voxlet::StringBuffer resourceId;
  Voxlet::StringBuffer points;
  Voxlet::StringBuffer format;
  // What keeps element alive.
  Voxlet::XmlDocumentPtr document;
  std::shared_ptr<Voxlet::RDF::Graph> graph;
};

// What the answer pipeline needs beyond the connection: the active assessment.
class IAnswerPipelineHost : public ISessionHost {
 public:
  virtual std::optional<AnsweredQuestion> FindAnsweredQuestion(unsigned int questionNumber) = 0;
  // Where the current assessment's submissions go; empty ids while there is none.
  virtual Voxlet::StringBuffer SubmitPath() const = 0;
  virtual bool AssessmentStarted() const = 0;
};

// The answers of one receiver's clickers on their way to the software service: the parts of
// multi-packet answers, the decoding, and every submission from its clicker's turn to the
// software service's verdict. A new submission is kept in the answer spool before it leaves
// (when there is one) and leaves the spool with its verdict; it waits for its turn in its
// clicker's line, is held while the software service is away, is sent again when a send ended
// without a verdict, and goes back to the spool when the receiver closes first. Answers from the
// spool wait for their clicker to be announced again, and that clicker's newer answers behind
// them.
//
// Owns the answer parts and every submission not yet settled; its lock guards only those. While
// holding it, it takes nothing but a late record's own lock (a leaf); its host, the clicker
// lines, the clicker registry and the answer spool are called without it.
class CAnswerPipeline {
 public:
  CAnswerPipeline(IAnswerPipelineHost& host, const ClickerRegistry& clickers, ClickerLines& lines,
                  const SessionEnvironment& environment);
  CAnswerPipeline(const CAnswerPipeline&) = delete;
  CAnswerPipeline& operator=(const CAnswerPipeline&) = delete;

  // The receiver's answer packets (once past the session's call gate).
  void OnAnswerUpload(uint16_t address, uint8_t questionNumber, const std::vector<uint8_t>& answer);
  void OnEnhancedAnswerUpload(uint16_t address, uint8_t sequenceNumber, uint8_t totalPackets, uint8_t packetNumber,
                              uint8_t questionNumber, const uint8_t* data, uint32_t dataLength);
  // The clicker ended its session without answering: the empty submission.
  void OnSessionEndRemote(uint16_t address);

  void SubmitAnswer(const Voxlet::StringBuffer& answer, const Voxlet::StringBuffer& questionId,
                    const Voxlet::StringBuffer& points, const ClickerEndpointInfo& clicker);
  void OnSubmitResponse(const Voxlet::MessagePtr& message);
  // Sends the answers held while the software service was away, and takes up the spool's.
  void DeliverHeldAnswers();
  // The clicker's hello was answered: its waiting answers go.
  void ReleaseAwaitingAnswers(const Voxlet::StringBuffer& endpointId);
  // The software service was lost: the clickers must be announced to it again.
  void ForgetAnnouncedClickers();
  // A new assessment: the parts collected so far belong to none.
  void ClearAnswerParts();
  // Each tick. Answers that went out unkept (disk trouble, the spool full) and still wait for a
  // verdict are kept once the spool can take them again, so that a process killed later does not
  // lose them.
  void KeepUnkeptAnswers();
  // Each tick while the software service is there: the bounded wait for clickers that do not
  // come back, and the back-off of answers to send again.
  void CountDownWaits();
  // The receiver closed: every answer the software service has not taken goes back to the spool
  // for the next opening (or is named as lost without one): those held for a software service
  // that did not come back, those whose exchange never ended, those waiting to go again or for
  // their turn or their clicker. Those whose record is still being written are given back by the
  // spool itself.
  void LetGoUnsent();

  // Answers waiting for the software service to come back.
  size_t HeldAnswerCount() const;

 private:
  struct LateRecord;
  // One submission, ready to go: built when the answer came, sent now or once the software
  // service is back.
  struct HeldAnswer {
    Voxlet::StringBuffer path;
    Voxlet::StringBuffer endpointId;
    Voxlet::StringBuffer studentId;
    Voxlet::StringBuffer document;
    Voxlet::StringBuffer questionId;
    uint16_t address = 0;
    bool empty = false;             // the empty submission of a session that ended without an answer
    uint64_t spoolId = 0;           // its record in the answer spool; 0 when not kept there
    bool syncing = false;           // its record is being written: the spool gives it back when the session closed
    ClickerLines::Ticket turn = 0;  // its turn in its clicker's line; 0 when it has none
    uint64_t sendId = 0;            // while it is being sent
    int attempts = 0;               // sends that ended without a verdict
    int waitTicks = 0;              // ticks before it is sent again
    // Its record written after the fact (it went out unkept, and the spool has room again).
    std::shared_ptr<LateRecord> lateRecord;
  };

  HeldAnswer BuildSubmission(const ClickerEndpointInfo& clicker, const Voxlet::StringBuffer& questionId,
                             const Voxlet::StringBuffer& document, bool empty);
  void SendSubmission(HeldAnswer answer);
  // The completion of a submission: a 2xx (taken) or a 4xx (refused: review mode) is the software
  // service's verdict and the answer leaves the spool; anything else (no reply, a 5xx, a
  // redirection) is not, and the same document goes again later.
  void OnSubmissionEnded(uint64_t sendId, const Voxlet::MessagePtr& reply);
  // Sends it again after a back-off, while the software service is there.
  void RetryLater(HeldAnswer answer, const std::string& why);
  void CountDownRetries();
  // Its clicker's line moves on: the answer was taken, refused, lost, parked or given back.
  void EndAnswerTurn(HeldAnswer& answer);
  // The session lets it go unsent: back to the spool (true), or lost (said); its turn ends.
  bool HandBack(HeldAnswer& answer);
  // The answer's turn in its clicker's line has come.
  void StartAnswerTurn(ClickerLines::Ticket turn);
  // Queues it behind its clicker's answers from the spool, ending its turn; false when there are none.
  bool ParkBehindAwaiting(HeldAnswer& answer);
  // An answer that came while the receiver closes: kept in the spool for the next opening.
  void KeepForNextOpening(const HeldAnswer& answer);
  // Holds it while the software service is away; false when it could be neither sent nor held.
  bool SendOrHold(HeldAnswer answer);

  // The answer spool (AnswerSpooling.cpp). A new submission is kept in the spool before it
  // leaves; it leaves the spool when its reply was read, or stays there for the next opening of
  // the receiver (or the next start) when the receiver closes first.
  void KeepAndSend(HeldAnswer answer);
  // Its reply was read (taken or refused): out of the spool.
  void ForgetSpooled(const HeldAnswer& answer);
  // The session lets it go unsent: true when it stays in the spool (said), false when it is lost.
  bool LetGoSpooled(const HeldAnswer& answer);
  // Takes up the spool's answers of this receiver (the software service knows the receiver again).
  void ClaimSpooledAnswers();
  // Neither kept when it came nor since.
  static bool Unkept(const HeldAnswer& answer);
  // The bounded wait for clickers that do not come back (each tick).
  void CountDownAwaitingAnswers();
  // Sends the clicker's answers from the spool, in order, and ends its wait.
  void SendAwaitingAnswers(const Voxlet::StringBuffer& endpointId);
  void LetGoAwaitingAnswers();

  IAnswerPipelineHost& m_host;
  const ClickerRegistry& m_clickers;
  ClickerLines& m_lines;
  const std::shared_ptr<AnswerSpool> m_spool;
  const size_t m_heldAnswerLimit;
  const int m_spooledAnswerWaitTicks;

  mutable std::mutex m_lock;
  // The parts of multi-packet answers by (address, sequence number): the dispatcher fills it,
  // an assessment's activation empties it.
  std::map<std::pair<uint16_t, uint8_t>, PacketContainer> m_answerParts;
  // Submissions waiting for the software service.
  std::deque<HeldAnswer> m_heldAnswers;
  // Answers whose turn in their clicker's line has not come yet, by turn; those being sent, by
  // send id; those waiting to be sent again.
  std::map<ClickerLines::Ticket, HeldAnswer> m_lineAnswers;
  std::map<uint64_t, HeldAnswer> m_sending;
  uint64_t m_lastSendId = 0;
  std::deque<HeldAnswer> m_retrying;
  // Answers from the spool waiting for their clicker by endpoint id, oldest first, with the
  // clicker's newer answers behind them; the clickers whose hello the software service answered
  // since it was last reached; the ticks left before the waiting answers go all the same.
  std::map<Voxlet::StringBuffer, std::deque<HeldAnswer>> m_awaitingClickers;
  std::set<Voxlet::StringBuffer> m_announcedClickers;
  int m_awaitingTicks = 0;
};
