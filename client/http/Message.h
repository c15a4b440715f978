#pragma once
#include <boost/signals2/signal.hpp>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "client/XmlDocument.h"
#include "client/http/Header.h"
#include "text/StringBuffer.h"

namespace Voxlet {

// Request methods by code: 0 is GET, 1 is POST.
namespace Methods {
enum Value : int { Get = 0, Post = 1 };
// "GET", "POST", or "UNKNOWN" for any other code.
StringBuffer ToString(int method);
}  // namespace Methods

// Where a request is: 0 not sent (no connection, a write error, aborted, or the exchange broke
// before a complete reply), 1 being written, 2 written and waiting, 3 reply arriving, 4 reply
// complete.
namespace RequestStates {
enum Value : int { NotSent = 0, Writing = 1, Waiting = 2, Receiving = 3, Complete = 4 };
}  // namespace RequestStates

namespace StatusCodes {
inline constexpr int OK = 200;
inline constexpr int Created = 201;
inline constexpr int Accepted = 202;
inline constexpr int NoContent = 204;
inline constexpr int BadRequest = 400;
inline constexpr int Forbidden = 403;
inline constexpr int NotFound = 404;
inline constexpr int Conflict = 409;
inline constexpr int InternalServerError = 500;
}  // namespace StatusCodes

// A request body: UTF-8 bytes. Built from text (UTF-16 or UTF-8).
class Content {
 public:
  struct Types {
    static inline const StringBuffer TextXml = u"text/xml";
    static inline const StringBuffer ApplicationRdfXml = u"application/rdf+xml";
  };

  Content() = default;
  explicit Content(const StringBuffer& text) : m_bytes(UTF16to8(text)) {}
  // The document printed as UTF-8 (XmlSchema::PrintDoc); empty for a null document.
  explicit Content(const XmlDocument& document);
  explicit Content(const XmlDocumentPtr& document);
  static Content FromUtf8(std::string bytes) {
    Content c;
    c.m_bytes = std::move(bytes);
    return c;
  }

  const std::string& Bytes() const { return m_bytes; }
  bool Empty() const { return m_bytes.empty(); }

 private:
  std::string m_bytes;
};

// One part of a multi-part request body: its own headers and, optionally, its own content.
// A part without content of its own carries the request's content. A request with parts goes
// on the wire as a "multipart/mixed" body, one section per part, each with its headers.
class Part {
 public:
  Header::Collection& Headers() { return m_headers; }
  const Header::Collection& Headers() const { return m_headers; }
  void SetContent(Content content) { m_content = std::move(content); }
  const std::optional<Content>& GetContent() const { return m_content; }

 private:
  Header::Collection m_headers;
  std::optional<Content> m_content;
};

class Message;
using MessagePtr = std::shared_ptr<Message>;

// One request to the software service and, once it came back, its reply. Build it (Open,
// headers, content, parts), connect to Completed, then hand it to Client::Send. The request side
// must not be changed after Send; the reply side is filled by the library and read through the
// accessors, which are safe from any thread.
class Message : public std::enable_shared_from_this<Message> {
 public:
  using CompletedSignal = boost::signals2::signal<void(const MessagePtr&)>;

  static MessagePtr Create() { return std::make_shared<Message>(); }

  // Sets method (Methods code) and path (absolute, "/..." with its query) of the request.
  void Open(int method, const StringBuffer& path);
  int Method() const { return m_method; }
  const StringBuffer& Path() const { return m_path; }

  Header::Collection& Headers() { return m_headers; }
  const Header::Collection& Headers() const { return m_headers; }
  void SetContent(Content content) { m_content = std::move(content); }
  const Content& GetContent() const { return m_content; }
  std::vector<Part>& Parts() { return m_parts; }
  const std::vector<Part>& Parts() const { return m_parts; }

  // Requests with an order key may be in flight together with requests of other keys (on further
  // connections of the client); those of one key still go one at a time in the order sent. A
  // request without a key (the default) waits for every request sent before it to complete, and
  // every request sent after it waits for it.
  void SetOrderKey(StringBuffer key) { m_orderKey = std::move(key); }
  const StringBuffer& OrderKey() const { return m_orderKey; }

  // Fires once when the exchange ends (reply complete, or failed), on a library thread.
  CompletedSignal& Completed() { return m_completed; }

  int State() const;
  // Blocks until the request reaches `state` or ends, or `seconds` pass. True when the state was
  // reached. A request that fails ends the wait at once.
  bool BlockUntil(int state, double seconds) const;
  // Reply complete with a 2xx status and the reply content type `type` (parameters ignored).
  bool Success(const StringBuffer& type) const;
  // Never sent or broken off (state 0 after it ended), or a complete reply with status >= 400.
  bool Failure() const;
  // True once the exchange has ended (success or failure).
  bool Ended() const;
  // Ended without a reply (state 0): never written, or its own exchange broke (or timed out)
  // before the whole reply was read, so the service may or may not have acted on it. False while
  // it has not ended and once a reply, of any status, was read. Requests of other connections
  // that broke never end this way.
  bool NoReply() const;

  int StatusCode() const;
  StringBuffer ReasonPhrase() const;
  Header::Collection ReplyHeaders() const;
  // The reply body as received (UTF-8 bytes) and as text.
  std::string ReplyBody() const;
  StringBuffer ReplyText() const;

  // Used by the library.
  bool MarkSubmitted();
  // Moves an exchange that has not ended on.
  void SetState(int state);
  // Ends the exchange: state 4 with the reply, or state 0 (replied false); wakes waiters. False
  // when it had ended already. The completion signal is fired separately by the client so that it
  // runs on the client's thread.
  bool End(bool replied, int status = 0, StringBuffer reason = {}, Header::Collection headers = {},
           std::string body = {});

 private:
  int m_method = Methods::Get;
  StringBuffer m_path;
  Header::Collection m_headers;
  Content m_content;
  std::vector<Part> m_parts;
  StringBuffer m_orderKey;
  CompletedSignal m_completed;

  mutable std::mutex m_lock;
  mutable std::condition_variable m_changed;
  int m_state = RequestStates::NotSent;
  bool m_submitted = false;
  bool m_ended = false;
  int m_status = 0;
  StringBuffer m_reason;
  Header::Collection m_replyHeaders;
  std::string m_replyBody;
};

}  // namespace Voxlet
