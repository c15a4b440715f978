// The HTTP transport of Voxlet::Client: one persistent connection per client, driven on a strand
// of the library's io_context. Every handler below runs on that strand.
#include "client/http/Client.h"

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

class Client::Impl : public std::enable_shared_from_this<Impl> {
 public:
  Impl(Detail::Engine& engine, Client* owner, bool periodic, std::string authorization)
      : m_strand(asio::make_strand(engine.Io())),
        m_resolver(m_strand),
        m_stream(m_strand),
        m_retryTimer(m_strand),
        m_tickTimer(m_strand),
        m_owner(owner),
        m_periodic(periodic),
        m_authorization(std::move(authorization)) {}

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

  void AbortAndReconnect() {
    Run([](Impl& self) {
      if (self.state == ClientStates::Connected) self.LoseConnection(SocketExceptions::Aborted);
    });
  }

  bool Send(const MessagePtr& message) {
    if (!message->MarkSubmitted()) return false;
    {
      std::lock_guard lock(m_lock);
      if (state == ClientStates::Connected) {
        m_queue.push_back(message);
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
    std::deque<MessagePtr> orphans;
    {
      std::unique_lock lock(m_gateLock);
      m_owner = nullptr;
      const int mine = t_callbackOf == this ? 1 : 0;
      m_gateIdle.wait(lock, [&] { return m_inCallback == mine; });
    }
    {
      std::lock_guard lock(m_lock);
      state = ClientStates::Disconnected;
      orphans.swap(m_queue);
      if (m_current) orphans.push_back(m_current);
    }
    for (const MessagePtr& m : orphans) m->End(false);
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

  // Closes the socket, drops every pending handler and fails the requests (state 0).
  void Reset(int reason, bool emitCompletions) {
    ++m_generation;
    beast::error_code ignored;
    m_resolver.cancel();
    m_retryTimer.cancel();
    m_stream.socket().close(ignored);
    m_open = false;
    m_reopening = false;
    m_watching = false;
    m_buffer.reset();  // operations still running keep theirs
    if (reason != SocketExceptions::None) lastException = reason;
    std::deque<MessagePtr> failed;
    {
      std::lock_guard lock(m_lock);
      if (m_current) failed.push_back(m_current);
      m_current.reset();
      for (MessagePtr& m : m_queue) failed.push_back(std::move(m));
      m_queue.clear();
    }
    for (const MessagePtr& m : failed) {
      EndFailed(*m);
      if (emitCompletions) EmitCompleted(m);
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

  void StartConnect() {
    m_resolver.async_resolve(
        m_address.host, m_address.port,
        Bind([](Impl& self, const beast::error_code& ec, const tcp::resolver::results_type& results) {
          if (ec) return self.ConnectFailed(ec);
          self.m_stream.expires_after(kConnectLimit);
          self.m_stream.async_connect(results,
                                      self.Bind([](Impl& me, const beast::error_code& err, const tcp::endpoint&) {
                                        if (err) return me.ConnectFailed(err);
                                        me.Connected();
                                      }));
        }));
  }

  void Connected() {
    m_stream.expires_never();
    beast::error_code ignored;
    m_stream.socket().set_option(tcp::no_delay(true), ignored);
    m_open = true;
    m_buffer = std::make_shared<beast::flat_buffer>();
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
    m_stream.socket().close(ignored);
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
    m_retryTimer.async_wait(Bind([](Impl& self, const beast::error_code& err) {
      if (!err) self.StartConnect();
    }));
  }

  // The connection of a connected client is gone: state 0 once, then back to 1 when wanted.
  void LoseConnection(int reason) {
    {
      std::lock_guard lock(m_lock);
      state = ClientStates::Disconnected;
    }
    Reset(reason, true);
    EmitState(ClientStates::Disconnected);
    if (m_active && reconnectWanted) Reconnect();
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

  // The service closed an idle connection, or asked to close after a reply: reopen it quietly;
  // only if that fails is the connection lost.
  void Reopen() {
    beast::error_code ignored;
    m_stream.socket().close(ignored);
    m_open = false;
    m_reopening = true;
    StartConnect();
  }

  // ---- requests -----------------------------------------------------------------------------

  void Pump() {
    if (m_current || m_reopening || state != ClientStates::Connected) return;
    if (!m_open) return Reopen();
    MessagePtr next;
    {
      std::lock_guard lock(m_lock);
      if (m_queue.empty()) return WatchIdle();
      next = m_current = m_queue.front();
      m_queue.pop_front();
    }
    StopWatchingIdle();
    const auto wire = Detail::BuildWireRequest(*next, m_address, Detail::ChooseBoundary(*next, ++m_boundarySeed));
    if (!wire) {
      lastException = SocketExceptions::InvalidRequest;
      return Finish(false);
    }
    auto exchange = std::make_shared<Exchange>();
    exchange->buffer = m_buffer;
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

    m_sentAt = std::chrono::steady_clock::now();
    next->SetState(RequestStates::Writing);
    m_stream.expires_after(kExchangeLimit);
    http::async_write(m_stream, request, Bind([exchange](Impl& self, const beast::error_code& ec, size_t) {
                        if (ec) return self.ExchangeBroken(ec);
                        self.m_current->SetState(RequestStates::Waiting);
                        self.ReadReply(exchange);
                      }));
  }

  void ReadReply(const std::shared_ptr<Exchange>& exchange) {
    exchange->parser.body_limit(kReplyBodyLimit);
    http::async_read_header(m_stream, *exchange->buffer, exchange->parser,
                            Bind([exchange](Impl& self, const beast::error_code& ec, size_t) {
                              if (ec) return self.ExchangeBroken(ec);
                              self.m_current->SetState(RequestStates::Receiving);
                              http::async_read(self.m_stream, *exchange->buffer, exchange->parser,
                                               self.Bind([exchange](Impl& me, const beast::error_code& err, size_t) {
                                                 if (err) return me.ExchangeBroken(err);
                                                 me.ReplyArrived(*exchange);
                                               }));
                            }));
  }

  void ReplyArrived(Exchange& exchange) {
    m_stream.expires_never();
    http::response<http::string_body> reply = exchange.parser.release();
    Header::Collection headers;
    for (const auto& field : reply)
      headers[UTF8to16(std::string(field.name_string()))] = UTF8to16(std::string(field.value()));
    if (!reply.keep_alive()) {
      beast::error_code ignored;
      m_stream.socket().close(ignored);
      m_open = false;
    }
    CountReply();  // before the end wakes anyone who reads the figures
    m_current->End(true, static_cast<int>(reply.result_int()), UTF8to16(std::string(reply.reason())),
                   std::move(headers), std::move(reply.body()));
    Finish(true);
  }

  // Ends the request in flight (its completion fires before the next request is written).
  void Finish(bool replied) {
    MessagePtr done;
    {
      std::lock_guard lock(m_lock);
      done = std::move(m_current);
      m_current.reset();
    }
    if (!replied) EndFailed(*done);
    EmitCompleted(done);
    Pump();
  }

  // A failure in the middle of an exchange leaves the connection in an unknown place: close it.
  void ExchangeBroken(const beast::error_code& ec) { LoseConnection(ExceptionOf(ec)); }

  // While idle, a readable socket means the service closed it (or spoke out of turn).
  void WatchIdle() {
    if (m_watching) return;
    m_watching = true;
    const uint64_t watchGen = ++m_watchGeneration;
    m_stream.socket().async_wait(tcp::socket::wait_read, Bind([watchGen](Impl& self, const beast::error_code& ec) {
                                   if (watchGen != self.m_watchGeneration) return;
                                   self.m_watching = false;
                                   if (ec == asio::error::operation_aborted) return;
                                   beast::error_code err;
                                   const size_t pending = self.m_stream.socket().available(err);
                                   if (!ec && !err && pending > 0)
                                     return self.LoseConnection(SocketExceptions::ProtocolError);
                                   self.Reopen();
                                 }));
  }

  void StopWatchingIdle() {
    if (!m_watching) return;
    m_watching = false;
    ++m_watchGeneration;
    beast::error_code ignored;
    m_stream.socket().cancel(ignored);
  }

  void CountReply() {
    std::lock_guard lock(m_lock);
    if (!m_monitor) return;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_sentAt).count();
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
  beast::tcp_stream m_stream;
  asio::steady_timer m_retryTimer;
  asio::steady_timer m_tickTimer;
  // The read buffer of the open connection, shared with the exchanges on it.
  std::shared_ptr<beast::flat_buffer> m_buffer;

  // Strand only.
  Detail::ServiceAddress m_address;
  uint64_t m_generation = 0;  // bumped by Reset: handlers of an older connection do nothing
  uint64_t m_tickGeneration = 0;
  uint64_t m_watchGeneration = 0;
  unsigned long long m_boundarySeed = 0;
  std::chrono::steady_clock::time_point m_nextTick;
  std::chrono::steady_clock::time_point m_sentAt;
  bool m_active = false;  // between Connect and Disconnect
  bool m_everConnected = false;
  bool m_open = false;  // the socket is connected
  bool m_reopening = false;
  bool m_watching = false;
  int m_backoff = 0;

  // Under m_lock: the queue, the request in flight, the state's changes from 2, the figures.
  mutable std::mutex m_lock;
  std::deque<MessagePtr> m_queue;
  MessagePtr m_current;
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
