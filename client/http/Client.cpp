// The HTTP transport of Voxlet::Client: persistent connections to the service (the first opened by
// Connect, further ones for requests with an order key), driven on one strand of the library's
// io_context. Every handler below runs on that strand.
#include "client/http/Client.h"

#include <algorithm>
#include <boost/asio/bind_executor.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/core/detail/base64.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <optional>
#include <set>
#include <stdexcept>

#include "client/http/Engine.h"
#include "client/http/RequestWire.h"

namespace Voxlet {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using std::chrono::milliseconds;

namespace {

constexpr auto kConnectLimit = std::chrono::seconds(10);
// A request whose reply has not fully arrived after this long breaks the connection.
constexpr auto kExchangeLimit = std::chrono::seconds(30);
constexpr auto kTickPeriod = std::chrono::seconds(1);
constexpr size_t kReplyBodyLimit = 64u << 20;
// Delays before the connection attempts after the first, growing to the last value.
constexpr int kBackoffMs[] = {100, 250, 500, 1000, 2000};

int ExceptionOf(const beast::error_code& ec) {
  namespace e = asio::error;
  if (ec == e::connection_refused) return SocketExceptions::ConnectionRefused;
  if (ec == e::eof || ec == e::connection_reset || ec == e::broken_pipe || ec == e::connection_aborted ||
      ec == e::not_connected || ec == http::error::end_of_stream || ec == http::error::partial_message)
    return SocketExceptions::ConnectionReset;
  if (ec == beast::error::timeout || ec == e::timed_out) return SocketExceptions::TimedOut;
  if (ec == e::host_not_found || ec == e::host_not_found_try_again || ec == e::no_data)
    return SocketExceptions::HostNotFound;
  if (ec.category() == beast::error_code(http::error::bad_version).category()) return SocketExceptions::ProtocolError;
  if (ec == e::operation_aborted) return SocketExceptions::Aborted;
  return SocketExceptions::Other;
}

}  // namespace

// One request and its reply on the wire. Owned by the operations that use it, so that a
// connection torn down in the middle of an exchange leaves nothing dangling.
struct Exchange {
  http::request<http::string_body> request;
  http::response_parser<http::string_body> parser;
  std::shared_ptr<beast::flat_buffer> buffer;
};

// A request waiting for its turn, or in flight: `sequence` is its place in the order of Send.
struct Pending {
  MessagePtr message;
  uint64_t sequence = 0;
};

// One connection to the service. The first is the client's own: its state is the client's state.
// Further ones carry requests with an order key while the others are busy; they are opened when
// needed, and closed quietly when the service closes them while idle.
struct Connection {
  explicit Connection(asio::strand<asio::io_context::executor_type>& strand) : stream(strand) {}
  beast::tcp_stream stream;
  // The read buffer of the open connection, shared with the exchanges on it.
  std::shared_ptr<beast::flat_buffer> buffer;
  uint64_t generation = 0;  // bumped whenever it closes: its older handlers do nothing
  uint64_t watchGeneration = 0;
  bool open = false;        // the socket is connected
  bool connecting = false;  // further connections: being opened
  bool watching = false;
  std::chrono::steady_clock::time_point sentAt;
  // Under the client's lock: the request in flight on this connection.
  std::optional<Pending> current;
};

class Client::Impl : public std::enable_shared_from_this<Impl> {
 public:
  Impl(Detail::Engine& engine, Client* owner, bool periodic, std::string authorization)
      : m_strand(asio::make_strand(engine.Io())),
        m_resolver(m_strand),
        m_retryTimer(m_strand),
        m_tickTimer(m_strand),
        m_owner(owner),
        m_periodic(periodic),
        m_authorization(std::move(authorization)) {
    m_connections.push_back(std::make_unique<Connection>(m_strand));
  }

  std::atomic<int> state{ClientStates::Disconnected};
  std::atomic<int> lastException{SocketExceptions::None};
  std::atomic<bool> reconnectWanted{false};

  // ---- calls from the owner's threads -------------------------------------------------------

  void Connect(Detail::ServiceAddress address) {
    {
      std::lock_guard lock(m_lock);
      state = ClientStates::Connecting;
    }
    Run([address = std::move(address)](Impl& self) {
      self.Reset(SocketExceptions::Aborted, false);
      self.m_address = address;
      self.m_active = true;
      self.m_everConnected = false;
      self.m_backoff = 0;
      self.StartTicks();
      self.EmitState(ClientStates::Connecting);
      self.StartConnect();
    });
  }

  void Disconnect(int reason) {
    {
      std::lock_guard lock(m_lock);
      state = ClientStates::Disconnected;
    }
    Run([reason](Impl& self) {
      self.Reset(reason, true);
      self.m_active = false;
      self.m_tickTimer.cancel();
    });
  }

  // A disconnected client whose owner wants it back starts over (as after a lost connection).
  void SetReconnectWanted(bool wanted) {
    reconnectWanted = wanted;
    if (!wanted) return;
    Run([](Impl& self) {
      if (!self.m_active || !self.m_everConnected || self.state != ClientStates::Disconnected) return;
      self.Reconnect();
    });
  }

  // The owner's own break: every connection goes, with every request.
  void AbortAndReconnect() {
    Run([](Impl& self) {
      if (self.state != ClientStates::Connected) return;
      {
        std::lock_guard lock(self.m_lock);
        self.state = ClientStates::Disconnected;
      }
      self.Reset(SocketExceptions::Aborted, true);
      self.Disconnected();
    });
  }

  bool Send(const MessagePtr& message) {
    if (!message->MarkSubmitted()) return false;
    {
      std::lock_guard lock(m_lock);
      if (state == ClientStates::Connected) {
        m_queue.push_back({message, ++m_sequence});
        Run([](Impl& self) { self.Pump(); });
        return true;
      }
    }
    message->End(false);
    Run([message](Impl& self) { self.EmitCompleted(message); });
    return false;
  }

  // The owner is going away: no signal reaches it after this returns.
  void Detach() {
    std::vector<Pending> orphans;
    {
      std::unique_lock lock(m_gateLock);
      m_owner = nullptr;
      const int mine = t_callbackOf == this ? 1 : 0;
      m_gateIdle.wait(lock, [&] { return m_inCallback == mine; });
    }
    {
      std::lock_guard lock(m_lock);
      state = ClientStates::Disconnected;
      orphans = TakeAllLocked();
    }
    for (const Pending& p : orphans) p.message->End(false);
    Run([](Impl& self) {
      self.Reset(SocketExceptions::Aborted, true);
      self.m_active = false;
      self.m_tickTimer.cancel();
    });
  }

  void MonitorPerformance(StringBuffer title) {
    std::lock_guard lock(m_lock);
    m_title = std::move(title);
    m_monitor = true;
  }
  StringBuffer Title() const {
    std::lock_guard lock(m_lock);
    return m_title;
  }
  ClientPerformance Performance() const {
    std::lock_guard lock(m_lock);
    return m_performance;
  }

 private:
  template <class F>
  void Run(F f) {
    asio::post(m_strand, [self = shared_from_this(), f = std::move(f)]() mutable { f(*self); });
  }

  // Wraps a completion handler so that it runs on the strand and only while `generation` holds.
  template <class F>
  auto Bind(F f) {
    return asio::bind_executor(
        m_strand, [self = shared_from_this(), gen = m_generation, f = std::move(f)](auto&&... args) mutable {
          if (gen == self->m_generation) f(*self, std::forward<decltype(args)>(args)...);
        });
  }

  // The same for a handler of one connection: it also stops counting once that connection closed.
  template <class F>
  auto Bind(Connection& c, F f) {
    return Bind([conn = &c, connGen = c.generation, f = std::move(f)](Impl& self, auto&&... args) mutable {
      if (connGen == conn->generation) f(self, *conn, std::forward<decltype(args)>(args)...);
    });
  }

  // ---- signals, through the owner gate ------------------------------------------------------

  template <class F>
  void WithOwner(F f) {
    Client* owner;
    {
      std::lock_guard lock(m_gateLock);
      if (!m_owner) return;
      owner = m_owner;
      ++m_inCallback;
    }
    const Impl* outer = t_callbackOf;
    t_callbackOf = this;
    try {
      f(*owner);
    } catch (...) {
      // A handler's exception must not take the library's thread down; the client goes on.
    }
    t_callbackOf = outer;
    {
      std::lock_guard lock(m_gateLock);
      --m_inCallback;
    }
    m_gateIdle.notify_all();
  }

  void EmitState(int s) {
    WithOwner([s](Client& owner) { owner.m_stateChanged(owner, s); });
  }
  void EmitCompleted(const MessagePtr& message) {
    WithOwner([&message](Client&) { message->Completed()(message); });
  }

  // ---- connection ---------------------------------------------------------------------------

  Connection& Primary() { return *m_connections.front(); }

  // The requests in flight and the queued ones, in the order they were sent.
  std::vector<Pending> TakeAllLocked() {
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

  void Close(Connection& c) {
    ++c.generation;
    beast::error_code ignored;
    c.stream.socket().close(ignored);
    c.open = false;
    c.connecting = false;
    c.watching = false;
    c.buffer.reset();  // operations still running keep theirs
  }

  // Closes the sockets, drops every pending handler and fails the requests (state 0), in the
  // order they were sent.
  void Reset(int reason, bool emitCompletions) {
    ++m_generation;
    m_resolver.cancel();
    m_retryTimer.cancel();
    for (auto& c : m_connections) Close(*c);
    m_reopening = false;
    m_moreConnections = true;
    if (reason != SocketExceptions::None) lastException = reason;
    std::vector<Pending> failed;
    {
      std::lock_guard lock(m_lock);
      failed = TakeAllLocked();
    }
    for (const Pending& p : failed) {
      EndFailed(*p.message);
      if (emitCompletions) EmitCompleted(p.message);
    }
  }

  void StartTicks() {
    if (!m_periodic) return;
    m_tickTimer.cancel();
    m_nextTick = std::chrono::steady_clock::now() + kTickPeriod;
    ScheduleTick(++m_tickGeneration);
  }

  void ScheduleTick(uint64_t tickGen) {
    m_tickTimer.expires_at(m_nextTick);
    m_tickTimer.async_wait(
        asio::bind_executor(m_strand, [self = shared_from_this(), tickGen](const beast::error_code& ec) {
          if (ec || tickGen != self->m_tickGeneration || !self->m_active) return;
          self->WithOwner([](Client& owner) { owner.m_tick(owner); });
          // A late tick (a slow handler) is not made up for: the next one is a period from now at most.
          const auto now = std::chrono::steady_clock::now();
          self->m_nextTick = std::max(self->m_nextTick + kTickPeriod, now);
          self->ScheduleTick(tickGen);
        }));
  }

  // Opens the first connection. Its handlers, the resolution's and the retry's included, end
  // with the first connection's generation.
  void StartConnect() {
    m_resolver.async_resolve(m_address.host, m_address.port,
                             Bind(Primary(), [](Impl& self, Connection& primary, const beast::error_code& ec,
                                                const tcp::resolver::results_type& results) {
                               if (ec) return self.ConnectFailed(ec);
                               self.m_endpoints = results;
                               primary.stream.expires_after(kConnectLimit);
                               primary.stream.async_connect(
                                   results, self.Bind(primary, [](Impl& me, Connection& c, const beast::error_code& err,
                                                                  const tcp::endpoint&) {
                                     if (err) return me.ConnectFailed(err);
                                     me.Opened(c);
                                     me.Connected();
                                   }));
                             }));
  }

  void Opened(Connection& c) {
    c.stream.expires_never();
    beast::error_code ignored;
    c.stream.socket().set_option(tcp::no_delay(true), ignored);
    c.open = true;
    c.connecting = false;
    c.buffer = std::make_shared<beast::flat_buffer>();
  }

  void Connected() {
    m_reopening = false;
    m_backoff = 0;
    if (state != ClientStates::Connected) {
      {
        std::lock_guard lock(m_lock);
        state = ClientStates::Connected;
      }
      m_everConnected = true;
      lastException = SocketExceptions::None;
      EmitState(ClientStates::Connected);
    }
    Pump();
  }

  void ConnectFailed(const beast::error_code& ec) {
    beast::error_code ignored;
    Primary().stream.socket().close(ignored);
    if (m_reopening) return LoseConnection(ExceptionOf(ec));
    lastException = ExceptionOf(ec);
    if (m_everConnected && !reconnectWanted) {
      {
        std::lock_guard lock(m_lock);
        state = ClientStates::Disconnected;
      }
      return EmitState(ClientStates::Disconnected);
    }
    const int step = std::min<int>(m_backoff++, std::size(kBackoffMs) - 1);
    m_retryTimer.expires_after(milliseconds(kBackoffMs[step]));
    m_retryTimer.async_wait(Bind(Primary(), [](Impl& self, Connection&, const beast::error_code& err) {
      if (!err) self.StartConnect();
    }));
  }

  // The first connection of a connected client is gone (or could not be opened again): state 0
  // once, then back to 1 when wanted. Its request fails, and so do the queued ones, which never
  // went out, except those waiting for a request of their key still in flight on a further
  // connection: those exchanges go on, their replies are read, and what waits for them follows
  // once the client is connected again.
  void LoseConnection(int reason) {
    {
      std::lock_guard lock(m_lock);
      state = ClientStates::Disconnected;
    }
    m_resolver.cancel();
    m_retryTimer.cancel();
    Close(Primary());
    m_reopening = false;
    m_moreConnections = true;
    lastException = reason;
    std::vector<Pending> failed;
    {
      std::lock_guard lock(m_lock);
      if (Primary().current) {
        failed.push_back(std::move(*Primary().current));
        Primary().current.reset();
      }
      std::set<StringBuffer> goingOn;
      for (auto& c : m_connections)
        if (c->current) goingOn.insert(c->current->message->OrderKey());
      for (auto it = m_queue.begin(); it != m_queue.end();) {
        if (goingOn.count(it->message->OrderKey())) {
          ++it;
          continue;
        }
        failed.push_back(std::move(*it));
        it = m_queue.erase(it);
      }
    }
    for (const Pending& p : failed) {
      EndFailed(*p.message);
      EmitCompleted(p.message);
    }
    Disconnected();
  }

  // After state 0 was set: the state signal, then the reconnection when wanted.
  void Disconnected() {
    EmitState(ClientStates::Disconnected);
    if (m_active && reconnectWanted) Reconnect();
    Pump();  // the further connections that went idle meanwhile are watched
  }

  void Reconnect() {
    {
      std::lock_guard lock(m_lock);
      state = ClientStates::Connecting;
    }
    EmitState(ClientStates::Connecting);
    m_backoff = 0;
    StartConnect();
  }

  // The service closed the idle first connection, or asked to close it after a reply: reopen it
  // quietly; only if that fails is the connection lost.
  void Reopen() {
    Close(Primary());
    m_reopening = true;
    StartConnect();
  }

  // A further connection for requests with an order key. One that cannot be opened is not
  // tried again before the client connects anew; the requests wait for the open ones.
  void OpenFurther(Connection& c) {
    c.connecting = true;
    c.stream.expires_after(kConnectLimit);
    c.stream.async_connect(m_endpoints,
                           Bind(c, [](Impl& self, Connection& me, const beast::error_code& err, const tcp::endpoint&) {
                             if (err) {
                               self.Close(me);
                               self.m_moreConnections = false;
                             } else {
                               self.Opened(me);
                             }
                             self.Pump();
                           }));
  }

  // ---- requests -----------------------------------------------------------------------------

  // Starts what may go now: the front request without a key when nothing is in flight; requests
  // with a key, in the order sent, up to the first without one, skipping keys already in flight
  // or waiting earlier in the queue, while a connection is free or can be opened.
  void Pump() {
    if (!m_reopening && state == ClientStates::Connected) {
      if (!Primary().open) return Reopen();
      StartWhatMayGo();
    }
    for (auto& c : m_connections)
      if (c->open && !HasCurrent(*c)) WatchIdle(*c);
  }

  void StartWhatMayGo() {
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

  bool HasCurrent(const Connection& c) const {
    std::lock_guard lock(m_lock);
    return c.current.has_value();
  }

  // Opens one more connection when the limit allows and none is being opened.
  void OpenMore() {
    if (!m_moreConnections) return;
    for (auto& c : m_connections)
      if (c->connecting) return;
    for (auto& c : m_connections)
      if (!c->open && c.get() != &Primary()) return OpenFurther(*c);
    if (m_connections.size() >= static_cast<size_t>(kMaxConnections)) return;
    {
      std::lock_guard lock(m_lock);  // Detach reads the connections from the owner's thread
      m_connections.push_back(std::make_unique<Connection>(m_strand));
    }
    OpenFurther(*m_connections.back());
  }

  void Write(Connection& c, const Pending& pending) {
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

  void ReadReply(Connection& c, const std::shared_ptr<Exchange>& exchange, const MessagePtr& message) {
    exchange->parser.body_limit(kReplyBodyLimit);
    http::async_read_header(
        c.stream, *exchange->buffer, exchange->parser,
        Bind(c, [exchange, message](Impl& self, Connection& me, const beast::error_code& ec, size_t) {
          if (ec) return self.ExchangeBroken(me, ec);
          message->SetState(RequestStates::Receiving);
          http::async_read(
              me.stream, *exchange->buffer, exchange->parser,
              self.Bind(me, [exchange](Impl& impl, Connection& conn, const beast::error_code& err, size_t) {
                if (err) return impl.ExchangeBroken(conn, err);
                impl.ReplyArrived(conn, *exchange);
              }));
        }));
  }

  void ReplyArrived(Connection& c, Exchange& exchange) {
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
  void Finish(Connection& c, bool replied) {
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
  void ExchangeBroken(Connection& c, const beast::error_code& ec) {
    if (&c == &Primary()) return LoseConnection(ExceptionOf(ec));
    Close(c);
    Finish(c, false);
  }

  // While idle, a readable socket means the service closed it (or spoke out of turn). The first
  // connection is reopened; a further one is let go until it is needed again.
  void WatchIdle(Connection& c) {
    if (c.watching) return;
    c.watching = true;
    const uint64_t watchGen = ++c.watchGeneration;
    c.stream.socket().async_wait(tcp::socket::wait_read,
                                 Bind(c, [watchGen](Impl& self, Connection& me, const beast::error_code& ec) {
                                   if (watchGen != me.watchGeneration) return;
                                   me.watching = false;
                                   if (ec == asio::error::operation_aborted) return;
                                   if (&me != &self.Primary()) return self.Close(me);
                                   beast::error_code err;
                                   const size_t pending = me.stream.socket().available(err);
                                   if (!ec && !err && pending > 0)
                                     return self.LoseConnection(SocketExceptions::ProtocolError);
                                   self.Reopen();
                                 }));
  }

  void StopWatchingIdle(Connection& c) {
    if (!c.watching) return;
    c.watching = false;
    ++c.watchGeneration;
    beast::error_code ignored;
    c.stream.socket().cancel(ignored);
  }

  void CountReply(const Connection& c) {
    std::lock_guard lock(m_lock);
    if (!m_monitor) return;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - c.sentAt).count();
    ++m_performance.exchanges;
    m_performance.totalSeconds += seconds;
    m_performance.longestSeconds = std::max(m_performance.longestSeconds, seconds);
  }
  void EndFailed(Message& message) {
    if (message.Ended()) return;
    {
      std::lock_guard lock(m_lock);
      if (m_monitor) ++m_performance.failures;
    }
    message.End(false);
  }

  static thread_local const Impl* t_callbackOf;

  asio::strand<asio::io_context::executor_type> m_strand;
  tcp::resolver m_resolver;
  asio::steady_timer m_retryTimer;
  asio::steady_timer m_tickTimer;

  // Strand only (the connections' requests in flight: also under m_lock).
  std::vector<std::unique_ptr<Connection>> m_connections;  // the first is the client's own
  Detail::ServiceAddress m_address;
  tcp::resolver::results_type m_endpoints;  // of the last resolution, for further connections
  uint64_t m_generation = 0;                // bumped by Reset: handlers of older connections do nothing
  uint64_t m_tickGeneration = 0;
  unsigned long long m_boundarySeed = 0;
  std::chrono::steady_clock::time_point m_nextTick;
  bool m_active = false;  // between Connect and Disconnect
  bool m_everConnected = false;
  bool m_reopening = false;
  bool m_moreConnections = true;  // further connections may be opened
  int m_backoff = 0;

  // Under m_lock: the queue, the requests in flight, the state's changes from 2, the figures.
  mutable std::mutex m_lock;
  std::deque<Pending> m_queue;
  uint64_t m_sequence = 0;
  StringBuffer m_title;
  bool m_monitor = false;
  ClientPerformance m_performance;

  // The owner gate: signals reach the owner only while it is attached.
  std::mutex m_gateLock;
  std::condition_variable m_gateIdle;
  Client* m_owner;
  int m_inCallback = 0;

  const bool m_periodic;
  const std::string m_authorization;
};

thread_local const Client::Impl* Client::Impl::t_callbackOf = nullptr;

namespace {
std::string BasicAuthorization(const char16_t* userName, const char16_t* password) {
  if (!userName) return {};
  const std::string plain = UTF16to8(userName) + ":" + (password ? UTF16to8(password) : std::string());
  std::string encoded(beast::detail::base64::encoded_size(plain.size()), '\0');
  encoded.resize(beast::detail::base64::encode(encoded.data(), plain.data(), plain.size()));
  return "Basic " + encoded;
}
}  // namespace

Client::Client(bool periodicSignal, const char16_t* userName, const char16_t* password)
    : m_engine(Detail::Engine::Current()) {
  if (!m_engine) throw std::logic_error("Voxlet::Client needs a live Voxlet::Globals");
  m_impl = std::make_shared<Impl>(*m_engine, this, periodicSignal, BasicAuthorization(userName, password));
}

Client::~Client() { m_impl->Detach(); }

void Client::MonitorPerformance(const StringBuffer& title) { m_impl->MonitorPerformance(title); }
StringBuffer Client::PerformanceTitle() const { return m_impl->Title(); }
ClientPerformance Client::Performance() const { return m_impl->Performance(); }

bool Client::Connect(const StringBuffer& uri) {
  auto address = Detail::ParseServiceAddress(uri);
  if (!address) {
    m_impl->lastException = SocketExceptions::InvalidAddress;
    return false;
  }
  m_impl->Connect(std::move(*address));
  return true;
}

void Client::Disconnect() { m_impl->Disconnect(SocketExceptions::None); }

void Client::Abort(bool reconnect) {
  if (reconnect)
    m_impl->AbortAndReconnect();
  else
    m_impl->Disconnect(SocketExceptions::Aborted);
}

bool Client::Send(const MessagePtr& message) { return message && m_impl->Send(message); }

int Client::State() const { return m_impl->state.load(); }
int Client::LastSocketException() const { return m_impl->lastException.load(); }
bool Client::ReconnectWanted() const { return m_impl->reconnectWanted.load(); }
void Client::SetReconnectWanted(bool wanted) { m_impl->SetReconnectWanted(wanted); }

boost::any Client::UserData() const {
  std::lock_guard lock(m_userLock);
  return m_userData;
}
void Client::SetUserData(boost::any value) {
  std::lock_guard lock(m_userLock);
  m_userData = std::move(value);
}

}  // namespace Voxlet
