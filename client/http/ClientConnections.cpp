// The connections of Voxlet::Client: the first one opened, retried with back-off, reopened when
// the service closes it while idle, and lost; further ones for requests with an order key; the
// periodic tick; and what an idle connection's socket says. Every function here runs on the strand.
#include <algorithm>
#include <set>

#include "client/http/ClientImpl.h"

namespace Voxlet {

using std::chrono::milliseconds;

namespace {

constexpr auto kConnectLimit = std::chrono::seconds(10);
constexpr auto kTickPeriod = std::chrono::seconds(1);
// Delays before the connection attempts after the first, growing to the last value.
constexpr int kBackoffMs[] = {100, 250, 500, 1000, 2000};

}  // namespace

int Detail::SocketExceptionOf(const beast::error_code& ec) {
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

void Client::Impl::Close(Connection& c) {
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
void Client::Impl::Reset(int reason, bool emitCompletions) {
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

void Client::Impl::StartTicks() {
  if (!m_periodic) return;
  m_tickTimer.cancel();
  m_nextTick = std::chrono::steady_clock::now() + kTickPeriod;
  ScheduleTick(++m_tickGeneration);
}

void Client::Impl::ScheduleTick(uint64_t tickGen) {
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
void Client::Impl::StartConnect() {
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

void Client::Impl::Opened(Connection& c) {
  c.stream.expires_never();
  beast::error_code ignored;
  c.stream.socket().set_option(tcp::no_delay(true), ignored);
  c.open = true;
  c.connecting = false;
  c.buffer = std::make_shared<beast::flat_buffer>();
}

void Client::Impl::Connected() {
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

void Client::Impl::ConnectFailed(const beast::error_code& ec) {
  beast::error_code ignored;
  Primary().stream.socket().close(ignored);
  if (m_reopening) return LoseConnection(Detail::SocketExceptionOf(ec));
  lastException = Detail::SocketExceptionOf(ec);
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
void Client::Impl::LoseConnection(int reason) {
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
void Client::Impl::Disconnected() {
  EmitState(ClientStates::Disconnected);
  if (m_active && reconnectWanted) Reconnect();
  Pump();  // the further connections that went idle meanwhile are watched
}

void Client::Impl::Reconnect() {
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
void Client::Impl::Reopen() {
  Close(Primary());
  m_reopening = true;
  StartConnect();
}

// A further connection for requests with an order key. One that cannot be opened is not
// tried again before the client connects anew; the requests wait for the open ones.
void Client::Impl::OpenFurther(Connection& c) {
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

// Opens one more connection when the limit allows and none is being opened.
void Client::Impl::OpenMore() {
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

// While idle, a readable socket means the service closed it (or spoke out of turn). The first
// connection is reopened; a further one is let go until it is needed again.
void Client::Impl::WatchIdle(Connection& c) {
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

void Client::Impl::StopWatchingIdle(Connection& c) {
  if (!c.watching) return;
  c.watching = false;
  ++c.watchGeneration;
  beast::error_code ignored;
  c.stream.socket().cancel(ignored);
}

}  // namespace Voxlet
