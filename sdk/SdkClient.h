#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sdk/MessagingClient.h"
#include "sdk/SdkMessages.h"

// A client of the SDK server: finds it, connects, and sends the SDK requests. The handlers
// run on the messaging layer's incoming-message thread.
class CSdkClient {
 public:
  static constexpr int kDefaultTimeoutMs = 5000;

  struct Handlers {
    std::function<void(const std::vector<ReceiverStatusW>&)> onStatus;
    std::function<void()> onLogChanged;
    std::function<void()> onDisconnected;
  };

  explicit CSdkClient(Handlers handlers = {});
  ~CSdkClient();
  CSdkClient(const CSdkClient&) = delete;
  CSdkClient& operator=(const CSdkClient&) = delete;

  // The SDK server's port, asked for by multicast on the local host; none within timeoutMs.
  // Throws CSocketException when the discovery socket cannot be set up.
  static std::optional<uint16_t> Discover(int timeoutMs);

  // Connects and registers; false when the server does not answer as the SDK server.
  // Throws CSocketException when the connection is refused.
  bool Connect(uint16_t port, int32_t registrationId = 0, const std::string& host = "127.0.0.1");
  void Close();

  // Blocking requests: none when no answer came within timeoutMs.
  bool Ping(int timeoutMs = kDefaultTimeoutMs);
  std::optional<std::u16string> GetLogFileName(int timeoutMs = kDefaultTimeoutMs);
  std::optional<int32_t> GetLogFlags(int timeoutMs = kDefaultTimeoutMs);

  // Asynchronous requests: false when the connection is closed.
  bool SendCommand(int32_t receiverNumber, std::u16string_view commandText);
  bool SetLogFlags(int32_t flags);
  bool ResetLog();

  // Any message, and any blocking request (the response's frame, or null).
  bool Send(const MessageIntf& message);
  MessageBufferPtr Request(CBlockingRequestMessageBase& request, int timeoutMs = kDefaultTimeoutMs);

 private:
  class CObject;
  std::shared_ptr<CObject> m_object;
  std::unique_ptr<CMessagingClient> m_client;
};
