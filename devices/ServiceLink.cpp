#include "devices/ServiceLink.h"

#include "client/Format.h"
#include "client/Namespaces.h"
#include "client/Strings.h"
#include "client/XPath.h"
#include "client/XmlSchema.h"
#include "log/Logger.h"
#include "platform/SocketExceptions.h"
#include "sdk/LogText.h"
#include "service/ServiceHost.h"

namespace {

constexpr const char16_t* kServiceSubject = u"urn:com.vantrel.voxlet:hardwareservice";
constexpr const char16_t* kServiceEndpoint = u"hardwareservice";

// The service's own description, from a fixed template.
Voxlet::XmlDocumentPtr HelloDocument() {
  static const char16_t* kTemplate =
      u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
      u"<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\" "
      u"xmlns:dc=\"http://purl.org/dc/elements/1.1/\">"
      u"<rdf:Description rdf:about=\"urn:com.vantrel.voxlet:hardwareservice\">"
      u"<dc:title/><dc:description/></rdf:Description></rdf:RDF>";
  Voxlet::XmlDocumentPtr document = Voxlet::XmlSchema::Parse(kTemplate);
  if (!document) return nullptr;
  xercesc::DOMElement* root = document->Root();
  xercesc::DOMNode* description = root ? root->getFirstChild() : nullptr;
  Voxlet::XmlSchema::SetTextContent(Voxlet::XmlSchema::FindElement(description, u"dc:title"),
                                    Voxlet::UTF8to16(kServiceName));
  Voxlet::XmlSchema::SetTextContent(Voxlet::XmlSchema::FindElement(description, u"dc:description"),
                                    Voxlet::UTF8to16(kServiceDescription));
  return document;
}

}  // namespace

CServiceLink::CServiceLink(ServiceLinkHooks hooks) : m_hooks(std::move(hooks)) {}

void CServiceLink::Attach(const Voxlet::ClientPtr& client) {
  if (!client) return;
  client->SetUserData(kHelloTicks);
  client->StateChanged().connect([this](Voxlet::Client& c, int state) { OnClientStateChanged(c, state); });
  client->Tick().connect([this](Voxlet::Client& c) { OnClientTick(c); });
  std::lock_guard<std::mutex> guard(m_lock);
  m_client = client;
}

void CServiceLink::Connect(const Voxlet::StringBuffer& uri) {
  const std::string text = Voxlet::UTF16to8(uri);
  OV_LOG(kLogMilestone, "%s", text.c_str());
  Voxlet::ClientPtr client;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_serviceUri = text;
    m_reach = Reach::kUnknown;
    client = m_client;
  }
  if (client) client->Connect(uri);
}

void CServiceLink::Stop() {
  std::lock_guard<std::mutex> guard(m_lock);
  m_stopped = true;
}

void CServiceLink::Detach() {
  Voxlet::ClientPtr client;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_stopped = true;
    client.swap(m_client);
  }
  if (client) client->Disconnect();
}

Voxlet::ClientPtr CServiceLink::Client() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_client;
}

bool CServiceLink::Connected() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_reach == Reach::kConnected;
}

bool CServiceLink::Stopped() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_stopped;
}

// The milestones are written under the lock, so that they are in the order decided.
void CServiceLink::ReportReachable() {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_reach == Reach::kConnected) return;
  m_reach = Reach::kConnected;
  OV_LOG(kLogMilestone, "Software service at %s connected", EscapeForLog(m_serviceUri).c_str());
}

void CServiceLink::ReportUnreachable(const std::string& reason) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_reach == Reach::kUnreachable) return;
  m_reach = Reach::kUnreachable;
  OV_LOG(kLogMilestone, "Software service not reachable at %s: %s; retrying", EscapeForLog(m_serviceUri).c_str(),
         reason.c_str());
}

void CServiceLink::OnClientStateChanged(Voxlet::Client& client, int state) {
  if (Stopped()) return;
  if (state == Voxlet::ClientStates::Connected) {
    ReportReachable();
    m_hooks.enumerateReceivers();
    SendHello(Hello::kAnnounce);
  } else if (state == Voxlet::ClientStates::Disconnected) {
    ReportUnreachable("the connection was lost");
    client.SetReconnectWanted(true);
  }
}

void CServiceLink::OnClientTick(Voxlet::Client& client) {
  if (Stopped()) return;
  // A connection that cannot be made does not change the state: the client keeps connecting,
  // and its last socket error says why.
  if (client.State() == Voxlet::ClientStates::Connecting && client.LastSocketException() != 0)
    ReportUnreachable(Voxlet::UTF16to8(Voxlet::SocketExceptions::ToString(client.LastSocketException())));
  if (client.State() == Voxlet::ClientStates::Connected) {
    int countdown = kHelloTicks;
    try {
      countdown = boost::any_cast<int>(client.UserData());
    } catch (const boost::bad_any_cast&) {
    }
    if (countdown > 0) {
      if (--countdown == 0) {
        SendHello(Hello::kPoll);
        countdown = kHelloTicks;
      }
      client.SetUserData(countdown);
    }
    if (countdown % 3 == 1) m_hooks.retryPendingDevices();
  }
  m_hooks.tick();
}

void CServiceLink::SendPost(const Voxlet::StringBuffer& path) {
  Voxlet::ClientPtr client = Client();
  if (!client) return;
  auto message = Voxlet::Message::Create();
  message->Open(Voxlet::Methods::Post, path);
  client->Send(message);
}

void CServiceLink::SendReceiverRemoved(const Voxlet::StringBuffer& endpointId, AfterReset after) {
  SendPost(u"/voxlet/scripts/teachers/receiverRemoved.js?failure=true&endpoint=" +
           (endpointId.empty() ? Voxlet::StringBuffer() : Voxlet::Url::Encode(endpointId)) + u"&reconnect=" +
           Voxlet::FormatBoolean(after == AfterReset::kReconnect));
}

void CServiceLink::SendHello(Hello hello) {
  Voxlet::ClientPtr client = Client();
  if (!client) return;
  auto message = Voxlet::Message::Create();
  message->Open(hello == Hello::kAnnounce ? Voxlet::Methods::Post : Voxlet::Methods::Get,
                u"/voxlet/builtins/anyone/hello?subject=" + Voxlet::Url::Encode(kServiceSubject));
  message->Headers()[Voxlet::Header::XVantrelVoxletEndpoint] = kServiceEndpoint;
  if (hello == Hello::kAnnounce) {
    message->Headers()[Voxlet::Header::ContentType] = Voxlet::Content::Types::ApplicationRdfXml;
    message->SetContent(Voxlet::Content(HelloDocument()));
  }
  message->Completed().connect([this](const Voxlet::MessagePtr& reply) { OnHelloReply(reply); });
  client->Send(message);
}

void CServiceLink::OnHelloReply(const Voxlet::MessagePtr& reply) {
  if (reply->Failure() || !reply->Success(Voxlet::Content::Types::TextXml)) return;
  if (reply->StatusCode() == Voxlet::StatusCodes::Created) {
    SendPost(u"/voxlet/scripts/teachers/subscribe/HarewareServiceSubscribe.js?endpointXmlId=" +
             Voxlet::Url::Encode(kServiceEndpoint));
    SendPost(u"/voxlet/builtins/teachers/modeSwitching");
    return;
  }
  Voxlet::XmlDocumentPtr document = Voxlet::XmlSchema::ParseUtf8(reply->ReplyBody());
  if (!document) return;
  xercesc::DOMElement* list =
      Voxlet::XPathExpression(u"/voxlet:runtime/voxlet:notifications").EvaluateFirst(document->Root());
  if (!list) return;
  Voxlet::XmlElementList notifications = Voxlet::XmlSchema::GetAllChildElements(list);
  Voxlet::XmlSchema::SortElementsByAttributeValue(notifications, u"xml:id");
  const Voxlet::StringBuffer modeSwitching = Voxlet::VocabularyTerm(u"notifications/hardware/modeswitching");
  for (xercesc::DOMElement* notification : notifications)
    if (Voxlet::XmlSchema::GetAttribute(notification, u"voxlet:kind") == modeSwitching) m_hooks.enumerateReceivers();
}
