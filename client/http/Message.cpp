#include "client/http/Message.h"

#include <chrono>

#include "client/XmlSchema.h"

namespace Voxlet {

namespace Methods {
StringBuffer ToString(int method) {
  switch (method) {
    case Get:
      return u"GET";
    case Post:
      return u"POST";
    default:
      return u"UNKNOWN";
  }
}
}  // namespace Methods

Content::Content(const XmlDocument& document) : m_bytes(XmlSchema::PrintDocUtf8(document)) {}

Content::Content(const XmlDocumentPtr& document) {
  if (document) m_bytes = XmlSchema::PrintDocUtf8(*document);
}

void Message::Open(int method, const StringBuffer& path) {
  m_method = method;
  m_path = path;
}

int Message::State() const {
  std::lock_guard lock(m_lock);
  return m_state;
}

bool Message::Ended() const {
  std::lock_guard lock(m_lock);
  return m_ended;
}

bool Message::BlockUntil(int state, double seconds) const {
  std::unique_lock lock(m_lock);
  const auto limit = std::chrono::duration<double>(seconds > 0 ? seconds : 0);
  m_changed.wait_for(lock, limit, [&] { return m_state >= state || m_ended; });
  return m_state >= state;
}

bool Message::NoReply() const {
  std::lock_guard lock(m_lock);
  return m_ended && m_state == RequestStates::NotSent;
}

namespace {
// The media type of a Content-Type value: up to ';', blanks trimmed, lower case.
StringBuffer MediaType(const StringBuffer& value) {
  StringBuffer type = value.substr(0, value.find(u';'));
  while (!type.empty() && (type.back() == u' ' || type.back() == u'\t')) type.pop_back();
  size_t start = 0;
  while (start < type.size() && (type[start] == u' ' || type[start] == u'\t')) ++start;
  type.erase(0, start);
  for (char16_t& c : type)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
  return type;
}
}  // namespace

bool Message::Success(const StringBuffer& type) const {
  std::lock_guard lock(m_lock);
  return m_state == RequestStates::Complete && m_status >= 200 && m_status <= 299 &&
         MediaType(m_replyHeaders.Get(Header::ContentType)) == MediaType(type);
}

bool Message::Failure() const {
  std::lock_guard lock(m_lock);
  if (m_state == RequestStates::Complete) return m_status >= 400;
  return m_state == RequestStates::NotSent && m_ended;
}

int Message::StatusCode() const {
  std::lock_guard lock(m_lock);
  return m_status;
}

StringBuffer Message::ReasonPhrase() const {
  std::lock_guard lock(m_lock);
  return m_reason;
}

Header::Collection Message::ReplyHeaders() const {
  std::lock_guard lock(m_lock);
  return m_replyHeaders;
}

std::string Message::ReplyBody() const {
  std::lock_guard lock(m_lock);
  return m_replyBody;
}

StringBuffer Message::ReplyText() const { return UTF8to16(ReplyBody()); }

bool Message::MarkSubmitted() {
  std::lock_guard lock(m_lock);
  if (m_submitted) return false;
  m_submitted = true;
  return true;
}

void Message::SetState(int state) {
  {
    std::lock_guard lock(m_lock);
    if (m_ended) return;
    m_state = state;
  }
  m_changed.notify_all();
}

bool Message::End(bool replied, int status, StringBuffer reason, Header::Collection headers, std::string body) {
  {
    std::lock_guard lock(m_lock);
    if (m_ended) return false;
    if (replied) {
      m_status = status;
      m_reason = std::move(reason);
      m_replyHeaders = std::move(headers);
      m_replyBody = std::move(body);
    }
    m_state = replied ? RequestStates::Complete : RequestStates::NotSent;
    m_ended = true;
  }
  m_changed.notify_all();
  return true;
}

}  // namespace Voxlet
