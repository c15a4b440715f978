// Feeds arbitrary bytes to the HTTP client as the software service's reply: a client connects
// to a socket this program listens on, sends a request, and gets the input as the answer, the
// connection closed after it. Then reads the reply the way the system does.
//
// Besides the sanitizers, checks that every request ends (a reply, or a failure) within a
// bound, in one of the two end states, and that a request that ended with a reply carries a
// status the reply's head gave.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "client/http/Client.h"
#include "client/http/Globals.h"

namespace {

constexpr int kPatienceMs = 20000;  // an upper bound for a loopback exchange, never a measurement

[[noreturn]] void Fail(const char* why) {
  fprintf(stderr, "http_reply_fuzz: %s\n", why);
  abort();
}

// A listening socket on a free loopback port, for one exchange.
class Listener {
 public:
  Listener() {
    m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (m_fd < 0 || bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(m_fd, 4) != 0 ||
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      abort();
    m_port = ntohs(address.sin_port);
  }
  ~Listener() {
    for (const Peer& peer : m_peers) close(peer.fd);
    close(m_fd);
  }
  uint16_t Port() const { return m_port; }

  // Serves the connections the client opens until one of them has carried a whole request
  // head (the request has no body), and answers that connection's descriptor; -1, with why in
  // `why`, when no request comes. A client may open another connection and let go of the first (it
  // reopens one it finds closed); a connection closed before its request began is let go too.
  int AwaitRequest(const char*& why) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPatienceMs);
    for (;;) {
      std::vector<pollfd> polled{{m_fd, POLLIN, 0}};
      for (const Peer& peer : m_peers) polled.push_back({peer.fd, POLLIN, 0});
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0 || poll(polled.data(), polled.size(), static_cast<int>(left)) <= 0) {
        why = m_peers.empty() ? "the client never connected" : "no request came";
        return -1;
      }
      if (polled[0].revents) {
        const int fd = accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) m_peers.push_back({fd, {}});
      }
      for (size_t i = 1; i < polled.size(); ++i) {
        if (!polled[i].revents) continue;
        Peer& peer = m_peers[i - 1];
        char buffer[1024];
        const ssize_t n = read(peer.fd, buffer, sizeof buffer);
        if (n > 0) {
          peer.head.append(buffer, static_cast<size_t>(n));
          if (peer.head.find("\r\n\r\n") != std::string::npos) return peer.fd;
          continue;
        }
        if (!peer.head.empty()) {
          why = "the client closed a connection in the middle of its request";
          return -1;
        }
        close(peer.fd);
        peer.fd = -1;
      }
      std::erase_if(m_peers, [](const Peer& peer) { return peer.fd < 0; });
    }
  }

 private:
  struct Peer {
    int fd;
    std::string head;
  };
  int m_fd = -1;
  uint16_t m_port = 0;
  std::vector<Peer> m_peers;
};

// Waits for the client to reach the connected state. The slot holds the flag itself, so a
// signal still running as the wait goes is harmless.
class ConnectedWait {
 public:
  explicit ConnectedWait(Voxlet::Client& client) : m_client(client) {
    m_slot = client.StateChanged().connect([flag = m_flag](Voxlet::Client&, int state) {
      std::lock_guard lock(flag->lock);
      flag->connected = state == Voxlet::ClientStates::Connected;
      flag->changed.notify_all();
    });
  }
  bool Wait() {
    std::unique_lock lock(m_flag->lock);
    return m_flag->changed.wait_for(lock, std::chrono::milliseconds(kPatienceMs), [&] {
      return m_flag->connected || m_client.State() == Voxlet::ClientStates::Connected;
    });
  }

 private:
  struct Flag {
    std::mutex lock;
    std::condition_variable changed;
    bool connected = false;
  };
  Voxlet::Client& m_client;
  std::shared_ptr<Flag> m_flag = std::make_shared<Flag>();
  boost::signals2::scoped_connection m_slot;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const Voxlet::Globals globals;
  Listener listener;
  Voxlet::Client client(false);
  ConnectedWait connected(client);
  if (!client.Connect(u"http://127.0.0.1:" + Voxlet::UTF8to16(std::to_string(listener.Port())) + u"/"))
    Fail("the loopback address was refused");
  if (!connected.Wait()) Fail("the client never reached the connected state");

  const Voxlet::MessagePtr message = Voxlet::Message::Create();
  message->Open(Voxlet::Methods::Get, u"/voxlet/activated");
  if (!client.Send(message)) Fail("a connected client refused the request");
  const char* why = nullptr;
  const int fd = listener.AwaitRequest(why);
  if (fd < 0) Fail(why);
  for (size_t written = 0; written < size;) {
    const ssize_t n = write(fd, data + written, size - written);
    if (n <= 0) break;  // the client gave up on the reply and closed
    written += static_cast<size_t>(n);
  }
  shutdown(fd, SHUT_WR);

  message->BlockUntil(Voxlet::RequestStates::Complete, kPatienceMs / 1000.0);
  if (!message->Ended()) Fail("the request neither completed nor failed");
  const int state = message->State();
  if (state != Voxlet::RequestStates::Complete && state != Voxlet::RequestStates::NotSent)
    Fail("the request ended in a state that is not an end");
  if (state == Voxlet::RequestStates::Complete) {
    const int status = message->StatusCode();
    if (status < 0 || status > 999) Fail("a reply with a status no reply head can give");
    message->ReasonPhrase();
    message->ReplyHeaders();
    message->ReplyText();
    message->Success(u"text/xml");
    message->Success(u"application/rdf+xml");
  }
  message->Failure();
  client.Disconnect();
  return 0;
}
