#pragma once
// A software service that misbehaves on request, for tests: a plain HTTP/1.1 server on
// 127.0.0.1, over raw sockets, that has a simulated session manager answer every request except
// those chosen to get a broken reply: one that stops halfway and never ends, one that streams
// without end, a document that is not XML, a body of 10 MB (broken or whole), or the right
// document under a wrong content type. Its threads are joined when it is destroyed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/service-sim/SessionManager.h"
#include "tools/service-sim/SimTypes.h"

namespace TestService {

enum class Fault {
  None,
  Stall,         // the headers and half the body, then nothing until the client gives up
  Endless,       // a chunked body that never ends, written as fast as the client reads
  NotXml,        // text/xml that is not well-formed
  HugeNotXml,    // 10 MB of text/xml that is not well-formed
  HugeDocument,  // the right document grown to 10 MB (a long text in an extra element)
  WrongType,     // the right document as text/html
  HugeError,     // status 500 with 10 MB of text
};

inline constexpr size_t kHugeBody = 10u << 20;

class MisbehavingService {
 public:
  explicit MisbehavingService(ServiceSim::SessionManager& manager) : m_manager(manager) {}
  MisbehavingService(const MisbehavingService&) = delete;
  MisbehavingService& operator=(const MisbehavingService&) = delete;
  ~MisbehavingService() { Stop(); }

  // Listens on 127.0.0.1 (a free port when 0); false when it cannot.
  bool Start(uint16_t port = 0) {
    if (pipe(m_stop) != 0) return false;
    m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(m_listener, 16) != 0)
      return false;
    socklen_t length = sizeof address;
    getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
    m_acceptor = std::thread([this] { Accept(); });
    return true;
  }

  // Closes the listener and every connection, and joins the threads.
  void Stop() {
    if (m_stop[1] >= 0) (void)!write(m_stop[1], "x", 1);
    if (m_acceptor.joinable()) m_acceptor.join();
    std::vector<std::thread> connections;
    {
      std::lock_guard lock(m_lock);
      connections.swap(m_connections);
    }
    for (std::thread& t : connections) t.join();
    for (int* fd : {&m_listener, &m_stop[0], &m_stop[1]})
      if (*fd >= 0) close(std::exchange(*fd, -1));
  }

  uint16_t Port() const { return m_port; }
  std::string Uri() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/"; }

  // The next `count` requests that `pattern` matches get `fault` (every one from now on when
  // count is negative). A pattern matches a request's path (without the query) or its whole
  // target. Rules are tried in the order given.
  void Misbehave(const std::string& pattern, Fault fault, int count = 1) {
    std::lock_guard lock(m_lock);
    m_rules.push_back({pattern, fault, count});
  }

  // How many requests on `path` (without the query) got `fault` (None: a good reply).
  size_t Count(const std::string& path, Fault fault) const {
    std::lock_guard lock(m_lock);
    const auto it = m_answered.find(path);
    return it == m_answered.end() ? 0 : static_cast<size_t>(std::count(it->second.begin(), it->second.end(), fault));
  }
  // Broken replies the client walked away from (it closed the connection while the reply was
  // still being written or held open).
  size_t Abandoned() const {
    std::lock_guard lock(m_lock);
    return m_abandoned;
  }
  // Blocks until `done` holds (checked after every reply and abandonment) or `seconds` pass.
  bool WaitFor(const std::function<bool()>& done, double seconds) const {
    std::unique_lock lock(m_lock);
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
      lock.unlock();
      const bool ok = done();
      lock.lock();
      if (ok) return true;
      const uint64_t seen = m_events;
      if (!m_changed.wait_until(lock, until, [&] { return m_events != seen; })) return false;
    }
  }

 private:
  struct Rule {
    std::string pattern;
    Fault fault;
    int remaining;
  };

  void Changed() {
    {
      std::lock_guard lock(m_lock);
      ++m_events;
    }
    m_changed.notify_all();
  }

  // Waits until fd is ready for `events` or the server stops; false on stop or error.
  bool Ready(int fd, short events) const {
    for (;;) {
      pollfd fds[2] = {{fd, events, 0}, {m_stop[0], POLLIN, 0}};
      if (poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (fds[1].revents) return false;
      return fds[0].revents != 0;
    }
  }

  void Accept() {
    while (Ready(m_listener, POLLIN)) {
      const int fd = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      std::lock_guard lock(m_lock);
      m_connections.emplace_back([this, fd] {
        Serve(fd);
        close(fd);
      });
    }
  }

  bool SendAll(int fd, const char* data, size_t size) const {
    while (size > 0) {
      if (!Ready(fd, POLLOUT)) return false;
      const ssize_t n = send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n <= 0) return false;
      data += n;
      size -= static_cast<size_t>(n);
    }
    return true;
  }
  bool SendAll(int fd, const std::string& text) const { return SendAll(fd, text.data(), text.size()); }

  // Reads one request; false when the connection ends first.
  bool ReadRequest(int fd, std::string& buffer, ServiceSim::SimRequest& request) const {
    size_t end;
    while ((end = buffer.find("\r\n\r\n")) == std::string::npos)
      if (!ReadMore(fd, buffer)) return false;
    const std::string head = buffer.substr(0, end);
    buffer.erase(0, end + 4);
    size_t lineEnd = head.find("\r\n");
    const std::string requestLine = head.substr(0, lineEnd);
    const size_t space1 = requestLine.find(' '), space2 = requestLine.rfind(' ');
    if (space1 == std::string::npos || space2 == space1) return false;
    request = {};
    request.method = requestLine.substr(0, space1);
    request.target = requestLine.substr(space1 + 1, space2 - space1 - 1);
    while (lineEnd != std::string::npos) {
      const size_t start = lineEnd + 2;
      lineEnd = head.find("\r\n", start);
      const std::string line = head.substr(start, lineEnd == std::string::npos ? std::string::npos : lineEnd - start);
      const size_t colon = line.find(':');
      if (colon == std::string::npos) continue;
      const size_t value = line.find_first_not_of(' ', colon + 1);
      request.headers[ServiceSim::LowerAscii(line.substr(0, colon))] =
          value == std::string::npos ? std::string() : line.substr(value);
    }
    const size_t length = request.HasHeader("Content-Length") ? std::stoul(request.Header("Content-Length")) : 0;
    while (buffer.size() < length)
      if (!ReadMore(fd, buffer)) return false;
    request.body = buffer.substr(0, length);
    buffer.erase(0, length);
    return true;
  }

  bool ReadMore(int fd, std::string& buffer) const {
    if (!Ready(fd, POLLIN)) return false;
    char chunk[16384];
    const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    buffer.append(chunk, static_cast<size_t>(n));
    return true;
  }

  // Until the client closes the connection (true) or the server stops (false).
  bool AwaitClose(int fd) const {
    char chunk[4096];
    while (Ready(fd, POLLIN))
      if (recv(fd, chunk, sizeof chunk, 0) <= 0) return true;
    return false;
  }

  Fault TakeFault(const std::string& target, const std::string& path) {
    std::lock_guard lock(m_lock);
    for (Rule& rule : m_rules) {
      if (rule.remaining == 0 || (rule.pattern != path && rule.pattern != target)) continue;
      if (rule.remaining > 0) --rule.remaining;
      return rule.fault;
    }
    return Fault::None;
  }

  static std::string Reason(int status) {
    switch (status) {
      case 200:
        return "OK";
      case 201:
        return "Created";
      case 400:
        return "Bad Request";
      case 403:
        return "Forbidden";
      case 404:
        return "Not Found";
      case 405:
        return "Method Not Allowed";
      case 500:
        return "Internal Server Error";
      default:
        return "Status";
    }
  }

  static std::string Head(int status, const std::string& type, const ServiceSim::SimReply& reply,
                          const std::string& framing) {
    std::string head = "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) + "\r\n";
    if (!type.empty()) head += "Content-Type: " + type + "\r\n";
    for (const auto& [name, value] : reply.headers) head += name + ": " + value + "\r\n";
    return head + framing + "\r\n";
  }

  // The reply's document with a 10 MB text in an extra element just inside its root element.
  static std::string Grown(const std::string& document) {
    size_t root = document.find('<');
    while (root != std::string::npos && (document.compare(root, 2, "<?") == 0 || document.compare(root, 2, "<!") == 0))
      root = document.find('<', root + 1);
    const size_t inside = root == std::string::npos ? std::string::npos : document.find('>', root);
    if (inside == std::string::npos || document[inside - 1] == '/') return document;
    return document.substr(0, inside + 1) + "<padding>" + std::string(kHugeBody, 'p') + "</padding>" +
           document.substr(inside + 1);
  }

  void Serve(int fd) {
    std::string buffer;
    ServiceSim::SimRequest request;
    while (ReadRequest(fd, buffer, request)) {
      const std::string path = request.target.substr(0, request.target.find('?'));
      const Fault fault = TakeFault(request.target, path);
      const ServiceSim::SimReply reply = m_manager.Handle(request);
      {
        std::lock_guard lock(m_lock);
        m_answered[path].push_back(fault);
      }
      Changed();
      const std::string length = "Content-Length: ";
      bool keep = true;
      switch (fault) {
        case Fault::None:
        case Fault::WrongType: {
          const std::string type = fault == Fault::WrongType ? "text/html" : reply.contentType;
          keep = SendAll(
              fd, Head(reply.status, type, reply, length + std::to_string(reply.body.size()) + "\r\n") + reply.body);
          break;
        }
        case Fault::NotXml:
        case Fault::HugeNotXml: {
          std::string body = "<?xml version=\"1.0\"?><voxlet:runtime><voxlet:notifications><unclosed";
          if (fault == Fault::HugeNotXml) body += std::string(kHugeBody, '<');
          keep =
              SendAll(fd, Head(reply.status, "text/xml", reply, length + std::to_string(body.size()) + "\r\n") + body);
          break;
        }
        case Fault::HugeError: {
          ServiceSim::SimReply error;
          keep = SendAll(fd, Head(500, "text/plain", error, length + std::to_string(kHugeBody) + "\r\n") +
                                 std::string(kHugeBody, 'e'));
          break;
        }
        case Fault::HugeDocument: {
          const std::string body = Grown(reply.body);
          keep = SendAll(
              fd, Head(reply.status, reply.contentType, reply, length + std::to_string(body.size()) + "\r\n") + body);
          break;
        }
        case Fault::Stall: {
          const std::string head =
              Head(reply.status, reply.contentType, reply, length + std::to_string(reply.body.size() + 1) + "\r\n");
          if (SendAll(fd, head + reply.body.substr(0, reply.body.size() / 2)) && AwaitClose(fd)) Abandon();
          return;
        }
        case Fault::Endless: {
          if (!SendAll(fd, Head(reply.status, reply.contentType, reply, "Transfer-Encoding: chunked\r\n"))) return;
          const std::string chunk = "10000\r\n" + std::string(0x10000, ' ') + "\r\n";
          while (SendAll(fd, chunk)) {
          }
          // The client closed it, or the server is stopping.
          pollfd stop = {m_stop[0], POLLIN, 0};
          if (poll(&stop, 1, 0) == 0) Abandon();
          return;
        }
      }
      if (!keep) return;
    }
  }

  void Abandon() {
    {
      std::lock_guard lock(m_lock);
      ++m_abandoned;
    }
    Changed();
  }

  ServiceSim::SessionManager& m_manager;
  int m_listener = -1;
  int m_stop[2] = {-1, -1};
  uint16_t m_port = 0;
  std::thread m_acceptor;

  mutable std::mutex m_lock;
  mutable std::condition_variable m_changed;
  std::vector<std::thread> m_connections;
  std::vector<Rule> m_rules;
  std::map<std::string, std::vector<Fault>> m_answered;
  size_t m_abandoned = 0;
  uint64_t m_events = 0;
};

}  // namespace TestService
