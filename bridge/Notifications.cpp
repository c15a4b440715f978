// The notifications that come back in the replies to the receiver's poll hellos, handled in
// the order of their xml:id, one batch after the other on the lifecycle worker.
#include <iterator>

#include "bridge/ClassLifecycle.h"
#include "bridge/ReceiverSession.h"
#include "client/Namespaces.h"
#include "client/XPath.h"
#include "client/XmlSchema.h"
#include "client/http/Message.h"
#include "log/Logger.h"

using Voxlet::XmlSchema;

namespace {
// How long a batch of notifications waits for the packets the radio acknowledged before it.
constexpr uint32_t kHandOverWaitMs = 15000;
}  // namespace

// One handler per notification kind. `switching` lives for one batch: a class deactivation sets
// it, a later class activation in the same batch reads and clears it.
struct BridgeNotifications {
  using Handler = void (*)(CClassLifecycle& lifecycle, xercesc::DOMElement* notification, bool& switching);
  struct Kind {
    const char16_t* term;  // relative to the vocabulary base
    Handler handle;
  };

  static Voxlet::StringBuffer EndpointOf(xercesc::DOMElement* notification) {
    return XmlSchema::GetAttribute(XmlSchema::FindElement(notification, u"voxlet:endpointref"), u"voxlet:endpointid");
  }

  static void DatabaseActivated(CClassLifecycle&, xercesc::DOMElement*, bool&) {
    OV_LOG(kLogMilestone, "New .teacher file opened; this is essentially a no-op for us right now");
  }
  static void AssessmentActivated(CClassLifecycle& l, xercesc::DOMElement* n, bool&) {
    l.Steps().ActivateAssessment(XmlSchema::FindElement(n, u"voxlet:assessmentref"));
  }
  static void AssessmentDeactivated(CClassLifecycle& l, xercesc::DOMElement* n, bool&) {
    l.Steps().DeactivateAssessment(XmlSchema::FindElement(n, u"voxlet:assessmentref"));
  }
  static void ClassDeactivated(CClassLifecycle& l, xercesc::DOMElement* n, bool& switching) {
    switching = l.Steps().StopClass(XmlSchema::FindElement(n, u"voxlet:classref"));
  }
  static void ClassActivated(CClassLifecycle& l, xercesc::DOMElement* n, bool& switching) {
    l.SetCurrentClassId(XmlSchema::GetAttribute(XmlSchema::FindElement(n, u"voxlet:classref"), u"voxlet:classid"));
    if (!switching) {
      l.SendActivatedStatusQuery();
      return;
    }
    OV_LOG(kLogDiagnostic,
           "Class activated; but, we're switching classes so skip the activated notification (it's already been taken "
           "care of in the deactivate)");
    switching = false;
  }
  static void StudentDisconnected(CClassLifecycle& l, xercesc::DOMElement* n, bool&) {
    l.m_host.ClassClickers().DisconnectClickerInSoftware(EndpointOf(n));
  }
  static void RaisedHandCancelled(CClassLifecycle& l, xercesc::DOMElement* n, bool&) {
    l.m_host.ClassClickers().CancelRaisedHandInSoftware(EndpointOf(n));
  }
  static void ReviewModeDeactivated(CClassLifecycle& l, xercesc::DOMElement*, bool&) {
    OV_LOG(kLogDiagnostic, "Review mode deactivated");
    l.IssueReceiverCommands(
        [](CReceiverProtocolHandler& h) { h.SendSessionEnd(0, SessionEndMode::kEndReview, Delivery::kRetry); });
  }
  static void NetworkNameUpdated(CClassLifecycle& l, xercesc::DOMElement* n, bool&) {
    l.Steps().SetClassroomName(XmlSchema::GetTextContent(n));
  }
  static void QuestionActivated(CClassLifecycle& l, xercesc::DOMElement* n, bool&) {
    l.Steps().ActivateQuestion(
        XmlSchema::GetAttribute(XmlSchema::FindElement(n, u"voxlet:currentQuestion"), u"voxlet:questionid"));
  }
  static void QuestionDeactivated(CClassLifecycle& l, xercesc::DOMElement*, bool&) {
    OV_LOG(kLogDiagnostic, "Question deactivated; entering review mode");
    l.IssueReceiverCommands(
        [](CReceiverProtocolHandler& h) { h.SendSessionEnd(0, SessionEndMode::kReview, Delivery::kRetry); });
    l.SetCurrentQuestionId({});
  }

  // Compared in this order; the first match is handled.
  static constexpr Kind kKinds[] = {
      {u"notifications/database/activated", DatabaseActivated},
      {u"notifications/assessment/activated", AssessmentActivated},
      {u"notifications/assessment/deactivated", AssessmentDeactivated},
      {u"notifications/class/deactivated", ClassDeactivated},
      {u"notifications/class/activated", ClassActivated},
      {u"notifications/disconnect/student", StudentDisconnected},
      {u"notifications/class/cancelraisedhand", RaisedHandCancelled},
      {u"notifications/reviewmode/deactivated", ReviewModeDeactivated},
      {u"notifications/networkname/updated", NetworkNameUpdated},
      {u"notifications/question/activated", QuestionActivated},
      {u"notifications/question/deactivated", QuestionDeactivated},
  };

  static void Handle(CClassLifecycle& lifecycle, xercesc::DOMElement* notification, bool& switching) {
    const Voxlet::StringBuffer kind = XmlSchema::GetAttribute(notification, u"voxlet:kind");
    for (const Kind& k : kKinds) {
      if (kind != Voxlet::VocabularyTerm(k.term)) continue;
      k.handle(lifecycle, notification, switching);
      return;
    }
  }
};

void CReceiverSession::QueueNotifications(const Voxlet::MessagePtr& message) {
  Voxlet::XmlDocumentPtr document = XmlSchema::ParseUtf8(message->ReplyBody());
  if (!document) {
    if (m_channel.StartPollTrouble("not an XML document"))
      OV_LOG(kLogDiagnostic, "Notifications not read: the reply to the hello is not an XML document (%zu bytes)",
             message->ReplyBody().size());
    return;
  }
  m_channel.EndPollTrouble("the next one could");
  static const Voxlet::XPathExpression kNotifications(u"/voxlet:runtime/voxlet:notifications");
  const xercesc::DOMElement* list = kNotifications.EvaluateFirst(document->Dom());
  if (!list) return;
  Voxlet::XmlElementList notifications = XmlSchema::GetAllChildElements(list);
  if (notifications.empty()) return;
  XmlSchema::SortElementsByAttributeValue(notifications, u"xml:id");
  m_classLifecycle.TakeNotifications(std::move(document), std::move(notifications));
}

void CClassLifecycle::TakeNotifications(Voxlet::XmlDocumentPtr document, Voxlet::XmlElementList notifications) {
  // The batch takes effect on the lifecycle worker, after the batches and replies before it
  // (a class switch among them included); the document goes with it.
  Post([this, document = std::move(document), notifications = std::move(notifications)] {
    // The class, the assessment or the question may change: the answers the radio acknowledged
    // before are handed over first, to the class and question they were given in (the dispatcher
    // may still hold them, pausing after a burst of joins).
    if (!m_receiver.WaitUntilHandedOver(kHandOverWaitMs))
      OV_LOG(kLogDiagnostic, "The notifications are taken up before the receiver's last packets were handed over");
    bool switching = false;
    for (xercesc::DOMElement* notification : notifications) {
      {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_stopping) return;  // the receiver closes: the rest of the batch is moot
      }
      BridgeNotifications::Handle(*this, notification, switching);
    }
  });
}
