#pragma once
#include "sdk/server/SdkServerEvents.h"
#include "sdk/server/OVSDKServer.h"

// The service's SDK server: logs each client request and hands it to the receiver manager
// (the events, which may be null: then only the log lines remain).
class COVSDKServerImpl : public COVSDKServer {
 public:
  explicit COVSDKServerImpl(ISDKServerEvents* events) : m_events(events) {}
  ~COVSDKServerImpl() override { Stop(); }

  void OnClientConnected(int clientNumber, int32_t registrationId) override;
  void OnClientDisconnected(int clientNumber) override;
  void OnSendCommand(int32_t receiverNumber, const std::u16string& text) override;
  std::u16string OnLogFileName() override;
  void OnSetLoggingFlag(int32_t flags) override;
  int32_t GetLoggingFlag() override;
  void FlushLog() override;
  void OnClientDropped(int clientNumber, const std::string& reason) override;
  void OnClientRefused(int clientNumber) override;

 private:
  ISDKServerEvents* const m_events;
};
