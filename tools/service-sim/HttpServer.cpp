#include "tools/service-sim/HttpServer.h"

#include <algorithm>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Socket.h"
#include "tools/service-sim/SimText.h"

namespace ServiceSim {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

class Session;

// Threads that serve the connections: several requests are handled at once, each connection on
// a strand of its own, as a real service's server does.
constexpr int kServerThreads = 2;

class HttpServer::Impl : public std::enable_shared_from_this<Impl> {
 public:
  explicit Impl(Handler handler) : m_handler(std::move(handler)) {}

  bool Start(uint16_t port);
  void Stop();
  uint16_t Port() const { return m_port; }

  void HoldReplies(const std::string& prefix) {
    std::lock_guard lock(m_lock);
    m_holdPrefix = prefix;
  }
  void ReleaseHeld();
  bool WaitHeld(size_t count, double seconds) const {
    std::unique_lock lock(m_lock);
    return m_heldChanged.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return m_held.size() >= count; });
  }
  std::vector<std::string> HeldTargets() const {
    std::lock_guard lock(m_lock);
    std::vector<std::string> targets;
    for (const auto& held : m_held) targets.push_back(held.second.target);
    return targets;
  }
  bool DropHeld(const std::string& text);

  void StallNext(std::function<bool(const SimRequest&)> which) {
    std::lock_guard lock(m_lock);
    m_stallWhich = std::move(which);
  }
  bool WaitStalled(size_t count, double seconds) const {
    std::unique_lock lock(m_lock);
    return m_heldChanged.wait_for(lock, std::chrono::duration<double>(seconds),
                                  [&] { return m_stalledCount >= count; });
  }
  void DropStalled();

  // Answers now, or parks the request when it is to be held or stalls.
  void Dispatch(const std::shared_ptr<Session>& session, SimRequest request);
  SimReply Answer(const SimRequest& request) { return m_handler(request); }

 private:
  void Accept();

  Handler m_handler;
  std::unique_ptr<asio::io_context> m_io;
  std::unique_ptr<tcp::acceptor> m_acceptor;  // on a strand of its own
  // Set on the acceptor's strand when the server stops: a connection whose accept completed
  // just before is closed, not served (it would keep the threads running and Stop waiting).
  bool m_stopping = false;
  std::vector<std::thread> m_threads;
  uint16_t m_port = 0;

  mutable std::mutex m_lock;
  mutable std::condition_variable m_heldChanged;
  std::string m_holdPrefix;
  std::vector<std::pair<std::shared_ptr<Session>, SimRequest>> m_held;
  std::function<bool(const SimRequest&)> m_stallWhich;  // armed by StallNext
  std::vector<std::shared_ptr<Session>> m_stalled;
  size_t m_stalledCount = 0;
  std::vector<std::weak_ptr<Session>> m_sessionRefs;        // open connections, closed by Stop
  std::vector<std::weak_ptr<asio::steady_timer>> m_delays;  // replies held back, cancelled by Stop
};

// One connection: reads a request, has it answered, writes the reply, reads the next. Every
// handler runs on the connection's strand (its socket's executor).
class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket socket, std::shared_ptr<HttpServer::Impl> server)
      : m_stream(std::move(socket)), m_server(std::move(server)) {}

  void Read() {
    m_request = {};
    http::async_read(m_stream, m_buffer, m_request, [self = shared_from_this()](beast::error_code ec, size_t) {
      if (ec) return self->Close();
      SimRequest request;
      request.method = std::string(self->m_request.method_string());
      request.target = std::string(self->m_request.target());
      for (const auto& field : self->m_request)
        request.headers[LowerAscii(std::string(field.name_string()))] = std::string(field.value());
      request.body = self->m_request.body();
      self->m_keepAlive = self->m_request.keep_alive();
      self->m_server->Dispatch(self, std::move(request));
    });
  }

  // On the connection's strand.
  void Reply(const SimReply& reply) {
    if (reply.raw) {
      auto bytes = std::make_shared<std::string>(*reply.raw);
      asio::async_write(m_stream, asio::buffer(*bytes),
                        [self = shared_from_this(), bytes](beast::error_code, size_t) { self->Close(); });
      return;
    }
    auto response = std::make_shared<http::response<http::string_body>>();
    response->result(static_cast<unsigned>(reply.status));
    response->version(11);
    response->set(http::field::server, "ovanta-service-sim");
    if (!reply.contentType.empty()) response->set(http::field::content_type, reply.contentType);
    for (const auto& [name, value] : reply.headers) {
      response->set(name, value);
      if (LowerAscii(name) == "connection" && LowerAscii(value) == "close") m_keepAlive = false;
    }
    response->body() = reply.body;
    response->keep_alive(m_keepAlive);
    response->prepare_payload();
    http::async_write(m_stream, *response, [self = shared_from_this(), response](beast::error_code ec, size_t) {
      if (ec || !self->m_keepAlive) return self->Close();
      self->Read();
    });
  }

  void Close() {
    beast::error_code ignored;
    m_stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
    m_stream.socket().close(ignored);
  }

  tcp::socket& Socket() { return m_stream.socket(); }
  auto Executor() { return m_stream.get_executor(); }

 private:
  beast::tcp_stream m_stream;
  beast::flat_buffer m_buffer;
  http::request<http::string_body> m_request;
  bool m_keepAlive = true;
  std::shared_ptr<HttpServer::Impl> m_server;
};

bool HttpServer::Impl::Start(uint16_t port) {
  Stop();
  m_stopping = false;  // no server thread runs until the new ones start
  m_io = std::make_unique<asio::io_context>();
  try {
    m_acceptor = std::make_unique<tcp::acceptor>(asio::make_strand(*m_io),
                                                 tcp::endpoint(asio::ip::address_v4::loopback(), port), true);
  } catch (const std::exception&) {
    m_acceptor.reset();
    m_io.reset();
    return false;
  }
  // The simulator's sockets are not inherited by programs started beside it (a hardware
  // service under test).
  Platform::KeepFromChildren(m_acceptor->native_handle());
  m_port = m_acceptor->local_endpoint().port();
  Accept();
  for (int i = 0; i < kServerThreads; ++i) m_threads.emplace_back([io = m_io.get()] { io->run(); });
  return true;
}

void HttpServer::Impl::Accept() {
  m_acceptor->async_accept(
      asio::make_strand(*m_io), [self = shared_from_this()](beast::error_code ec, tcp::socket socket) {
        if (ec || self->m_stopping) return;  // the socket closes as it goes
        Platform::KeepFromChildren(socket.native_handle());
        auto session = std::make_shared<Session>(std::move(socket), self);
        {
          std::lock_guard lock(self->m_lock);
          std::erase_if(self->m_sessionRefs, [](const std::weak_ptr<Session>& s) { return s.expired(); });
          self->m_sessionRefs.push_back(session);
        }
        session->Read();
        self->Accept();
      });
}

void HttpServer::Impl::Dispatch(const std::shared_ptr<Session>& session, SimRequest request) {
  std::function<bool(const SimRequest&)> stall;
  {
    std::lock_guard lock(m_lock);
    stall = m_stallWhich;
  }
  if (stall && stall(request)) {
    std::lock_guard lock(m_lock);
    if (m_stallWhich) {  // still armed: this one is the next
      m_stallWhich = nullptr;
      m_stalled.push_back(session);
      ++m_stalledCount;
      m_heldChanged.notify_all();
      return;
    }
  }
  {
    std::lock_guard lock(m_lock);
    std::string path;
    std::map<std::string, std::string> query;
    SplitTarget(request.target, path, query);
    if (!m_holdPrefix.empty() && path.rfind(m_holdPrefix, 0) == 0) {
      m_held.emplace_back(session, std::move(request));
      m_heldChanged.notify_all();
      return;
    }
  }
  SimReply reply = Answer(request);
  if (reply.delayMs <= 0) return session->Reply(reply);
  // A slow service: the reply goes out later, the connection's strand free meanwhile.
  auto timer = std::make_shared<asio::steady_timer>(session->Executor(), std::chrono::milliseconds(reply.delayMs));
  {
    std::lock_guard lock(m_lock);
    std::erase_if(m_delays, [](const std::weak_ptr<asio::steady_timer>& t) { return t.expired(); });
    m_delays.push_back(timer);
  }
  timer->async_wait([session, timer, reply = std::move(reply)](beast::error_code ec) {
    if (ec) return session->Close();
    session->Reply(reply);
  });
}

void HttpServer::Impl::ReleaseHeld() {
  std::vector<std::pair<std::shared_ptr<Session>, SimRequest>> held;
  {
    std::lock_guard lock(m_lock);
    m_holdPrefix.clear();
    held.swap(m_held);
  }
  if (!m_io) return;
  // Answered in arrival order, each reply written on its connection's strand.
  asio::post(*m_io, [self = shared_from_this(), held = std::move(held)] {
    for (const auto& [session, request] : held)
      asio::post(session->Executor(), [session = session, reply = self->Answer(request)] { session->Reply(reply); });
  });
}

namespace {
void CloseOnItsStrand(const std::shared_ptr<Session>& session) {
  asio::post(session->Executor(), [session] { session->Close(); });
}
}  // namespace

bool HttpServer::Impl::DropHeld(const std::string& text) {
  std::shared_ptr<Session> dropped;
  {
    std::lock_guard lock(m_lock);
    const auto found = std::find_if(m_held.begin(), m_held.end(), [&](const auto& held) {
      return held.second.target.find(text) != std::string::npos;
    });
    if (found == m_held.end()) return false;
    dropped = found->first;
    m_held.erase(found);
  }
  CloseOnItsStrand(dropped);
  return true;
}

void HttpServer::Impl::DropStalled() {
  std::vector<std::shared_ptr<Session>> stalled;
  {
    std::lock_guard lock(m_lock);
    stalled.swap(m_stalled);
  }
  for (const auto& session : stalled) CloseOnItsStrand(session);
}

void HttpServer::Impl::Stop() {
  if (!m_io) return;
  asio::post(m_acceptor->get_executor(), [self = shared_from_this()] {
    beast::error_code ignored;
    self->m_stopping = true;
    self->m_acceptor->close(ignored);
    std::vector<std::shared_ptr<Session>> open;
    {
      std::lock_guard lock(self->m_lock);
      for (auto& ref : self->m_sessionRefs)
        if (auto s = ref.lock()) open.push_back(std::move(s));
      self->m_sessionRefs.clear();
      for (auto& ref : self->m_delays)
        if (auto timer = ref.lock()) asio::post(timer->get_executor(), [timer] { timer->cancel(); });
      self->m_delays.clear();
      self->m_held.clear();
      self->m_stalled.clear();
      self->m_stallWhich = nullptr;
    }
    for (auto& s : open) CloseOnItsStrand(s);
  });
  for (std::thread& t : m_threads) t.join();
  m_threads.clear();
  m_acceptor.reset();
  m_io.reset();
}

HttpServer::HttpServer(Handler handler) : m_impl(std::make_shared<Impl>(std::move(handler))) {}
HttpServer::~HttpServer() { m_impl->Stop(); }
bool HttpServer::Start(uint16_t port) { return m_impl->Start(port); }
uint16_t HttpServer::Port() const { return m_impl->Port(); }
void HttpServer::Stop() { m_impl->Stop(); }
void HttpServer::HoldReplies(const std::string& pathPrefix) { m_impl->HoldReplies(pathPrefix); }
void HttpServer::ReleaseHeld() { m_impl->ReleaseHeld(); }
bool HttpServer::WaitHeld(size_t count, double seconds) const { return m_impl->WaitHeld(count, seconds); }
std::vector<std::string> HttpServer::HeldTargets() const { return m_impl->HeldTargets(); }
bool HttpServer::DropHeld(const std::string& text) { return m_impl->DropHeld(text); }
void HttpServer::StallNext(std::function<bool(const SimRequest&)> which) { m_impl->StallNext(std::move(which)); }
bool HttpServer::WaitStalled(size_t count, double seconds) const { return m_impl->WaitStalled(count, seconds); }
void HttpServer::DropStalled() { m_impl->DropStalled(); }

}  // namespace ServiceSim
