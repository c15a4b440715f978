#pragma once
#include <functional>
#include <mutex>
#include <string>

#include "client/http/Client.h"
#include "devices/ReceiverSet.h"
#include "text/StringBuffer.h"

// What the service link asks of its owner. Called on the client library's threads, never
// under the link's lock; none of them may wait for a receiver.
struct ServiceLinkHooks {
  std::function<void()> enumerateReceivers;   // connected, or told of a mode switch
  std::function<void()> retryPendingDevices;  // every third tick while connected
  std::function<void()> tick;                 // every tick
};

// The manager's own connection to the software service (the "hardware service" endpoint): it
// says hello when connected and every kHelloTicks ticks after, subscribes when the service
// first hears of it, reports receivers that had to be dropped, and says once, as a milestone,
// that the service became reachable or stopped being so.
//
// One lock guards the client, the service's address, what the log last said of it and whether
// the link was stopped. It is a leaf: nothing but the log is called under it.
class CServiceLink {
 public:
  static constexpr int kHelloTicks = 15;

  explicit CServiceLink(ServiceLinkHooks hooks);
  CServiceLink(const CServiceLink&) = delete;
  CServiceLink& operator=(const CServiceLink&) = delete;

  // Makes the client the link's: its state and tick signals drive the link. A null client
  // leaves the link without one.
  void Attach(const Voxlet::ClientPtr& client);
  // Logs the address and connects the attached client to it.
  void Connect(const Voxlet::StringBuffer& uri);
  // From now on the client's signals do nothing.
  void Stop();
  // Stops, disconnects the client and lets go of it: no client signal reaches the link
  // afterwards.
  void Detach();
  Voxlet::ClientPtr Client() const;
  // Whether the software service answered since the last connection was lost.
  bool Connected() const;

  // The client's signals (library threads).
  void OnClientStateChanged(Voxlet::Client& client, int state);
  void OnClientTick(Voxlet::Client& client);

  // Tells the service that the receiver with this endpoint id was dropped.
  void SendReceiverRemoved(const Voxlet::StringBuffer& endpointId, AfterReset after);

 private:
  enum class Hello { kAnnounce, kPoll };  // POST with the description, or GET
  enum class Reach { kUnknown, kConnected, kUnreachable };

  bool Stopped() const;
  void ReportReachable();
  void ReportUnreachable(const std::string& reason);
  void SendHello(Hello hello);
  void OnHelloReply(const Voxlet::MessagePtr& reply);
  void SendPost(const Voxlet::StringBuffer& path);

  ServiceLinkHooks m_hooks;
  mutable std::mutex m_lock;
  Voxlet::ClientPtr m_client;
  std::string m_serviceUri;
  Reach m_reach = Reach::kUnknown;
  bool m_stopped = false;
};
