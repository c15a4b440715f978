#pragma once
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "text/StringBuffer.h"

// What the session knows of one clicker on the receiver's network.
struct ClickerEndpointInfo {
  Voxlet::StringBuffer endpointId;  // the clicker's endpoint in the software service
  Voxlet::StringBuffer studentId;   // the student signed in on it (from whois)
  uint16_t shortAddress = 0xFFFF;
  int32_t batteryLevel = -1;  // 0 good, 1 low
  int32_t linkQuality = -1;
  uint32_t macHigh = 0;
  uint32_t macLow = 0;
  Voxlet::StringBuffer macText;  // "00-11-22-33-44-55-66-77"
};

// The clickers of one receiver, by endpoint id and by short address, and the short addresses
// whose low battery came before their student was known. One lock guards all of it; the packet
// dispatcher and the client library's threads both use it. Records are handed out as copies, so
// no caller holds on to a record another thread changes.
class ClickerRegistry {
 public:
  // What a status report leads to, decided under the lock so that a whois reply that sets the
  // student at the same time cannot make a low battery go unreported or reported twice.
  struct StatusOutcome {
    ClickerEndpointInfo clicker;  // the record after the report
    bool created = false;         // a new record: the hello of a new clicker is due
    bool relay = false;           // a known clicker with something to report: the status update
    bool lowBattery = false;      // "lowBattery" is due
    bool goodBattery = false;     // "goodBattery" is due
  };

  // The endpoint id of a clicker: "clickerhardware.<receiver endpoint id>.<short address>".
  static Voxlet::StringBuffer EndpointIdOf(const Voxlet::StringBuffer& receiverEndpointId, uint16_t address);

  std::optional<ClickerEndpointInfo> FindByAddress(uint16_t address) const;
  std::optional<ClickerEndpointInfo> FindByEndpoint(const Voxlet::StringBuffer& endpointId) const;

  // A status report of the clicker at address (battery and link 0 and 0 for a heartbeat that
  // only makes sure the record exists). Creates the record when there is none.
  StatusOutcome ReportStatus(uint16_t address, int32_t battery, int32_t link,
                             const Voxlet::StringBuffer& receiverEndpointId);

  // Sets the MAC of a known clicker; false when it is not known.
  bool SetMac(uint16_t address, uint32_t macHigh, uint32_t macLow, const Voxlet::StringBuffer& macText);
  // Sets the student of a known clicker; the record afterwards, or nothing.
  std::optional<ClickerEndpointInfo> SetStudent(const Voxlet::StringBuffer& endpointId,
                                                const Voxlet::StringBuffer& studentId);

  // Removes the clicker at address from both maps (and its pending low battery); the record it
  // had, or nothing.
  std::optional<ClickerEndpointInfo> Remove(uint16_t address);
  void Clear();

  std::vector<ClickerEndpointInfo> All() const;
  std::vector<uint16_t> ShortAddresses() const;
  size_t Size() const;

 private:
  mutable std::mutex m_lock;
  std::map<Voxlet::StringBuffer, ClickerEndpointInfo> m_byEndpoint;
  std::map<uint16_t, Voxlet::StringBuffer> m_byAddress;
  std::set<uint16_t> m_lowBatteryPending;
};
