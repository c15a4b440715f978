#pragma once

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "SocketTestHelpers.h"
#include "platform/Socket.h"
#include "platform/SocketExceptions.h"
#include "platform/WaitEvent.h"
#include "sdk/ConnectedObject.h"
#include "sdk/ConnectionManager.h"
#include "sdk/Message.h"
#include "sdk/SdkMessages.h"
#include "sdk/ServerIdentifier.h"
#include "sdk/ServerListeningThread.h"

using ByteVector = std::vector<uint8_t>;

// A server identifier no other test process uses.
inline ServerIdentifier RandomIdentifier() {
  std::random_device random;
  ServerIdentifier id;
  for (auto& byte : id) byte = static_cast<uint8_t>(random());
  return id;
}

inline ByteVector Frame(std::span<const uint8_t> body) {
  ByteVector frame(4 + body.size());
  Wire::PutU32(frame.data(), static_cast<uint32_t>(body.size()));
  std::copy(body.begin(), body.end(), frame.begin() + 4);
  return frame;
}

inline ByteVector Bytes(const MessageIntf& message) {
  const auto buffer = message.Write();
  return {buffer->Frame().begin(), buffer->Frame().end()};
}

// A body of kind 1 (asynchronous), 2 (request) or 3 (response) with the id, correlation id and data.
inline ByteVector Body(uint8_t kind, MessageId id, ByteVector data = {}, std::optional<uint32_t> correlation = {}) {
  ByteVector body;
  CWireWriter out(body);
  out.I32(id.Value());
  out.U8(kind);
  if (correlation) out.U32(*correlation);
  out.Raw(data);
  return body;
}
inline ByteVector AsyncBody(MessageId id, ByteVector data = {}) { return Body(1, id, std::move(data)); }
inline ByteVector Request(int32_t id, uint32_t correlation) { return Body(2, id, {}, correlation); }
inline ByteVector Response(int32_t id, uint32_t correlation, ByteVector data = {}) {
  return Body(3, id, std::move(data), correlation);
}

inline ReceiverStatusW Receiver(uint32_t number, uint32_t state, std::u16string_view name) {
  ReceiverStatusW record;
  record.receiverNumber = number;
  record.receiverState = state;
  CStatusMessage::SetName(record, name);
  return record;
}

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

// Fields guarded by one lock: Record changes them and wakes the waiters, Locked reads them,
// WaitFor waits (bounded) until a condition on them holds.
class Recorded {
 public:
  template <class Fn>
  bool WaitFor(Fn done, int timeoutMs = kTestWaitMs) {
    std::unique_lock<std::mutex> lock(m_recordLock);
    return m_recordChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
  }
  template <class Fn>
  auto Locked(Fn fn) {
    std::lock_guard<std::mutex> guard(m_recordLock);
    return fn();
  }

 protected:
  template <class Fn>
  void Record(Fn fn) {
    Locked(fn);
    m_recordChanged.notify_all();
  }
  std::mutex m_recordLock;
  std::condition_variable m_recordChanged;
};

// The diagnostic sink, installed for the life of the object.
class ScopedDiagnostics : public IDiagnosticSink, public Recorded {
 public:
  ScopedDiagnostics() { SetDiagnosticSink(this); }
  ~ScopedDiagnostics() override { SetDiagnosticSink(nullptr); }
  void Write(const char* text) override {
    Record([&] { m_lines.emplace_back(text); });
  }
  size_t Count(const std::string& text) {
    return Locked([&] { return CountLocked(text); });
  }
  // Waits until exactly `count` lines hold the text.
  bool WaitForCount(const std::string& text, size_t count, int timeoutMs = kTestWaitMs) {
    return WaitFor([&] { return CountLocked(text) == count; }, timeoutMs);
  }

 private:
  size_t CountLocked(const std::string& text) const {
    return static_cast<size_t>(std::count_if(m_lines.begin(), m_lines.end(),
                                             [&](const auto& l) { return l.find(text) != std::string::npos; }));
  }
  std::vector<std::string> m_lines;
};

// A connected object that records what reaches it, and answers a request 6 with an empty
// response 7 carrying the request's correlation id.
class RecordingObject : public CConnectedObjectBase, public Recorded {
 public:
  static constexpr int32_t kPing = 6;
  static constexpr int32_t kPingAnswer = 7;

  void OnMessage(const MessageBufferPtr& buffer) override {
    m_release.Wait(kTestWaitMs);
    const auto body = buffer->Body();
    if (body.size() >= 9 && MessageHeader::PeekMessageId(body) == kPing && body[4] == 2)
      if (auto socket = GetSocket())
        socket->SendBuffer(CMessageBuffer::FromBody(Response(kPingAnswer, Wire::GetU32(body.data() + 5))));
    Record([&] { m_messages.emplace_back(body.begin(), body.end()); });
  }
  void OnConnected() override {
    Record([&] { m_connected = true; });
  }
  void OnDisconnected() override {
    Record([&] { m_disconnected = true; });
  }

  // Waits until `count` messages have arrived; returns what arrived so far.
  std::vector<ByteVector> WaitMessages(size_t count) {
    WaitFor([&] { return m_messages.size() >= count; });
    return Messages();
  }
  std::vector<ByteVector> Messages() {
    return Locked([&] { return m_messages; });
  }
  // Makes the handler wait before it handles anything, until Release (or kTestWaitMs at most
  // for each message, so that a test that fails cannot leave it waiting).
  void Hold() { m_release.Reset(); }
  void Release() { m_release.Set(); }
  bool WaitConnected() {
    return WaitFor([&] { return m_connected; });
  }
  bool WaitDisconnected() {
    return WaitFor([&] { return m_disconnected; });
  }

 private:
  std::vector<ByteVector> m_messages;
  bool m_connected = false, m_disconnected = false;
  CWaitEvent m_release{true};
};

// A server whose connections get RecordingObjects, listening on a loopback port; stopped
// when it goes.
class TestServer : public Recorded {
 public:
  explicit TestServer(const ServerIdentifier& id) : m_identifier(id) {}
  ~TestServer() { Stop(); }

  static std::shared_ptr<TestServer> Start(bool publish = false, const ServerIdentifier& id = RandomIdentifier()) {
    return Start(ListenOptions{.publish = publish}, id);
  }
  static std::shared_ptr<TestServer> Start(const ListenOptions& options,
                                           const ServerIdentifier& id = RandomIdentifier()) {
    auto server = std::make_shared<TestServer>(id);
    server->m_manager = CConnectionManager::Acquire();  // before a connection can arrive
    server->m_listening = std::make_unique<CServerListeningThread>(
        id, options,
        [s = server.get()](const CRegistrationMessage& registration, std::shared_ptr<CMessagingSocket> socket) {
          auto object = std::make_shared<RecordingObject>();
          if (s->m_manager->Attach(object, std::move(socket), registration))
            s->Record([&] { s->m_objects.push_back(object); });
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

  // Waits until the connection of that index has been attached; its object.
  std::shared_ptr<RecordingObject> WaitObject(size_t index) {
    if (!WaitFor([&] { return m_objects.size() > index; })) return nullptr;
    return Locked([&] { return m_objects[index]; });
  }
  std::vector<std::shared_ptr<RecordingObject>> Objects() {
    return Locked([&] { return m_objects; });
  }
  const ServerIdentifier& Identifier() const { return m_identifier; }
  uint16_t Port() const { return m_listening ? m_listening->Port() : 0; }
  uint64_t AcceptFailures() const { return m_listening ? m_listening->AcceptFailures() : 0; }

 private:
  const ServerIdentifier m_identifier;
  std::shared_ptr<CConnectionManager> m_manager;
  std::unique_ptr<CServerListeningThread> m_listening;
  std::vector<std::shared_ptr<RecordingObject>> m_objects;
};

// A blocking TCP client that speaks the frames by hand.
class RawClient : public CThreadedSocket {
 public:
  explicit RawClient(uint16_t port) : CThreadedSocket(TcpNoDelay::kOn) { Connect("127.0.0.1", port); }
  // Not connected yet (Connect): its socket exists already.
  RawClient() : CThreadedSocket(TcpNoDelay::kOn) {}

  bool SendAll(std::span<const uint8_t> bytes) {
    for (size_t done = 0; done < bytes.size();) {
      const ssize_t n = Platform::SendSocket(Handle(), bytes.data() + done, bytes.size() - done);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }
  // Exactly n bytes, or none when the connection closes or no byte comes within timeoutMs.
  std::optional<ByteVector> Read(size_t n, int timeoutMs = kTestWaitMs) {
    ByteVector bytes(n);
    for (size_t done = 0; done < n;) {
      const ssize_t got = ReceiveWithin(bytes.data() + done, n - done, timeoutMs);
      if (got <= 0) return std::nullopt;
      done += static_cast<size_t>(got);
    }
    return bytes;
  }
  // The body of the next frame.
  std::optional<ByteVector> ReadFrame() {
    auto prefix = Read(4);
    return prefix ? Read(Wire::GetU32(prefix->data())) : std::nullopt;
  }
  // True when the peer closes the connection (reading whatever came before).
  bool WaitClosed(int timeoutMs = kTestWaitMs) {
    uint8_t sink[4096];
    ssize_t got;
    while ((got = ReceiveWithin(sink, sizeof sink, timeoutMs)) > 0) {
    }
    return got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
  }
  // True while the connection is open and nothing has arrived that was not read.
  bool Waiting() {
    const Platform::WaitHandle readable = Platform::WaitHandle::Descriptor(Handle(), POLLIN);
    return Platform::WaitForAny(std::span(&readable, 1), 0) == Platform::kWaitTimeout;
  }
  // Reads the server's identifier and sends a registration frame.
  bool Register(int32_t registrationId = 0) { return Read(16) && SendAll(Bytes(CRegistrationMessage(registrationId))); }

 private:
  ssize_t ReceiveWithin(uint8_t* into, size_t n, int timeoutMs) {
    Platform::SetReceiveTimeout(Handle(), timeoutMs);
    return Receive(into, n);
  }
};

// Whether the client's ping with that correlation id is answered.
inline bool Served(RawClient& client, uint32_t correlation) {
  return client.SendAll(Frame(Request(RecordingObject::kPing, correlation))) &&
         client.ReadFrame() == Response(RecordingObject::kPingAnswer, correlation);
}
