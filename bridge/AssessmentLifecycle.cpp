// The assessment lifecycle: fetching the activated assessment, sending its questions in
// batches, and the review mode with each clicker's results.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>

#include "bridge/ClassLifecycle.h"
#include "client/Format.h"
#include "client/Namespaces.h"
#include "client/Strings.h"
#include "client/XPath.h"
#include "client/XmlSchema.h"
#include "client/http/Client.h"
#include "client/http/Message.h"
#include "content/AnswerLookup.h"
#include "content/ReceiverUtilities.h"
#include "log/Logger.h"
#include "protocol/Receiver.h"
#include "protocol/ReceiverPreferences.h"
#include "protocol/ReceiverProtocolHandler.h"

using Voxlet::XmlSchema;

namespace {

constexpr int kBatchSize = 40;

// The assessment sequence number, process-wide: random at first, then counting, 6 bits.
std::mutex g_sequenceLock;
int g_sequence = -1;

int NextSequenceNumber() {
  std::lock_guard<std::mutex> guard(g_sequenceLock);
  if (g_sequence < 0) {
    std::mt19937 engine(static_cast<uint32_t>(std::chrono::system_clock::now().time_since_epoch().count()));
    g_sequence = static_cast<int>(engine() & 0x3F);
  }
  g_sequence = (g_sequence + 1) & 0x3F;
  return g_sequence;
}

std::string Hex(unsigned value) {
  char text[16];
  snprintf(text, sizeof text, "%x", value);
  return text;
}

Voxlet::StringBuffer DatabasePath(const Voxlet::StringBuffer& classLink, const Voxlet::StringBuffer& assessmentId) {
  return u"/voxlet/database/" + classLink + u"/" + Voxlet::Url::Encode(assessmentId);
}

bool IsXmlSuccess(const Voxlet::MessagePtr& reply) { return reply->Success(Voxlet::Content::Types::TextXml); }

// Why a reply to one of the assessment's requests cannot be used, in words; empty when it can.
std::string UnusableReason(const Voxlet::MessagePtr& reply) {
  if (reply->State() != Voxlet::RequestStates::Complete) return "no reply";
  if (reply->StatusCode() < 200 || reply->StatusCode() > 299) return "status " + std::to_string(reply->StatusCode());
  if (!IsXmlSuccess(reply))
    return "content type \"" + Voxlet::UTF16to8(reply->ReplyHeaders().Get(Voxlet::Header::ContentType)) + "\"";
  return {};
}

void LogAssessmentNotSent(const Voxlet::StringBuffer& assessmentId, const char* what, const std::string& reason) {
  OV_LOG(kLogDiagnostic, "Assessment %s not sent to the clickers: its %s could not be read (%s)",
         Voxlet::UTF16to8(assessmentId).c_str(), what, reason.c_str());
}

// The children of the assessment's question list, sorted by their question numbers.
Voxlet::XmlElementList QuestionsByNumber(const Voxlet::XmlDocument& document) {
  static const Voxlet::XPathExpression kQuestions(u"/voxlet:assessment/voxlet:questions");
  const xercesc::DOMElement* list = kQuestions.EvaluateFirst(document);
  if (!list) return {};
  Voxlet::XmlElementList questions = XmlSchema::GetAllChildElements(list);
  std::stable_sort(questions.begin(), questions.end(), [](xercesc::DOMElement* a, xercesc::DOMElement* b) {
    return Voxlet::ParseInteger(XmlSchema::GetAttribute(a, u"voxlet:questionnumber")) <
           Voxlet::ParseInteger(XmlSchema::GetAttribute(b, u"voxlet:questionnumber"));
  });
  return questions;
}

}  // namespace

std::optional<AnsweredQuestion> CClassLifecycle::FindAnsweredQuestion(unsigned int questionNumber) {
  AnsweredQuestion question;
  Voxlet::StringBuffer currentQuestionId;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    question.document = m_assessmentDocument;
    question.graph = m_assessmentGraph;
    currentQuestionId = m_currentQuestionId;
  }
  if (!question.document) {
    OV_LOG(kLogDiagnostic, "dropped this because we don't appear to have any questions in our internal lists");
    return std::nullopt;
  }
  if (!currentQuestionId.empty()) {
    static const Voxlet::XPathExpression kQuestion(u"/voxlet:assessment/voxlet:questions/voxlet:question[@xml:id=$id]");
    Voxlet::XPathVariables variables;
    variables.Set(u"id", currentQuestionId);
    question.element = kQuestion.EvaluateFirst(*question.document, variables);
    if (!question.element) return std::nullopt;
  } else {
    static const Voxlet::XPathExpression kQuestions(u"/voxlet:assessment/voxlet:questions");
    // Over the held document: its XPath mirror is built once, not once per answer.
    const xercesc::DOMElement* list = kQuestions.EvaluateFirst(*question.document);
    const Voxlet::XmlElementList questions = list ? XmlSchema::GetAllChildElements(list) : Voxlet::XmlElementList();
    if (questions.empty()) {
      OV_LOG(kLogDiagnostic, "dropped this because we don't appear to have any questions in our internal lists");
      return std::nullopt;
    }
    if (questionNumber > questions.size()) {
      OV_LOG(kLogDiagnostic, "dropped this because we have just %d questions in our internal lists",
             static_cast<int>(questions.size()));
      return std::nullopt;
    }
    if (questionNumber == 0) return std::nullopt;
    question.element = questions[questionNumber - 1];
  }
  question.id = XmlSchema::GetAttribute(question.element, u"xml:id");
  question.resourceId = XmlSchema::GetAttribute(question.element, u"voxlet:resourceid");
  question.points = XmlSchema::GetAttribute(question.element, u"voxlet:points");
  question.format =
      Content::ObjectOf(question.graph.get(), question.resourceId, Voxlet::RDF::NodeKind::Resource, u"questionformat")
          .value_or(Voxlet::StringBuffer());
  return question;
}

void CClassLifecycle::ActivateAssessment(xercesc::DOMElement* assessmentRef) {
  if (!assessmentRef) return;
  const Voxlet::StringBuffer classLink =
      XmlSchema::GetAttribute(XmlSchema::FindElement(assessmentRef, u"voxlet:classref"), u"xlink:href");
  const Voxlet::StringBuffer assessmentId = XmlSchema::GetAttribute(assessmentRef, u"voxlet:assessmentid");
  const Voxlet::StringBuffer questionId =
      XmlSchema::GetAttribute(XmlSchema::FindElement(assessmentRef, u"voxlet:currentQuestion"), u"voxlet:questionid");
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_assessmentActive = true;
    m_classLink = classLink;
    m_currentAssessmentId = assessmentId;
    m_currentQuestionId = questionId;
  }
  m_host.ClearAnswerParts();
  static const Voxlet::XPathExpression kMetadataLink(u"voxlet:link[@voxlet:rel = $rel]");
  Voxlet::XPathVariables variables;
  variables.Set(u"rel", Voxlet::VocabularyTerm(u"rel#provides-metadata"));
  const xercesc::DOMElement* link = kMetadataLink.EvaluateFirst(assessmentRef, variables);
  if (!link) return;
  const Voxlet::StringBuffer metadataPath = u"/voxlet/database/" + XmlSchema::GetAttribute(link, u"xlink:href");

  // Metadata first, then the document; a reply for an assessment that is no longer the
  // current one is dropped, and failures end the chain. The replies are handled on the lifecycle
  // worker: a class switch that came after the activation holds the questions until it is done.
  auto stillCurrent = [this, assessmentId] {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_assessmentActive && m_currentAssessmentId == assessmentId;
  };
  auto onDocument = [this, stillCurrent, assessmentId](const Voxlet::MessagePtr& reply) {
    if (!stillCurrent()) return;
    if (const std::string reason = UnusableReason(reply); !reason.empty())
      return LogAssessmentNotSent(assessmentId, "document", reason);
    Voxlet::XmlDocumentPtr document = XmlSchema::ParseUtf8(reply->ReplyBody());
    if (!document) return LogAssessmentNotSent(assessmentId, "document", "not an XML document");
    {
      std::lock_guard<std::mutex> guard(m_lock);
      m_assessmentDocument = std::move(document);
    }
    SendQuestions();
  };
  auto onMetadata = [this, stillCurrent, onDocument, classLink, assessmentId](const Voxlet::MessagePtr& reply) {
    if (!stillCurrent()) return;
    if (const std::string reason = UnusableReason(reply); !reason.empty())
      return LogAssessmentNotSent(assessmentId, "metadata", reason);
    auto graph = std::make_shared<Voxlet::RDF::Graph>();
    if (!graph->Add(reply->ReplyBody())) return LogAssessmentNotSent(assessmentId, "metadata", "not RDF/XML");
    {
      std::lock_guard<std::mutex> guard(m_lock);
      m_assessmentGraph = graph;
    }
    m_host.SendServiceRequest(
        NewLifecycleRequest(Voxlet::Methods::Get, DatabasePath(classLink, assessmentId), onDocument));
  };
  m_host.SendServiceRequest(NewLifecycleRequest(Voxlet::Methods::Get, metadataPath, onMetadata));
}

void CClassLifecycle::ActivateQuestion(const Voxlet::StringBuffer& questionId) {
  IssueReceiverCommands(
      [](CReceiverProtocolHandler& handler) { handler.SendSessionEnd(0, SessionEndMode::kReview, Delivery::kRetry); });
  SetCurrentQuestionId(questionId);
  SendQuestions();
}

Voxlet::StringBuffer CClassLifecycle::GetAssessmentFeedback() {
  std::shared_ptr<Voxlet::RDF::Graph> graph;
  Voxlet::XmlDocumentPtr document;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    graph = m_assessmentGraph;
    document = m_assessmentDocument;
  }
  if (!graph || !document || !document->Root()) return {};
  const Voxlet::StringBuffer subject =
      u"urn:com.vantrel.voxlet:" + XmlSchema::GetAttribute(document->Root(), u"xml:id");
  const Voxlet::RDF::TripleList found =
      graph->FindTriples(subject, Voxlet::RDF::Any, Voxlet::VocabularyTerm(u"feedback"));
  if (found.size() != 1) return {};
  return found.front().object.value;
}

void CClassLifecycle::SendQuestions() {
  std::shared_ptr<Voxlet::RDF::Graph> graph;
  Voxlet::XmlDocumentPtr document;
  Voxlet::StringBuffer questionId;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    graph = m_assessmentGraph;
    document = m_assessmentDocument;
    questionId = m_currentQuestionId;
  }
  if (!document) return;
  const int sequence = NextSequenceNumber();
  const int feedback = ReceiverUtilities::GetFeedbackIDFromFeedbackName(GetAssessmentFeedback());
  Voxlet::XmlElementList questions;
  if (!questionId.empty()) {
    static const Voxlet::XPathExpression kQuestion(u"/voxlet:assessment/voxlet:questions/voxlet:question[@xml:id=$id]");
    Voxlet::XPathVariables variables;
    variables.Set(u"id", questionId);
    questions = kQuestion.Evaluate(document->Dom(), variables);
    if (questions.size() > 1) questions.resize(1);
  } else if (m_sendWholeAssessment) {
    questions = QuestionsByNumber(*document);
  }
  const int total = static_cast<int>(questions.size());
  int startOffset = 0;
  if (total == 1)
    startOffset = std::max<int>(
        0, static_cast<int>(Voxlet::ParseInteger(XmlSchema::GetAttribute(questions[0], u"voxlet:questionnumber"))) - 1);
  std::vector<unsigned int> packaged;
  for (int sent = 0; sent < total; sent += kBatchSize) {
    const int count = std::min(kBatchSize, total - sent);
    const std::string header = "0,0,A," + Hex(static_cast<unsigned>((sequence << 2) | feedback)) + "," +
                               Hex(static_cast<unsigned>(2 * startOffset)) + "," + Hex(static_cast<unsigned>(total)) +
                               "," + Hex(static_cast<unsigned>(total - sent));
    const std::string text = Voxlet::UTF16to8(ReceiverUtilities::PackageAssessmentQuestions(
        graph, questions, count, Voxlet::UTF8to16(header), sent, packaged));
    IssueReceiverCommands([&](CReceiverProtocolHandler&) { m_receiver.SendCommandText(text, Delivery::kOnce); });
  }
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_packagedQuestions = packaged;
  }

  const auto remotesControl = static_cast<unsigned>(ReceiverPreferences::ReadRegistryInteger(u"RemotesControl", 0));
  OV_LOG(kLogDiagnostic, "Read ZOMBIE registry - registry value: %u", remotesControl);
  if (remotesControl == 0) return;
  OV_LOG(kLogDiagnostic, "zombie mode is go");
  // Its commands go through the command lock like every other, so none reaches a closed
  // receiver; the close step joins the thread.
  m_simulatedAnswers.Start(
      std::move(packaged), CSimulatedAnswers::ReadSettings(), m_simulatedAnswersFirstWaitMs,
      [this](const std::string& text) {
        IssueReceiverCommands([&](CReceiverProtocolHandler&) { m_receiver.SendCommandText(text, Delivery::kOnce); });
      });
}

void CClassLifecycle::DeactivateAssessment(xercesc::DOMElement*) {
  Voxlet::StringBuffer classLink;
  Voxlet::StringBuffer assessmentId;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_assessmentActive = false;
    classLink = m_classLink;
    assessmentId = m_currentAssessmentId;
  }
  m_simulatedAnswers.Stop();  // joined by the next start or the close step
  OV_LOG(kLogDiagnostic, "Assessment deactivated; entering review mode");
  IssueReceiverCommands(
      [](CReceiverProtocolHandler& handler) { handler.SendSessionEnd(0, SessionEndMode::kReview, Delivery::kRetry); });
  if (GetAssessmentFeedback() == Voxlet::VocabularyTerm(u"feedback#show-after-assessment-deactivated")) {
    auto onReview = [this](const Voxlet::MessagePtr& reply) {
      if (IsXmlSuccess(reply)) {
        {
          std::lock_guard<std::mutex> guard(m_lock);
          if (m_assessmentActive) return;  // a new assessment started meanwhile
        }
        if (!Network().NetworkStartPending() && !Network().NetworkStarted()) return;
        Voxlet::XmlDocumentPtr document = XmlSchema::ParseUtf8(reply->ReplyBody());
        if (!document) return;
        {
          std::lock_guard<std::mutex> guard(m_lock);
          m_assessmentDocument = document;
        }
        SendResults(document);
      } else if (reply->State() == Voxlet::RequestStates::Complete) {
        Voxlet::XmlDocumentPtr held;
        {
          std::lock_guard<std::mutex> guard(m_lock);
          held = m_assessmentDocument;
        }
        if (held) SendResults(held);
      }
    };
    m_host.SendServiceRequest(
        NewLifecycleRequest(Voxlet::Methods::Get, DatabasePath(classLink, assessmentId), onReview));
  }
  std::lock_guard<std::mutex> guard(m_lock);
  m_currentAssessmentId.clear();
}

void CClassLifecycle::SendResults(const Voxlet::XmlDocumentPtr& document) {
  static const Voxlet::XPathExpression kQuestions(u"/voxlet:assessment/voxlet:questions");
  const xercesc::DOMElement* list = kQuestions.EvaluateFirst(document->Dom());
  if (!list) return;
  Voxlet::XmlElementList questions = XmlSchema::GetAllChildElements(list);
  std::stable_sort(questions.begin(), questions.end(), [](xercesc::DOMElement* a, xercesc::DOMElement* b) {
    return Voxlet::ParseInteger(XmlSchema::GetAttribute(a, u"voxlet:questionnumber")) <
           Voxlet::ParseInteger(XmlSchema::GetAttribute(b, u"voxlet:questionnumber"));
  });
  for (const KnownClicker& clicker : m_host.ClassClickers().KnownClickers()) {
    const std::string text = Voxlet::UTF16to8(
        ReceiverUtilities::PackageStudentSubmissions(clicker.address, clicker.studentId, questions, document));
    IssueReceiverCommands([&](CReceiverProtocolHandler&) { m_receiver.SendCommandText(text, Delivery::kRetry); });
  }
}
