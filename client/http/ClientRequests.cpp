// The requests of Voxlet::Client: which may go now and on which connection, writing one, reading
// its reply, and ending it (replied or failed) with the figures kept. Every function here runs on
// the strand, but for the owner's reads of the figures.
#include <algorithm>
#include <set>

#include "client/http/ClientImpl.h"

namespace Voxlet {

namespace {

// A request whose reply has not fully arrived after this long breaks the connection.
constexpr auto kExchangeLimit = std::chrono::seconds(30);
constexpr size_t kReplyBodyLimit = 64u << 20;

}  // namespace

// The requests in flight and the queued ones, in the order they were sent.
std::vector<Pending> Client::Impl::TakeAllLocked() {
  std::vector<Pending> all;
  for (auto& c : m_connections)
    if (c->current) {
      all.push_back(std::move(*c->current));
      c->current.reset();
    }
  std::sort(all.begin(), all.end(), [](const Pending& a, const Pending& b) { return a.sequence < b.sequence; });
  for (Pending& p : m_queue) all.push_back(std::move(p));
  m_queue.clear();
  return all;
}

// Starts what may go now: the front request without a key when nothing is in flight; requests
// with a key, in the order sent, up to the first without one, skipping keys already in flight
// or waiting earlier in the queue, while a connection is free or can be opened.
void Client::Impl::Pump() {
  if (!m_reopening && state == ClientStates::Connected) {
    if (!Primary().open) return Reopen();
    StartWhatMayGo();
  }
  for (auto& c : m_connections)
    if (c->open && !HasCurrent(*c)) WatchIdle(*c);
}

void Client::Impl::StartWhatMayGo() {
  std::vector<std::pair<Connection*, Pending>> starts;
  bool wantMore = false;
  {
    std::lock_guard lock(m_lock);
    std::set<StringBuffer> busyKeys;
    size_t inFlight = 0;
    for (auto& c : m_connections) {
      if (!c->current) continue;
      const StringBuffer& key = c->current->message->OrderKey();
      if (key.empty()) return;  // everything waits for it
      ++inFlight;
      busyKeys.insert(key);
    }
    for (auto it = m_queue.begin(); it != m_queue.end();) {
      const StringBuffer& key = it->message->OrderKey();
      Connection* free = nullptr;
      if (key.empty()) {
        if (inFlight == 0 && it == m_queue.begin()) free = &Primary();
      } else if (!busyKeys.insert(key).second) {
        ++it;
        continue;
      } else {
        for (auto& c : m_connections)
          if (c->open && !c->current) {
            free = c.get();
            break;
          }
        wantMore = !free;
      }
      if (!free) break;
      free->current = std::move(*it);
      starts.emplace_back(free, *free->current);
      ++inFlight;
      it = m_queue.erase(it);
      if (key.empty()) break;
    }
  }
  if (wantMore) OpenMore();
  for (auto& [c, pending] : starts) Write(*c, pending);
}

bool Client::Impl::HasCurrent(const Connection& c) const {
  std::lock_guard lock(m_lock);
  return c.current.has_value();
}

void Client::Impl::Write(Connection& c, const Pending& pending) {
  StopWatchingIdle(c);
  const MessagePtr& next = pending.message;
  const auto wire = Detail::BuildWireRequest(*next, m_address, Detail::ChooseBoundary(*next, ++m_boundarySeed));
  if (!wire) {
    lastException = SocketExceptions::InvalidRequest;
    return Finish(c, false);
  }
  auto exchange = std::make_shared<Exchange>();
  exchange->buffer = c.buffer;
  http::request<http::string_body>& request = exchange->request;
  request.method(wire->post ? http::verb::post : http::verb::get);
  request.target(wire->target);
  request.version(11);
  request.set(http::field::host, m_address.host + ":" + m_address.port);
  request.set(http::field::user_agent, "Voxlet");
  if (!m_authorization.empty()) request.set(http::field::authorization, m_authorization);
  for (const auto& [name, value] : wire->headers) request.set(name, value);
  request.body() = wire->body;
  request.keep_alive(true);
  request.prepare_payload();

  c.sentAt = std::chrono::steady_clock::now();
  next->SetState(RequestStates::Writing);
  c.stream.expires_after(kExchangeLimit);
  http::async_write(c.stream, request,
                    Bind(c, [exchange, next](Impl& self, Connection& me, const beast::error_code& ec, size_t) {
                      if (ec) return self.ExchangeBroken(me, ec);
                      next->SetState(RequestStates::Waiting);
                      self.ReadReply(me, exchange, next);
                    }));
}

void Client::Impl::ReadReply(Connection& c, const std::shared_ptr<Exchange>& exchange, const MessagePtr& message) {
  exchange->parser.body_limit(kReplyBodyLimit);
  http::async_read_header(
      c.stream, *exchange->buffer, exchange->parser,
      Bind(c, [exchange, message](Impl& self, Connection& me, const beast::error_code& ec, size_t) {
        if (ec) return self.ExchangeBroken(me, ec);
        message->SetState(RequestStates::Receiving);
        http::async_read(me.stream, *exchange->buffer, exchange->parser,
                         self.Bind(me, [exchange](Impl& impl, Connection& conn, const beast::error_code& err, size_t) {
                           if (err) return impl.ExchangeBroken(conn, err);
                           impl.ReplyArrived(conn, *exchange);
                         }));
      }));
}

void Client::Impl::ReplyArrived(Connection& c, Exchange& exchange) {
  c.stream.expires_never();
  http::response<http::string_body> reply = exchange.parser.release();
  Header::Collection headers;
  for (const auto& field : reply)
    headers[UTF8to16(std::string(field.name_string()))] = UTF8to16(std::string(field.value()));
  const bool keepAlive = reply.keep_alive();
  CountReply(c);  // before the end wakes anyone who reads the figures
  MessagePtr message;
  {
    std::lock_guard lock(m_lock);
    if (c.current) message = c.current->message;
  }
  if (!message) return;  // the owner went away meanwhile
  message->End(true, static_cast<int>(reply.result_int()), UTF8to16(std::string(reply.reason())), std::move(headers),
               std::move(reply.body()));
  if (!keepAlive) Close(c);  // the first connection is reopened when next needed
  Finish(c, true);
}

// Ends the request in flight on `c` (its completion fires before what waited for it is written).
// One that got no reply takes the queued requests of its key with it, right after it: whoever
// sends it again sends them again behind it, and the key's order holds.
void Client::Impl::Finish(Connection& c, bool replied) {
  std::vector<MessagePtr> done;
  {
    std::lock_guard lock(m_lock);
    if (!c.current) return;  // the owner went away meanwhile
    done.push_back(std::move(c.current->message));
    c.current.reset();
    const StringBuffer& key = done.front()->OrderKey();
    for (auto it = m_queue.begin(); !replied && !key.empty() && it != m_queue.end();) {
      if (it->message->OrderKey() != key) {
        ++it;
        continue;
      }
      done.push_back(std::move(it->message));
      it = m_queue.erase(it);
    }
  }
  for (const MessagePtr& message : done) {
    if (!replied) EndFailed(*message);
    EmitCompleted(message);
  }
  Pump();
}

// A failure in the middle of an exchange leaves the connection in an unknown place: it is
// closed, and only its own request fails. The first connection's loss is the client's
// (state 0); a further one is opened again when needed.
void Client::Impl::ExchangeBroken(Connection& c, const beast::error_code& ec) {
  if (&c == &Primary()) return LoseConnection(Detail::SocketExceptionOf(ec));
  Close(c);
  Finish(c, false);
}

void Client::Impl::CountReply(const Connection& c) {
  std::lock_guard lock(m_lock);
  if (!m_monitor) return;
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - c.sentAt).count();
  ++m_performance.exchanges;
  m_performance.totalSeconds += seconds;
  m_performance.longestSeconds = std::max(m_performance.longestSeconds, seconds);
}

void Client::Impl::EndFailed(Message& message) {
  if (message.Ended()) return;
  {
    std::lock_guard lock(m_lock);
    if (m_monitor) ++m_performance.failures;
  }
  message.End(false);
}

}  // namespace Voxlet
