#pragma once
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "SocketTestHelpers.h"
#include "platform/SocketExceptions.h"
#include "sdk/ConnectedObject.h"
#include "sdk/ConnectionManager.h"
#include "sdk/Message.h"
#include "sdk/ServerIdentifier.h"
#include "sdk/ServerListeningThread.h"

// A server identifier no other test process uses.
inline ServerIdentifier RandomIdentifier() {
  static std::mutex lock;
  static std::mt19937_64 random{std::random_device{}()};
  std::lock_guard<std::mutex> guard(lock);
  ServerIdentifier id;
  for (auto& byte : id) byte = static_cast<uint8_t>(random());
  return id;
}

inline std::vector<uint8_t> Frame(std::span<const uint8_t> body) {
  std::vector<uint8_t> frame(4 + body.size());
  Wire::PutU32(frame.data(), static_cast<uint32_t>(body.size()));
  std::copy(body.begin(), body.end(), frame.begin() + 4);
  return frame;
}

inline std::vector<uint8_t> Bytes(const MessageIntf& message) {
  const auto buffer = message.Write();
  return {buffer->Frame().begin(), buffer->Frame().end()};
}

// A body of kind 1 with the id and some data.
inline std::vector<uint8_t> AsyncBody(MessageId id, std::vector<uint8_t> data = {}) {
  std::vector<uint8_t> body;
  CWireWriter out(body);
  out.I32(id.Value());
  out.U8(1);
  out.Raw(data);
  return body;
}

// Waits, under a lock, for what a condition says; generous bound so a fault fails instead of hanging.
class Signal {
 public:
  template <class Fn>
  bool WaitFor(std::unique_lock<std::mutex>& lock, Fn done) {
    return WaitFor(lock, kTestWaitMs, done);
  }
  template <class Fn>
  bool WaitFor(std::unique_lock<std::mutex>& lock, int timeoutMs, Fn done) {
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
  }
  template <class Fn>
  bool WaitUntil(std::unique_lock<std::mutex>& lock, std::chrono::steady_clock::time_point deadline, Fn done) {
    return m_changed.wait_until(lock, deadline, done);
  }
  void Notify() { m_changed.notify_all(); }

 private:
  std::condition_variable m_changed;
};

// Polls a condition that no event announces until it holds; false when it still does not
// after timeoutMs.
template <class Fn>
bool WaitUntil(Fn done, int timeoutMs = kTestWaitMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// The diagnostic sink, thread-safe, installed for the life of the object.
class ScopedDiagnostics : public IDiagnosticSink {
 public:
  ScopedDiagnostics() { SetDiagnosticSink(this); }
  ~ScopedDiagnostics() override { SetDiagnosticSink(nullptr); }
  void Write(const char* text) override {
    std::lock_guard<std::mutex> guard(m_lock);
    m_lines.emplace_back(text);
    m_signal.Notify();
  }
  bool WaitForLine(const std::string& line, int timeoutMs = kTestWaitMs) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_signal.WaitFor(lock, timeoutMs, [&] { return std::count(m_lines.begin(), m_lines.end(), line) > 0; });
  }
  bool HasLineStartingWith(const std::string& prefix) {
    std::lock_guard<std::mutex> guard(m_lock);
    return std::any_of(m_lines.begin(), m_lines.end(), [&](const auto& l) { return l.rfind(prefix, 0) == 0; });
  }
  size_t CountContaining(const std::string& text) {
    std::lock_guard<std::mutex> guard(m_lock);
    return static_cast<size_t>(std::count_if(m_lines.begin(), m_lines.end(),
                                             [&](const auto& l) { return l.find(text) != std::string::npos; }));
  }

 private:
  std::mutex m_lock;
  Signal m_signal;
  std::vector<std::string> m_lines;
};

// A connected object that records what reaches it, and answers a kind-2 message 6 with an
// empty response 7 carrying the request's correlation id.
class RecordingObject : public CConnectedObjectBase {
 public:
  static constexpr int32_t kPing = 6;
  static constexpr int32_t kPingAnswer = 7;

  void OnMessage(const MessageBufferPtr& buffer) override {
    {
      std::unique_lock<std::mutex> lock(m_lock);
      m_signal.WaitUntil(lock, m_heldUntil, [&] { return !m_held; });
    }
    const auto body = buffer->Body();
    if (body.size() >= 9 && MessageHeader::PeekMessageId(body) == kPing && body[4] == 2) {
      std::vector<uint8_t> answer;
      CWireWriter out(answer);
      out.I32(kPingAnswer);
      out.U8(3);
      out.Raw(body.subspan(5, 4));
      if (auto socket = GetSocket()) socket->SendBuffer(CMessageBuffer::FromBody(answer));
    }
    std::lock_guard<std::mutex> guard(m_lock);
    m_messages.emplace_back(body.begin(), body.end());
    m_signal.Notify();
  }
  void OnConnected() override {
    std::lock_guard<std::mutex> guard(m_lock);
    m_connected = true;
    m_signal.Notify();
  }
  void OnDisconnected() override {
    std::lock_guard<std::mutex> guard(m_lock);
    m_disconnected = true;
    m_signal.Notify();
  }

  // Waits until `count` messages have arrived; returns what arrived so far.
  std::vector<std::vector<uint8_t>> WaitMessages(size_t count) {
    std::unique_lock<std::mutex> lock(m_lock);
    m_signal.WaitFor(lock, [&] { return m_messages.size() >= count; });
    return m_messages;
  }
  std::vector<std::vector<uint8_t>> Messages() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_messages;
  }
  // Makes the handler wait before it handles anything, until Release (or kTestWaitMs at most,
  // so that a test that fails cannot leave it waiting).
  void Hold() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_held = true;
    m_heldUntil = std::chrono::steady_clock::now() + std::chrono::milliseconds(kTestWaitMs);
  }
  void Release() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_held = false;
    m_signal.Notify();
  }
  bool WaitConnected() {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_signal.WaitFor(lock, [&] { return m_connected; });
  }
  bool WaitDisconnected() {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_signal.WaitFor(lock, [&] { return m_disconnected; });
  }

 private:
  std::mutex m_lock;
  Signal m_signal;
  std::vector<std::vector<uint8_t>> m_messages;
  bool m_held = false;
  std::chrono::steady_clock::time_point m_heldUntil;
  bool m_connected = false;
  bool m_disconnected = false;
};

// A server whose connections get RecordingObjects, listening on a loopback port; stopped
// when it goes.
class TestServer {
 public:
  explicit TestServer(const ServerIdentifier& id) : m_identifier(id) {}
  ~TestServer() { Stop(); }
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;

  static std::shared_ptr<TestServer> Start(bool publish = false, const ServerIdentifier& id = RandomIdentifier()) {
    auto server = std::make_shared<TestServer>(id);
    server->m_manager = CConnectionManager::Acquire();  // before a connection can arrive
    server->m_listening = std::make_unique<CServerListeningThread>(
        id, ListenOptions{.publish = publish},
        [s = server.get()](const CRegistrationMessage& registration, std::shared_ptr<CMessagingSocket> socket) {
          s->OnNewConnection(registration, std::move(socket));
        });
    return server;
  }
  void Stop() {
    if (!m_manager) return;
    m_listening.reset();
    for (const auto& object : Objects()) object->Close();
    m_manager->Flush();
    m_manager.reset();
  }

  // Waits until `count` connections have been attached; the n-th object.
  std::shared_ptr<RecordingObject> WaitObject(size_t index) {
    std::unique_lock<std::mutex> lock(m_lock);
    if (!m_signal.WaitFor(lock, [&] { return m_objects.size() > index; })) return nullptr;
    return m_objects[index];
  }
  std::vector<std::shared_ptr<RecordingObject>> Objects() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_objects;
  }
  std::vector<int32_t> Registrations() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_registrations;
  }
  const ServerIdentifier& Identifier() const { return m_identifier; }
  uint16_t Port() const { return m_listening ? m_listening->Port() : 0; }

 private:
  void OnNewConnection(const CRegistrationMessage& registration, std::shared_ptr<CMessagingSocket> socket) {
    auto object = std::make_shared<RecordingObject>();
    if (!m_manager->Attach(object, std::move(socket), registration)) return;
    std::lock_guard<std::mutex> guard(m_lock);
    m_objects.push_back(object);
    m_registrations.push_back(registration.RegistrationId());
    m_signal.Notify();
  }

  const ServerIdentifier m_identifier;
  std::shared_ptr<CConnectionManager> m_manager;
  std::unique_ptr<CServerListeningThread> m_listening;
  std::mutex m_lock;
  Signal m_signal;
  std::vector<std::shared_ptr<RecordingObject>> m_objects;
  std::vector<int32_t> m_registrations;
};

// A plain blocking TCP client that speaks the frames by hand.
class RawClient {
 public:
  // receiveBuffer > 0 sets a small receive buffer before connecting.
  explicit RawClient(uint16_t port, int receiveBuffer = 0) {
    m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (receiveBuffer > 0) setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    m_connected = connect(m_fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0;
  }
  ~RawClient() {
    if (m_fd >= 0) close(m_fd);
  }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool Connected() const { return m_connected; }
  void CloseNow() {
    close(m_fd);
    m_fd = -1;
  }

  bool SendAll(std::span<const uint8_t> bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }
  // Exactly n bytes, or none when the connection closes or nothing comes in time.
  std::optional<std::vector<uint8_t>> Read(size_t n, int timeoutMs = kTestWaitMs) {
    std::vector<uint8_t> bytes(n);
    size_t done = 0;
    while (done < n) {
      pollfd p{m_fd, POLLIN, 0};
      if (poll(&p, 1, timeoutMs) != 1) return std::nullopt;
      const ssize_t got = recv(m_fd, bytes.data() + done, n - done, 0);
      if (got <= 0) return std::nullopt;
      done += static_cast<size_t>(got);
    }
    return bytes;
  }
  // The body of the next frame.
  std::optional<std::vector<uint8_t>> ReadFrame(int timeoutMs = kTestWaitMs) {
    auto prefix = Read(4, timeoutMs);
    if (!prefix) return std::nullopt;
    return Read(Wire::GetU32(prefix->data()), timeoutMs);
  }
  // True when the peer closes the connection (reading whatever came before).
  bool WaitClosed(int timeoutMs = kTestWaitMs) {
    for (;;) {
      pollfd p{m_fd, POLLIN, 0};
      if (poll(&p, 1, timeoutMs) != 1) return false;
      uint8_t sink[4096];
      const ssize_t got = recv(m_fd, sink, sizeof sink, 0);
      if (got <= 0) return true;
    }
  }
  // Reads the identifier and sends a registration frame.
  std::optional<ServerIdentifier> Register(int32_t registrationId = 0) {
    auto id = Read(16);
    if (!id) return std::nullopt;
    if (!SendAll(Bytes(CRegistrationMessage(registrationId)))) return std::nullopt;
    ServerIdentifier identifier;
    std::copy(id->begin(), id->end(), identifier.begin());
    return identifier;
  }
  int Fd() const { return m_fd; }

 private:
  int m_fd = -1;
  bool m_connected = false;
};
