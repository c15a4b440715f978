#pragma once
// A small HTTP/1.1 server on loopback for the simulator (Boost.Beast stays in HttpServer.cpp).
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tools/service-sim/SimTypes.h"

namespace ServiceSim {

class HttpServer {
 public:
  using Handler = std::function<SimReply(const SimRequest&)>;

  explicit HttpServer(Handler handler);
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;
  ~HttpServer();

  // Listens on 127.0.0.1:port (0 picks a free port); false when the port cannot be bound.
  bool Start(uint16_t port);
  uint16_t Port() const;
  // Closes the listener and every open connection, and waits for the server's thread.
  void Stop();

  // Requests whose decoded path starts with `pathPrefix` are held, unanswered, until
  // ReleaseHeld (which answers them in arrival order). An empty prefix holds nothing.
  void HoldReplies(const std::string& pathPrefix);
  void ReleaseHeld();
  // Blocks until at least `count` requests are held or `seconds` pass.
  bool WaitHeld(size_t count, double seconds) const;
  // The targets of the requests held now, in arrival order.
  std::vector<std::string> HeldTargets() const;

  class Impl;

 private:
  std::shared_ptr<Impl> m_impl;
};

}  // namespace ServiceSim
