#include "devices/ReceiverList.h"

#include <algorithm>

#include "devices/ReceiverEnumerator.h"

void CReceiverList::Add(const ManagedReceiverPtr& receiver) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_entries.push_back({receiver, {}});
}

ManagedReceiverPtr CReceiverList::Take(const Voxlet::StringBuffer& portName) {
  std::lock_guard<std::mutex> guard(m_lock);
  auto it = std::find_if(m_entries.begin(), m_entries.end(),
                         [&](const Entry& e) { return e.receiver->PortName() == portName; });
  if (it == m_entries.end()) return nullptr;
  ManagedReceiverPtr receiver = std::move(it->receiver);
  m_entries.erase(it);
  return receiver;
}

std::vector<ManagedReceiverPtr> CReceiverList::TakeAll() {
  std::vector<Entry> entries;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    entries.swap(m_entries);
  }
  std::vector<ManagedReceiverPtr> receivers;
  for (Entry& e : entries) receivers.push_back(std::move(e.receiver));
  return receivers;
}

ManagedReceiverPtr CReceiverList::FindByPort(const Voxlet::StringBuffer& portName) const {
  std::lock_guard<std::mutex> guard(m_lock);
  for (const Entry& e : m_entries)
    if (e.receiver->PortName() == portName) return e.receiver;
  return nullptr;
}

ManagedReceiverPtr CReceiverList::FindByNumber(uint32_t receiverNumber) const {
  std::lock_guard<std::mutex> guard(m_lock);
  for (const Entry& e : m_entries)
    if (e.receiver->Number() == receiverNumber) return e.receiver;
  return nullptr;
}

void CReceiverList::SetDevice(const Voxlet::StringBuffer& portName, const std::string& devicePath) {
  std::lock_guard<std::mutex> guard(m_lock);
  for (Entry& e : m_entries)
    if (e.receiver->PortName() == portName) e.devicePath = devicePath;
}

std::string CReceiverList::DeviceOf(const Voxlet::StringBuffer& portName) const {
  std::lock_guard<std::mutex> guard(m_lock);
  for (const Entry& e : m_entries)
    if (e.receiver->PortName() == portName) return e.devicePath;
  return "";
}

std::optional<Voxlet::StringBuffer> CReceiverList::PortOfDevice(const std::string& devicePath) const {
  std::lock_guard<std::mutex> guard(m_lock);
  for (const Entry& e : m_entries)
    if (CReceiverEnumerator::SameDevice(e.devicePath, devicePath)) return e.receiver->PortName();
  return std::nullopt;
}

std::vector<ManagedReceiverPtr> CReceiverList::Receivers() const {
  std::lock_guard<std::mutex> guard(m_lock);
  std::vector<ManagedReceiverPtr> receivers;
  for (const Entry& e : m_entries) receivers.push_back(e.receiver);
  return receivers;
}

size_t CReceiverList::Count() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_entries.size();
}

std::vector<Voxlet::StringBuffer> CReceiverList::Ports() const {
  std::lock_guard<std::mutex> guard(m_lock);
  std::vector<Voxlet::StringBuffer> ports;
  for (const Entry& e : m_entries) ports.push_back(e.receiver->PortName());
  return ports;
}

std::vector<ReceiverStatusW> CReceiverList::Statuses(size_t maxCount) const {
  std::lock_guard<std::mutex> guard(m_lock);
  std::vector<ReceiverStatusW> records;
  for (const Entry& e : m_entries) {
    if (records.size() >= maxCount) break;
    ReceiverStatusW& record = records.emplace_back();
    record.receiverNumber = e.receiver->Number();
    record.receiverState = e.receiver->State();
    const Voxlet::StringBuffer name = e.receiver->PortName();
    // The last of the 32 units stays 0.
    std::copy_n(name.begin(), std::min<size_t>(name.size(), std::size(record.receiverName) - 1), record.receiverName);
  }
  return records;
}
