#pragma once
#include <cstdint>
#include <mutex>
#include <vector>

#include "bridge/ClickerLines.h"
#include "bridge/ClickerRegistry.h"
#include "bridge/SessionHost.h"
#include "text/StringBuffer.h"

// A clicker known by its endpoint id, as the class switch and the review results need it.
struct KnownClicker {
  uint16_t address = 0;
  uint32_t macHigh = 0;
  uint32_t macLow = 0;
  Voxlet::StringBuffer studentId;
};

// What the clicker endpoints need beyond the connection: the class's login, and whom to tell
// that the software service knows a clicker again.
class IClickerEndpointsHost : public ISessionHost {
 public:
  struct ClassLogin {
    bool anonymous = false;  // the class takes clickers without a student's login
    bool switching = false;  // classes are being switched
  };
  virtual ClassLogin CurrentClassLogin() const = 0;
  // The software service answered the clicker's hello: it knows the clicker (again).
  virtual void ClickerAnnounced(const Voxlet::StringBuffer& endpointId) = 0;
};

// What the class lifecycle, the notifications and the goodbye do with a receiver's clickers.
class IClassClickers {
 public:
  virtual ~IClassClickers() = default;
  // The short addresses of the clickers on record.
  virtual std::vector<uint16_t> ShortAddresses() const = 0;
  virtual std::vector<KnownClicker> KnownClickers() const = 0;
  // Forgets every clicker (the class ended or was switched).
  virtual void Clear() = 0;
  // A clicker handled as if it had just joined without login (the switch into an anonymous class).
  virtual void RejoinWithoutLogin(uint16_t address, uint32_t macHigh, uint32_t macLow) = 0;
  // disconnect/student and class/cancelraisedhand: the clicker's endpoint id.
  virtual void DisconnectClickerInSoftware(const Voxlet::StringBuffer& endpointId) = 0;
  virtual void CancelRaisedHandInSoftware(const Voxlet::StringBuffer& endpointId) = 0;
};

// The clickers of one receiver as endpoints of the software service: announced on their first
// status report, identified (whois) and signed in when they join, their batteries, raised hands,
// log-offs and departures relayed, and the software side's disconnect and raised-hand
// cancellation. Each clicker's requests go in its line (ClickerLines), behind its answers.
//
// Owns the clicker registry (which has its own leaf lock), the cooldown of the software side's
// clicker actions and the clickers a closing receiver keeps on record; its lock guards only
// those two and is a leaf. Its host, the registry and the lines are called without it.
class CClickerEndpoints : public IClassClickers {
 public:
  CClickerEndpoints(IClickerEndpointsHost& host, ClickerLines& lines);
  CClickerEndpoints(const CClickerEndpoints&) = delete;
  CClickerEndpoints& operator=(const CClickerEndpoints&) = delete;

  ClickerRegistry& Registry() { return m_clickers; }
  const ClickerRegistry& Registry() const { return m_clickers; }

  // The receiver's packets (once past the session's call gate).
  void OnClickerStatus(uint16_t address, uint8_t battery, uint8_t linkQuality);
  void OnJoinLoginRequired(uint16_t address, uint32_t macHigh, uint32_t macLow, const Voxlet::StringBuffer& studentId,
                           bool autoLogin);
  void OnJoinNoLoginRequired(uint16_t address, uint32_t macHigh, uint32_t macLow);
  void OnHandUp(uint16_t address, bool handUp);
  void OnLoginGrantConfirm(uint16_t address, bool confirmed);
  // Says the log-off; true when the clicker is known (it then leaves and is announced again).
  bool OnLoginOff(uint16_t address);
  void OnDeviceDisassociated(uint16_t address);

  // The status report; battery and link 0 and 0 only make sure the clicker has a record.
  void ReportClickerStatus(uint16_t address, uint8_t battery, uint8_t linkQuality);
  void JoinClicker(uint16_t address, uint32_t macHigh, uint32_t macLow, const Voxlet::StringBuffer& studentNumber);
  void RejoinWithoutLogin(uint16_t address, uint32_t macHigh, uint32_t macLow) override;
  // Says hello again for every clicker on record (after the receiver's endpoint was created anew).
  void AnnounceKnownClickers();

  void DisconnectClickerInSoftware(const Voxlet::StringBuffer& endpointId) override;
  void CancelRaisedHandInSoftware(const Voxlet::StringBuffer& endpointId) override;
  // Ticks left before another software-side clicker action is taken; counted down each tick.
  int SoftwareActionCooldown() const;
  void SetSoftwareActionCooldown(int ticks);
  void CountDownCooldown();

  std::vector<uint16_t> ShortAddresses() const override;
  std::vector<KnownClicker> KnownClickers() const override;
  void Clear() override;
  // The receiver closed: the clickers its goodbye let go, kept on record while their last
  // packets came in, go.
  void RemoveFarewellClickers();

 private:
  using Handler = void (CClickerEndpoints::*)(const Voxlet::MessagePtr&);
  Voxlet::MessagePtr NewClickerRequest(int method, const Voxlet::StringBuffer& path, Handler completion);
  void OnWhoisResponse(const Voxlet::MessagePtr& message);
  void OnSigninResponse(const Voxlet::MessagePtr& message);
  void LogMessageIfEndpointCreated(const Voxlet::MessagePtr& message);
  void LogIfFailed(const Voxlet::MessagePtr& message) { m_host.LogIfFailed(message); }
  void SendSignin(const ClickerEndpointInfo& clicker);
  void SendRaisedHand(const ClickerEndpointInfo& clicker, bool handUp);
  void SendClickerRequest(int method, const Voxlet::StringBuffer& path, const ClickerEndpointInfo& clicker,
                          Handler completion, bool studentHeader);
  // Sends a request of the clicker its endpoint header names in that clicker's line: after the
  // clicker's requests and answers before it.
  void SendClickerMessage(const Voxlet::MessagePtr& message);
  // The shared cooldown of the software side's clicker actions: the ticks still to wait (the
  // action is dropped), or 0, when the action may go ahead and the cooldown starts again.
  int TakeSoftwareActionTurn();

  IClickerEndpointsHost& m_host;
  ClickerLines& m_lines;
  ClickerRegistry m_clickers;

  mutable std::mutex m_lock;
  int m_softwareActionCooldown = 0;
  std::vector<uint16_t> m_farewellClickers;
};
