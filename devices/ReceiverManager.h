#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "client/StringBuffer.h"
#include "client/http/Client.h"
#include "devices/ManagedReceiver.h"
#include "devices/OsEvents.h"
#include "devices/ReceiverWork.h"
#include "sdk/server/SdkServerEvents.h"
#include "platform/WaitEvent.h"
#include "protocol/ReceiverEvents.h"
#include "sdk/server/SdkServerFactory.h"
#include "log/ReceiverServiceSettings.h"
#include "service/ServiceEvents.h"

// What the manager is built from; tests replace the receivers, the client and the OS events.
struct ManagerEnvironment {
  ReceiverFactory makeReceiver = MakeReceiver;
  // The manager's own connection to the software service.
  std::function<Voxlet::ClientPtr()> makeClient = [] { return std::make_shared<Voxlet::Client>(true); };
  // The SDK server, started by Run; null for none.
  std::function<std::shared_ptr<ISDKServer>(ISDKServerEvents*)> makeSdkServer = StartSdkServer;
  // Watch udev and logind while Run runs.
  bool watchOsEvents = true;
};

// Owns every connected receiver for the life of the service: opens the receivers found at
// start, on device arrival, on resume and when the software service asks; retries devices
// whose port is not there yet; closes receivers on removal, before sleep and when they ask to
// be reset; keeps its own connection to the software service; answers the SDK server; switches
// the e-mailed log.
class CReceiverManager : public IServiceManager, public ISDKServerEvents, public IReceiverEvents {
 public:
  static constexpr int kHelloTicks = 15;
  static constexpr int kRetryLimit = 30;

  explicit CReceiverManager(CReceiverServiceSettings* settings, ManagerEnvironment environment = {});
  ~CReceiverManager() override;

  // IServiceEvents
  void Run() override;
  void Stop() override;
  void OnDeviceEvent(uint32_t eventType, const void* eventData) override;
  void OnPowerEvent(uint32_t eventType, const void* eventData) override;

  // LogChangedIntf
  void OnLogChanged() override;

  // ISDKServerEvents
  int GetReceiverCount() override;
  int GetReceiverStatus(int count, ReceiverStatusW* records) override;
  void OnSendCommand(int receiverNumber, const std::string& command) override;
  void GetLogFileName(std::string& path) override;
  void SetLogFlags(uint16_t flags) override;
  uint16_t GetLogFlags() override;
  void FlushLog() override;

  // IReceiverEvents
  void OnReceiverStatusChanged(uint32_t receiverNumber, uint32_t state) override;
  void QueueReceiverReset(const Voxlet::StringBuffer& portName) override;

  // 0 when a receiver is open on the port afterwards, else the open step's code.
  uint32_t ReceiverConnect(const Voxlet::StringBuffer& portName);
  void RemoveReceiver(const Voxlet::StringBuffer& portName);
  void CloseAllReceivers();
  void EnumerateReceivers();
  // True when a receiver was opened for the device.
  bool DeviceArrival(const std::string& devicePath, bool retryAllowed);
  void DeviceRemoval(const std::string& devicePath);
  void RetryPendingDevices();

  // The client's signals (library threads). The receivers they open and close are opened and
  // closed on the manager's work thread, so that no library thread waits for a receiver.
  void OnClientStateChanged(Voxlet::Client& client, int state);
  void OnClientTick(Voxlet::Client& client);
  // Returns once the receiver work asked for so far is done.
  void WaitForReceiverWork();

  // Reads "EmailLogOn" and switches the e-mail log and the log mask when it changed.
  void CheckEmailLogSetting();

  // Makes the client the manager's own connection: its state and tick signals drive the manager.
  void AttachClient(const Voxlet::ClientPtr& client);

  CReceiverServiceSettings* Settings() const { return m_settings; }
  Voxlet::ClientPtr Client() const;
  std::vector<Voxlet::StringBuffer> ReceiverPorts();
  std::vector<Voxlet::StringBuffer> ResetQueue();
  size_t PendingCount();

  // "\\?\USB#VID_16D3&PID_3000#serial#{...}" -> ids (0 when a part is missing) and serial.
  static void ParseDevicePath(const std::string& path, uint16_t& vendorId, uint16_t& productId,
                              Voxlet::StringBuffer& serial);

 private:
  struct Pending {
    uint32_t attempts = 0;
    std::string devicePath;
  };

  // Says once, as a milestone, that the software service became reachable or stopped being
  // so; nothing while it stays as it was, however often the client retries.
  void ReportServiceReach(bool reachable, const std::string& reason);
  void SetEmailLog(bool on, bool atStartup);
  void SendHello(int method);
  void OnHelloReply(const Voxlet::MessagePtr& reply);
  void SendRequest(int method, const Voxlet::StringBuffer& path);
  void ProcessResetQueue();
  void DoReceiverWork(unsigned kinds);
  void RememberDevicePort(const Voxlet::StringBuffer& serial, const Voxlet::StringBuffer& port);
  ManagedReceiverPtr FindByPort(const Voxlet::StringBuffer& portName);
  void BroadcastStatus();
  void StopSdkServer();

  CReceiverServiceSettings* m_settings;
  ManagerEnvironment m_env;
  ReceiverService::CWaitEvent m_stopEvent;
  std::atomic<bool> m_stopping{false};

  // Opening and closing receivers, one operation at a time (device, power, tick, SDK and
  // service threads all ask for them). Taken before m_listLock, never while holding it.
  std::recursive_mutex m_connectLock;
  // The receiver list and the reset queue. Held only for short reads and writes: receivers are
  // never opened or closed under it, since their threads report back through it.
  std::mutex m_listLock;
  std::vector<ManagedReceiverPtr> m_receivers;
  std::vector<Voxlet::StringBuffer> m_resetQueue;
  // The ports of the open USB receivers by serial number: when a receiver is unplugged, sysfs
  // no longer has the device to say which port was its own.
  std::map<Voxlet::StringBuffer, Voxlet::StringBuffer> m_devicePorts;
  // Devices whose port could not be opened yet; held for a whole retry pass.
  std::mutex m_pendingLock;
  std::vector<Pending> m_pending;

  mutable std::mutex m_clientLock;
  Voxlet::ClientPtr m_client;
  // What the log last said of the software service (guarded by m_reachLock).
  enum class ServiceReach { kUnknown, kConnected, kUnreachable };
  std::mutex m_reachLock;
  ServiceReach m_reach = ServiceReach::kUnknown;
  std::string m_serviceUri;
  // The SDK server. Its messages go out under the lock, so that the last reference is only
  // ever dropped by StopSdkServer, never on one of the server's own threads.
  std::mutex m_sdkLock;
  std::shared_ptr<ISDKServer> m_sdkServer;

  std::mutex m_mailLock;  // the e-mail state: set by Run and the tick, read on the log's writer thread
  bool m_emailLogOn = false;
  std::string m_nextMailTime;

  // Last, so that it is gone before anything it works on.
  std::unique_ptr<CReceiverWork> m_work;
};
