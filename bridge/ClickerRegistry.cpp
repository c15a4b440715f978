#include "bridge/ClickerRegistry.h"

#include "client/Format.h"

Voxlet::StringBuffer ClickerRegistry::EndpointIdOf(const Voxlet::StringBuffer& receiverEndpointId, uint16_t address) {
  // The address goes in as text: a number argument would be formatted for a locale.
  return Voxlet::MessageFormat(u"clickerhardware.{1}.{0}",
                               {Voxlet::UTF8to16(std::to_string(address)), receiverEndpointId});
}

std::optional<ClickerEndpointInfo> ClickerRegistry::FindByAddress(uint16_t address) const {
  std::lock_guard<std::mutex> guard(m_lock);
  const auto id = m_byAddress.find(address);
  if (id == m_byAddress.end()) return std::nullopt;
  const auto record = m_byEndpoint.find(id->second);
  if (record == m_byEndpoint.end()) return std::nullopt;
  return record->second;
}

std::optional<ClickerEndpointInfo> ClickerRegistry::FindByEndpoint(const Voxlet::StringBuffer& endpointId) const {
  std::lock_guard<std::mutex> guard(m_lock);
  const auto record = m_byEndpoint.find(endpointId);
  if (record == m_byEndpoint.end()) return std::nullopt;
  return record->second;
}

ClickerRegistry::StatusOutcome ClickerRegistry::ReportStatus(uint16_t address, int32_t battery, int32_t link,
                                                             const Voxlet::StringBuffer& receiverEndpointId) {
  std::lock_guard<std::mutex> guard(m_lock);
  StatusOutcome outcome;
  ClickerEndpointInfo* record = nullptr;
  const auto id = m_byAddress.find(address);
  if (id != m_byAddress.end()) {
    const auto found = m_byEndpoint.find(id->second);
    if (found != m_byEndpoint.end()) record = &found->second;
  }
  int32_t previousLevel = -1;
  if (!record) {
    ClickerEndpointInfo created;
    created.endpointId = EndpointIdOf(receiverEndpointId, address);
    created.shortAddress = address;
    m_byAddress[address] = created.endpointId;
    record = &(m_byEndpoint[created.endpointId] = created);
    outcome.created = true;
  } else {
    if (battery == 0 && link == 0) {
      outcome.clicker = *record;
      return outcome;  // a heartbeat for a clicker that is known: nothing to report
    }
    previousLevel = record->batteryLevel;
    outcome.relay = true;
  }
  record->batteryLevel = battery;
  record->linkQuality = link;
  if (!record->studentId.empty()) {
    const bool pending = m_lowBatteryPending.erase(address) > 0;
    const bool changed = previousLevel != battery;
    outcome.lowBattery = (changed && battery == 1) || pending;
    outcome.goodBattery = changed && battery == 0;
  } else if (battery == 1) {
    m_lowBatteryPending.insert(address);
  }
  outcome.clicker = *record;
  return outcome;
}

bool ClickerRegistry::SetMac(uint16_t address, uint32_t macHigh, uint32_t macLow, const Voxlet::StringBuffer& macText) {
  std::lock_guard<std::mutex> guard(m_lock);
  const auto id = m_byAddress.find(address);
  if (id == m_byAddress.end()) return false;
  const auto record = m_byEndpoint.find(id->second);
  if (record == m_byEndpoint.end()) return false;
  record->second.macHigh = macHigh;
  record->second.macLow = macLow;
  record->second.macText = macText;
  return true;
}

std::optional<ClickerEndpointInfo> ClickerRegistry::SetStudent(const Voxlet::StringBuffer& endpointId,
                                                               const Voxlet::StringBuffer& studentId) {
  std::lock_guard<std::mutex> guard(m_lock);
  const auto record = m_byEndpoint.find(endpointId);
  if (record == m_byEndpoint.end()) return std::nullopt;
  record->second.studentId = studentId;
  return record->second;
}

std::optional<ClickerEndpointInfo> ClickerRegistry::Remove(uint16_t address) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_lowBatteryPending.erase(address);
  const auto id = m_byAddress.find(address);
  if (id == m_byAddress.end()) return std::nullopt;
  std::optional<ClickerEndpointInfo> removed;
  const auto record = m_byEndpoint.find(id->second);
  if (record != m_byEndpoint.end()) {
    removed = std::move(record->second);
    m_byEndpoint.erase(record);
  }
  m_byAddress.erase(id);
  return removed;
}

void ClickerRegistry::Clear() {
  std::lock_guard<std::mutex> guard(m_lock);
  m_byEndpoint.clear();
  m_byAddress.clear();
  m_lowBatteryPending.clear();
}

std::vector<ClickerEndpointInfo> ClickerRegistry::All() const {
  std::lock_guard<std::mutex> guard(m_lock);
  std::vector<ClickerEndpointInfo> all;
  all.reserve(m_byEndpoint.size());
  for (const auto& [id, record] : m_byEndpoint) all.push_back(record);
  return all;
}

std::vector<uint16_t> ClickerRegistry::ShortAddresses() const {
  std::lock_guard<std::mutex> guard(m_lock);
  std::vector<uint16_t> addresses;
  addresses.reserve(m_byAddress.size());
  for (const auto& [address, id] : m_byAddress) addresses.push_back(address);
  return addresses;
}

size_t ClickerRegistry::Size() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_byEndpoint.size();
}
