#pragma once
#include <atomic>
#include <functional>
#include <memory>
#include <vector>

#include "client/http/Client.h"
#include "devices/DeviceHotplug.h"
#include "devices/EmailLog.h"
#include "devices/ManagedReceiver.h"
#include "devices/ReceiverSet.h"
#include "devices/ReceiverWork.h"
#include "devices/ResetQueue.h"
#include "devices/SdkBackEnd.h"
#include "devices/ServiceLink.h"
#include "log/ReceiverServiceSettings.h"
#include "platform/WaitEvent.h"
#include "protocol/ReceiverEvents.h"
#include "sdk/server/SdkServerEvents.h"
#include "sdk/server/SdkServerFactory.h"
#include "service/ServiceEvents.h"
#include "service/ServiceHost.h"
#include "text/StringBuffer.h"

// What the manager is built from; tests replace the receivers, the client and the OS events.
struct ManagerEnvironment {
  ReceiverFactory makeReceiver = MakeReceiver;
  // The manager's own connection to the software service, firing its tick once a second.
  std::function<Voxlet::ClientPtr()> makeClient = [] {
    constexpr bool kPeriodicSignal = true;
    return std::make_shared<Voxlet::Client>(kPeriodicSignal);
  };
  // The SDK server, started by Run; null for none.
  std::function<std::shared_ptr<ISDKServer>(ISDKServerEvents*)> makeSdkServer = StartSdkServer;
  // Watch udev and logind while Run runs.
  bool watchOsEvents = true;
  // Takes, when Run starts, what only one running service may use; an error text when another
  // process has it, and Run then returns at once, saying so. Null: nothing to take.
  std::function<std::string()> claimState;
  // Where the manager says how the service is doing, once a second (the service host's status
  // line), and what its receivers' answer spool adds to it.
  std::function<void(const ServiceStatus&)> reportStatus = PublishServiceStatus;
  std::function<void(ServiceStatus&)> reportSpool;
};

// Owns every connected receiver for the life of the service. The host and the SDK server talk
// to it; it hands each call to the part that plays the role:
//
//   CReceiverSet    opens and closes the receivers (with CReceiverList, the open ones, and
//                   CResetQueue, the ports that asked to be reset)
//   CDeviceHotplug  devices plugged in and out, and the ones retried until their port opens
//   CServiceLink    its own connection to the software service, and the "reachable" milestone
//   CEmailLog       the e-mailed log switch
//   CSdkBackEnd     what the SDK server is answered and told
//
// Each has one lock. Where two meet, they are taken in this order, never the other way:
//   CDeviceHotplug -> CReceiverSet -> { CReceiverList, CResetQueue, CServiceLink, CSdkBackEnd }
// The four on the right are leaves: none is held while another lock of the manager is asked
// for. CEmailLog and the work thread's lock are leaves as well. Receivers are opened under
// CReceiverSet's lock and closed by it outside the lock (a USB tty's close can wait for its
// device); their threads call back into the list, the reset queue and the SDK back end, never
// into the set.
class CReceiverManager : public IServiceManager, public ISDKServerEvents, public IReceiverEvents {
 public:
  static constexpr int kHelloTicks = CServiceLink::kHelloTicks;
  static constexpr uint32_t kRetryLimit = CDeviceHotplug::kRetryLimit;

  explicit CReceiverManager(CReceiverServiceSettings* settings, ManagerEnvironment environment = {});
  ~CReceiverManager() override;

  // IServiceEvents
  void Run() override;
  void Stop() override;
  void OnDeviceEvent(const DeviceEvent& event) override;
  void OnPowerEvent(PowerEvent event) override;

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
  bool DeviceArrival(const DeviceEvent& device, ArrivalRetry retry);
  void DeviceRemoval(const DeviceEvent& device);
  void RetryPendingDevices();

  // The client's signals (library threads). The receivers they open and close are opened and
  // closed on the manager's work thread, so that no library thread waits for a receiver.
  void OnClientStateChanged(Voxlet::Client& client, int state);
  void OnClientTick(Voxlet::Client& client);
  // Returns once the receiver work asked for so far is done.
  void WaitForReceiverWork();

  // Reads "EmailLogOn" and switches the e-mail log and the log mask when it changed.
  void CheckEmailLogSetting();
  // How the service is doing now: receivers open, clickers signed in, the connection, the spool.
  ServiceStatus CurrentStatus() const;

  // Makes the client the manager's own connection: its state and tick signals drive the manager.
  void AttachClient(const Voxlet::ClientPtr& client);

  Voxlet::ClientPtr Client() const;
  std::vector<Voxlet::StringBuffer> ReceiverPorts() const;
  std::vector<Voxlet::StringBuffer> ResetQueue() const;
  size_t PendingCount() const;

 private:
  void ProcessResetQueue();
  void DoReceiverWork(const ReceiverWorkSet& work);

  ManagerEnvironment m_env;
  ReceiverService::CWaitEvent m_stopEvent;
  // Set by Stop and the destructor: the work thread starts nothing new.
  std::atomic<bool> m_stopping{false};

  CResetQueue m_resetQueue;
  // The destructor closes every receiver before the members go, so none is left to report to
  // the SDK back end, which goes first.
  CReceiverSet m_receivers;
  CSdkBackEnd m_sdk;
  CDeviceHotplug m_hotplug;
  CServiceLink m_link;
  CEmailLog m_emailLog;
  // Last, so that it is gone before anything it works on.
  std::unique_ptr<CReceiverWork> m_work;
};
