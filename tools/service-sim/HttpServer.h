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
  // Closes the connection of the held request whose target contains `text` (the first such),
  // without a reply and without handling it; false when none is held.
  bool DropHeld(const std::string& text);

  // The next request that `which` accepts stalls: it is not handled and gets no reply, and its
  // connection stays open and silent until DropStalled or Stop. Later requests are served.
  // `which` runs on a server thread, without the server's lock.
  void StallNext(std::function<bool(const SimRequest&)> which);
  // Blocks until at least `count` requests have stalled since the start, or `seconds` pass.
  bool WaitStalled(size_t count, double seconds) const;
  // Closes the connections of the stalled requests, without a reply.
  void DropStalled();

  class Impl;

 private:
  std::shared_ptr<Impl> m_impl;
};

}  // namespace ServiceSim
