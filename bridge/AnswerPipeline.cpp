// The answer pipeline's way in and out: answers from the clickers (the question answered, the
// answer bytes turned into text by the question's format), the submission to the software
// service for the clicker's student, its verdict, and the answers held or sent again meanwhile.
#include "bridge/AnswerPipeline.h"

#include <algorithm>

#include "bridge/AnswerDecoding.h"
#include "bridge/ClickerDocuments.h"
#include "bridge/RelayReasons.h"
#include "bridge/RelayText.h"
#include "client/Format.h"
#include "client/Namespaces.h"
#include "client/Strings.h"
#include "client/XPath.h"
#include "client/XmlSchema.h"
#include "client/http/Client.h"
#include "client/http/Message.h"
#include "content/AnswerLookup.h"
#include "content/Translation.h"
#include "log/Logger.h"
#include "protocol/ReceiverProtocolHandler.h"

using namespace Bridge::Reasons;
using Bridge::kStudentHeader;
using Bridge::Utf8;
using Voxlet::XmlSchema;

namespace {

// Multi-packet answers being collected at once; beyond this, completed ones are let go first.
constexpr size_t kMaxAnswerAssemblies = 8192;

// Every answer the receiver took from a clicker and that does not reach the software service
// gets a line that names it.
void LogAnswerNotSubmitted(uint16_t address, unsigned questionNumber, const char* reason) {
  OV_LOG(kLogDiagnostic, "Answer of clicker %u to question %u not submitted: %s", address, questionNumber, reason);
}

const Translation& AnswerTranslation() {
  static const Translation translation;
  return translation;
}

}  // namespace

CAnswerPipeline::CAnswerPipeline(IAnswerPipelineHost& host, const ClickerRegistry& clickers, ClickerLines& lines,
                                 const SessionEnvironment& environment)
    : m_host(host),
      m_clickers(clickers),
      m_lines(lines),
      m_spool(environment.spool),
      m_heldAnswerLimit(environment.heldAnswerLimit),
      m_spooledAnswerWaitTicks(environment.spooledAnswerWaitTicks) {}

void CAnswerPipeline::ClearAnswerParts() {
  std::lock_guard<std::mutex> guard(m_lock);
  m_answerParts.clear();
}

void CAnswerPipeline::OnAnswerUpload(uint16_t address, uint8_t questionNumber, const std::vector<uint8_t>& answer) {
  uint8_t bytes[5] = {};
  std::copy_n(answer.begin(), std::min<size_t>(answer.size(), 5), bytes);
  const bool connected = m_host.ServiceConnected();
  const std::optional<ClickerEndpointInfo> clicker = m_clickers.FindByAddress(address);
  OV_LOG(kLogPacket, "%s - ANSWER_UPLOAD packet: addr - %u, question number - %u, answer = %x,%x,%x,%x,%x; %s",
         m_host.PortUtf8().c_str(), address, questionNumber, bytes[0], bytes[1], bytes[2], bytes[3], bytes[4],
         !clicker ? kNotFound : (!connected ? kNotConnected : kRelaying));
  if (!clicker) {
    LogAnswerNotSubmitted(address, questionNumber, kNotFound);
    return;
  }
  const std::optional<AnsweredQuestion> question = m_host.FindAnsweredQuestion(questionNumber);
  if (!question) {
    LogAnswerNotSubmitted(address, questionNumber, "the question is not in the active assessment");
    return;
  }
  Voxlet::StringBuffer text;
  switch (Bridge::AnswerFormatOf(question->format)) {
    case Bridge::AnswerFormat::Choice:
      text = Bridge::DecodeChoiceAnswer(bytes, sizeof bytes,
                                        Content::ChoiceValues(question->graph.get(), question->element));
      break;
    case Bridge::AnswerFormat::Number:
      text = Bridge::DecodeNumberAnswer(bytes, sizeof bytes);
      break;
    case Bridge::AnswerFormat::ShortAnswer:
      text = Bridge::DecodeShortAnswer(bytes, sizeof bytes);
      break;
    default:
      break;
  }
  SubmitAnswer(text, question->id, question->points, *clicker);
}

void CAnswerPipeline::OnEnhancedAnswerUpload(uint16_t address, uint8_t sequenceNumber, uint8_t totalPackets,
                                             uint8_t packetNumber, uint8_t questionNumber, const uint8_t* data,
                                             uint32_t dataLength) {
  const bool connected = m_host.ServiceConnected();
  const std::optional<ClickerEndpointInfo> clicker = m_clickers.FindByAddress(address);
  OV_LOG(kLogPacket,
         "%s - ENHANCED_ANSWER_UPLOAD packet: addr - %u, question number - %u, total packets - %u, packet number - %u, "
         "sequence number - %u, %s",
         m_host.PortUtf8().c_str(), address, questionNumber, totalPackets, packetNumber, sequenceNumber,
         !clicker ? kNotFound : (!connected ? kNotConnected : kRelaying));
  if (!clicker) {
    LogAnswerNotSubmitted(address, questionNumber, kNotFound);
    return;
  }
  // Parts are numbered from 0; a part outside its answer would be taken for a missing one.
  if (packetNumber >= totalPackets) {
    LogAnswerNotSubmitted(address, questionNumber, "the part number lies outside the answer's parts");
    return;
  }
  std::vector<unsigned char> combined;
  unsigned int answeredNumber = 0;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    const auto key = std::make_pair(address, sequenceNumber);
    auto found = m_answerParts.find(key);
    if (found == m_answerParts.end() && m_answerParts.size() >= kMaxAnswerAssemblies)
      std::erase_if(m_answerParts, [](auto& entry) { return entry.second.containsAllParts(); });
    if (found == m_answerParts.end() && m_answerParts.size() >= kMaxAnswerAssemblies) {
      LogAnswerNotSubmitted(address, questionNumber, "too many answers are being collected at once");
      return;
    }
    PacketContainer& container = m_answerParts[key];
    if (container.totalParts() == 0) container = PacketContainer(totalPackets);
    container.insertPart(packetNumber, data, static_cast<int>(dataLength));
    if (questionNumber != 0) container.setQuestionNumber(questionNumber);
    if (!container.containsAllParts()) return;
    combined = container.combineAllPacketParts();
    answeredNumber = container.questionNumber();
  }
  const std::optional<AnsweredQuestion> question = m_host.FindAnsweredQuestion(answeredNumber);
  if (!question) {
    LogAnswerNotSubmitted(address, answeredNumber, "the question is not in the active assessment");
    return;
  }
  const bool math = question->format == Voxlet::VocabularyTerm(u"questionformat#math");
  SubmitAnswer(AnswerTranslation().translateToUnicodeString(combined, math), question->id, question->points, *clicker);
}

void CAnswerPipeline::SubmitAnswer(const Voxlet::StringBuffer& answer, const Voxlet::StringBuffer& questionId,
                                   const Voxlet::StringBuffer& points, const ClickerEndpointInfo& clicker) {
  const Voxlet::StringBuffer document = Bridge::SubmissionText(Voxlet::CurrentTimestamp(), points, questionId, answer);
  KeepAndSend(BuildSubmission(clicker, questionId, document, false));
}

CAnswerPipeline::HeldAnswer CAnswerPipeline::BuildSubmission(const ClickerEndpointInfo& clicker,
                                                             const Voxlet::StringBuffer& questionId,
                                                             const Voxlet::StringBuffer& document, bool empty) {
  HeldAnswer held;
  held.path = m_host.SubmitPath();
  held.endpointId = clicker.endpointId;
  held.studentId = clicker.studentId;
  held.document = document;
  held.questionId = questionId;
  held.address = clicker.shortAddress;
  held.empty = empty;
  return held;
}

bool CAnswerPipeline::SendOrHold(HeldAnswer answer) {
  if (m_host.ServiceConnected()) {
    SendSubmission(std::move(answer));
    return true;
  }
  // The software service is away (the client fails every request at once meanwhile): the
  // submission waits for it, up to a limit, in order with the clicker's answers held after it.
  // Its clicker's line moves on meanwhile, since nothing of the clicker goes before the service
  // is back and the held answers go first then.
  const bool leaving = m_host.Leaving();
  bool held = false;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    // The spool has a limit of its own; the count limits only what is held in memory alone.
    held = !leaving && (answer.spoolId != 0 || m_heldAnswers.size() < m_heldAnswerLimit);
    if (held) {
      OV_LOG(kLogDiagnostic, "Holding the answer of endpoint %s to question %s until the software service is back",
             Utf8(answer.endpointId).c_str(), Utf8(answer.questionId).c_str());
      m_heldAnswers.push_back(answer);
      m_heldAnswers.back().turn = 0;
    }
  }
  if (held) {
    EndAnswerTurn(answer);
    return true;
  }
  if (leaving) return HandBack(answer);
  LogAnswerNotSubmitted(answer.address, 0, "the software service is away and no more answers can be held");
  OV_LOG(kLogDiagnostic, "The answer to question %s of endpoint %s is lost", Utf8(answer.questionId).c_str(),
         Utf8(answer.endpointId).c_str());
  EndAnswerTurn(answer);
  return false;
}

void CAnswerPipeline::SendSubmission(HeldAnswer answer) {
  uint64_t sendId = 0;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    sendId = ++m_lastSendId;
    answer.sendId = sendId;
    m_sending[sendId] = answer;
  }
  auto completion = [this, sendId](const Voxlet::MessagePtr& reply) { OnSubmissionEnded(sendId, reply); };
  Voxlet::MessagePtr message = m_host.NewServiceRequest(Voxlet::Methods::Post, answer.path, completion, false);
  message->Headers()[Voxlet::Header::XVantrelVoxletEndpoint] = answer.endpointId;
  message->Headers()[kStudentHeader] = answer.studentId;
  message->Headers()[Voxlet::Header::ContentType] = u"text/xml";
  // Submissions of different clickers may be in flight together; one clicker's go in order.
  message->SetOrderKey(answer.endpointId);
  if (!answer.empty) {
    Voxlet::Part part;
    part.Headers()[Voxlet::Header::ContentType] = Voxlet::Content::Types::TextXml;
    part.Headers()[u"Content-Disposition"] = u"filename=\"submission.xml\"";
    message->Parts().push_back(std::move(part));
  }
  message->SetContent(Voxlet::Content(answer.document));
  if (m_host.SendServiceRequest(message)) return;
  // Not sent (the receiver is closing): unless its completion took it already, it goes back.
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_sending.erase(sendId) == 0) return;
  }
  OV_LOG(kLogDiagnostic, "The answer of endpoint %s to question %s could not be sent: the receiver is closing",
         Utf8(answer.endpointId).c_str(), Utf8(answer.questionId).c_str());
  HandBack(answer);
}

void CAnswerPipeline::OnSubmissionEnded(uint64_t sendId, const Voxlet::MessagePtr& reply) {
  HeldAnswer answer;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    const auto found = m_sending.find(sendId);
    if (found == m_sending.end()) return;  // given back already
    answer = std::move(found->second);
    m_sending.erase(found);
  }
  answer.sendId = 0;
  const bool complete = reply->State() == Voxlet::RequestStates::Complete;
  const int status = complete ? reply->StatusCode() : 0;
  if (complete && ((status >= 200 && status < 300) || (status >= 400 && status < 500))) {
    // The software service's verdict: taken, or refused (the clicker goes to review mode).
    if (status < 300)
      OV_LOG(kLogDiagnostic, "The software service took the answer of endpoint %s to question %s",
             Utf8(answer.endpointId).c_str(), Utf8(answer.questionId).c_str());
    ForgetSpooled(answer);
    EndAnswerTurn(answer);
    if (answer.empty)
      m_host.LogIfFailed(reply);
    else
      OnSubmitResponse(reply);
    return;
  }
  // No verdict: the service may not have it (no reply), or could not take it now (a 5xx while it
  // starts, a redirection). The same document goes again, byte for byte.
  if (complete) m_host.LogUnexpectedEvent(reply);
  if (!m_host.ServiceConnected()) {
    SendOrHold(std::move(answer));
    return;
  }
  RetryLater(std::move(answer), complete ? "status " + std::to_string(status) : std::string("no reply"));
}

namespace {
// Ticks (seconds) before a submission without a verdict goes again: at once, then doubling up to
// four minutes.
int RetryDelayTicks(int attempts) {
  if (attempts <= 1) return 0;
  return std::min(1 << std::min(attempts - 2, 8), 240);
}
}  // namespace

void CAnswerPipeline::RetryLater(HeldAnswer answer, const std::string& why) {
  ++answer.attempts;
  answer.waitTicks = RetryDelayTicks(answer.attempts);
  OV_LOG(kLogDiagnostic,
         "The software service gave no verdict on the answer of endpoint %s to question %s (%s, %d time(s)); it is "
         "sent again in %d s",
         Utf8(answer.endpointId).c_str(), Utf8(answer.questionId).c_str(), why.c_str(), answer.attempts,
         answer.waitTicks);
  if (answer.waitTicks == 0) {
    SendOrHold(std::move(answer));
    return;
  }
  if (!m_host.Leaving()) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_retrying.push_back(std::move(answer));
    return;
  }
  HandBack(answer);
}

void CAnswerPipeline::CountDownRetries() {
  std::vector<HeldAnswer> due;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    for (auto it = m_retrying.begin(); it != m_retrying.end();) {
      if (--it->waitTicks > 0) {
        ++it;
        continue;
      }
      due.push_back(std::move(*it));
      it = m_retrying.erase(it);
    }
  }
  for (HeldAnswer& answer : due) SendOrHold(std::move(answer));
}

void CAnswerPipeline::EndAnswerTurn(HeldAnswer& answer) {
  const ClickerLines::Ticket turn = answer.turn;
  answer.turn = 0;
  if (turn != 0) m_lines.Done(turn);
}

bool CAnswerPipeline::HandBack(HeldAnswer& answer) {
  const bool stays = LetGoSpooled(answer);
  if (!stays)
    OV_LOG(kLogDiagnostic,
           "The answer to question %s of endpoint %s is lost: the receiver closed before the software service took it",
           Utf8(answer.questionId).c_str(), Utf8(answer.endpointId).c_str());
  EndAnswerTurn(answer);
  return stays;
}

void CAnswerPipeline::DeliverHeldAnswers() {
  ClaimSpooledAnswers();
  std::deque<HeldAnswer> held;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    held.swap(m_heldAnswers);
  }
  if (!held.empty())
    OV_LOG(kLogDiagnostic, "Sending %u answer(s) held while the software service was away",
           static_cast<unsigned>(held.size()));
  for (HeldAnswer& answer : held)
    if (!ParkBehindAwaiting(answer)) SendOrHold(std::move(answer));
}

void CAnswerPipeline::CountDownWaits() {
  CountDownAwaitingAnswers();
  CountDownRetries();
}

void CAnswerPipeline::LetGoUnsent() {
  std::vector<HeldAnswer> unsent;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    for (HeldAnswer& answer : m_heldAnswers) unsent.push_back(std::move(answer));
    for (auto& [id, answer] : m_sending) unsent.push_back(std::move(answer));
    for (HeldAnswer& answer : m_retrying) unsent.push_back(std::move(answer));
    for (auto& [turn, answer] : m_lineAnswers)
      if (!answer.syncing) unsent.push_back(std::move(answer));
    m_heldAnswers.clear();
    m_sending.clear();
    m_retrying.clear();
    m_lineAnswers.clear();
  }
  LetGoAwaitingAnswers();
  for (HeldAnswer& answer : unsent) HandBack(answer);
}

size_t CAnswerPipeline::HeldAnswerCount() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_heldAnswers.size();
}

void CAnswerPipeline::OnSubmitResponse(const Voxlet::MessagePtr& message) {
  if (!message->Failure()) return;
  m_host.LogUnexpectedEvent(message);
  const Voxlet::StringBuffer endpointId = message->Headers().Get(Voxlet::Header::XVantrelVoxletEndpoint);
  const std::optional<ClickerEndpointInfo> clicker = m_clickers.FindByEndpoint(endpointId);
  OV_LOG(kLogDiagnostic, "The submission of endpoint %s failed (status %d); the answer is not submitted",
         Utf8(endpointId).c_str(), message->StatusCode());
  if (!clicker) return;
  if (clicker->shortAddress != 0)
    OV_LOG(kLogMilestone, "Post submit failed. Has valid endpoint.%u go to review mode", clicker->shortAddress);
  m_host.SendReceiverCommands([&](CReceiverProtocolHandler& handler) {
    handler.SendSessionEnd(clicker->shortAddress, SessionEndMode::kReview, Delivery::kRetry);
  });
}

void CAnswerPipeline::OnSessionEndRemote(uint16_t address) {
  if (address == 0) return;
  const bool assessmentStarted = m_host.AssessmentStarted();
  const bool connected = m_host.ServiceConnected();
  const std::optional<ClickerEndpointInfo> clicker = m_clickers.FindByAddress(address);
  OV_LOG(kLogPacket, "%s - SESSION_END_REMOTE packet: addr - %u; %s", m_host.PortUtf8().c_str(), address,
         !assessmentStarted ? kNoAssessment : (!clicker ? kNotFound : (!connected ? kNotConnected : kRelaying)));
  if (!assessmentStarted || !clicker) return;
  KeepAndSend(
      BuildSubmission(*clicker, {}, Bridge::EmptySubmissionText(Voxlet::CurrentTimestamp(), clicker->studentId), true));
}
