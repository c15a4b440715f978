#include "devices/ReceiverSet.h"

#include "client/Strings.h"
#include "devices/ReceiverEnumerator.h"
#include "log/Logger.h"

CReceiverSet::CReceiverSet(ReceiverFactory makeReceiver, IReceiverEvents* events, std::function<void()> onOpened)
    : m_makeReceiver(std::move(makeReceiver)), m_events(events), m_onOpened(std::move(onOpened)) {}

CReceiverSet::~CReceiverSet() { CloseAll(); }

uint32_t CReceiverSet::Connect(const Voxlet::StringBuffer& portName) {
  Held held(m_lock);
  return ConnectHeld(held, portName);
}

uint32_t CReceiverSet::ConnectDevice(const Voxlet::StringBuffer& portName, const Voxlet::StringBuffer& serial) {
  Held held(m_lock);
  const uint32_t result = ConnectHeld(held, portName);
  if (result == 0 && !serial.empty()) m_list.SetDeviceSerial(portName, serial);
  return result;
}

uint32_t CReceiverSet::ConnectHeld(const Held&, const Voxlet::StringBuffer& portName) {
  if (m_list.FindByPort(portName)) {
    OV_LOG(kLogMilestone, "Receiver_Connect: Find receiver by port returning 0. Meaning it is already connected \n");
    return 0;
  }
  if (m_shutDown) return 1;  // the service is stopping: nothing new is opened
  ManagedReceiverPtr receiver = m_makeReceiver(m_events);
  const uint32_t result = receiver->Open(portName);
  if (result != 0) {
    receiver->Close();  // frees whatever the failed open left behind
    OV_LOG(kLogMilestone,
           "Receiver_Connect: Connect to receiver return none-zeron. Meaning it is failed with code %d \n", result);
    return result;
  }
  m_list.Add(receiver);
  OV_LOG(kLogMilestone, "Receiver_Connect: Connect to receiver return 0. Meaning it is connected \n");
  if (m_onOpened) m_onOpened();
  return 0;
}

void CReceiverSet::Remove(const Voxlet::StringBuffer& portName) {
  Held held(m_lock);
  RemoveHeld(held, portName);
}

void CReceiverSet::RemoveHeld(const Held&, const Voxlet::StringBuffer& portName) {
  if (ManagedReceiverPtr receiver = m_list.Take(portName)) receiver->Close();
}

void CReceiverSet::CloseAll() {
  Held held(m_lock);
  CloseAllHeld(held);
}

void CReceiverSet::CloseAllHeld(const Held&) {
  for (const ManagedReceiverPtr& receiver : m_list.TakeAll()) receiver->Close();
}

void CReceiverSet::Shutdown() {
  Held held(m_lock);
  m_shutDown = true;
  CloseAllHeld(held);
}

void CReceiverSet::Enumerate() {
  Held held(m_lock);
  CReceiverEnumerator enumerator;
  enumerator.Enumerate([&](const SBConnectionInfo& info) {
    OV_LOG(kLogDiagnostic, "Enumerated device path: %s", Voxlet::UTF16to8(info.portName).c_str());
    if (ConnectHeld(held, info.portName) != 0) return false;
    if (!info.serialNumber.empty()) m_list.SetDeviceSerial(info.portName, info.serialNumber);
    return true;
  });
}

void CReceiverSet::ProcessResets(CResetQueue& queue, AfterReset after,
                                 const std::function<void(const Voxlet::StringBuffer&)>& reportRemoved) {
  Held held(m_lock);
  for (const Voxlet::StringBuffer& port : queue.Ports()) {
    if (ManagedReceiverPtr receiver = m_list.FindByPort(port)) {
      reportRemoved(receiver->EndpointId());
      RemoveHeld(held, port);  // the port stays queued: the next pass reconnects it
      continue;
    }
    if (after == AfterReset::kReconnect) ConnectHeld(held, port);
    queue.Remove(port);
  }
}
