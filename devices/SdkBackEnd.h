#pragma once
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "devices/ReceiverList.h"
#include "log/ReceiverServiceSettings.h"
#include "sdk/server/SdkServerEvents.h"

// What the SDK server is answered and told: the open receivers' count, statuses and command
// texts, the log's name, flags and reset; the status of every receiver when one changes, and
// each batch the logger writes.
//
// Its one lock guards the server. Messages go out under it, so that the last reference to the
// server is only ever dropped by Stop, never on one of the server's own threads; it is taken
// after the receiver set's lock (a receiver that opened is broadcast under that) and after the
// list's lock was let go, and no lock of the manager is taken under it.
class CSdkBackEnd {
 public:
  CSdkBackEnd(const CReceiverList& receivers, CReceiverServiceSettings* settings, std::function<void()> onLogReset);

  // Keeps the server (null for none); its port, 0 without one.
  int Start(std::shared_ptr<ISDKServer> server);
  // Lets go of the server and waits for its calls in progress, outside the lock.
  void Stop();

  // The status of every open receiver to the SDK clients; nothing with no receivers.
  void BroadcastStatus();
  void SendLogChanged();

  // The ISDKServerEvents operations.
  int GetReceiverCount() const;
  int GetReceiverStatus(int count, ReceiverStatusW* records) const;
  void OnSendCommand(int receiverNumber, const std::string& command);
  void GetLogFileName(std::string& path) const;
  void SetLogFlags(uint16_t flags);
  uint16_t GetLogFlags() const;
  void FlushLog();

 private:
  const CReceiverList& m_receivers;
  CReceiverServiceSettings* m_settings;
  std::function<void()> m_onLogReset;
  std::mutex m_lock;
  std::shared_ptr<ISDKServer> m_server;
};
