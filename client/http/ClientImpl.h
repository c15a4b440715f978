#pragma once
// The inside of Voxlet::Client, shared by its parts and by nothing outside client/http (it brings
// Boost.Beast): the connections and requests it keeps, and the class that drives them on one
// strand of the library's io_context. Every handler runs on that strand. The owner's calls are in
// Client.cpp, opening and losing connections in ClientConnections.cpp, writing requests and
// reading replies in ClientRequests.cpp.
#include <atomic>
#include <boost/asio/bind_executor.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "client/http/Client.h"
#include "client/http/Engine.h"
#include "client/http/RequestWire.h"

namespace Voxlet {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace Detail {
// The socket exception (SocketExceptions) a failed operation stands for.
int SocketExceptionOf(const beast::error_code& ec);
}  // namespace Detail

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

  // ---- calls from the owner's threads (Client.cpp) ------------------------------------------

  void Connect(Detail::ServiceAddress address);
  void Disconnect(int reason);
  void SetReconnectWanted(bool wanted);
  void AbortAndReconnect();
  bool Send(const MessagePtr& message);
  void Detach();
  void MonitorPerformance(StringBuffer title);
  StringBuffer Title() const;
  ClientPerformance Performance() const;

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

  // ---- connections (ClientConnections.cpp) --------------------------------------------------

  Connection& Primary() { return *m_connections.front(); }
  void Close(Connection& c);
  void Reset(int reason, bool emitCompletions);
  void StartTicks();
  void ScheduleTick(uint64_t tickGen);
  void StartConnect();
  void Opened(Connection& c);
  void Connected();
  void ConnectFailed(const beast::error_code& ec);
  void LoseConnection(int reason);
  void Disconnected();
  void Reconnect();
  void Reopen();
  void OpenFurther(Connection& c);
  void OpenMore();
  void WatchIdle(Connection& c);
  void StopWatchingIdle(Connection& c);

  // ---- requests (ClientRequests.cpp) --------------------------------------------------------

  std::vector<Pending> TakeAllLocked();
  void Pump();
  void StartWhatMayGo();
  bool HasCurrent(const Connection& c) const;
  void Write(Connection& c, const Pending& pending);
  void ReadReply(Connection& c, const std::shared_ptr<Exchange>& exchange, const MessagePtr& message);
  void ReplyArrived(Connection& c, Exchange& exchange);
  void Finish(Connection& c, bool replied);
  void ExchangeBroken(Connection& c, const beast::error_code& ec);
  void CountReply(const Connection& c);
  void EndFailed(Message& message);

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

}  // namespace Voxlet
