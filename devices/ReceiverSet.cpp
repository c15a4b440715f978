#include "devices/ReceiverSet.h"

#include <algorithm>

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

uint32_t CReceiverSet::ConnectDevice(const Voxlet::StringBuffer& portName, const std::string& devicePath) {
  Held held(m_lock);
  const uint32_t result = ConnectHeld(held, portName);
  if (result == 0) m_list.SetDevice(portName, devicePath);
  return result;
}

uint32_t CReceiverSet::ConnectHeld(Held& held, const Voxlet::StringBuffer& portName) {
  // The receiver closing on this port still holds its tty.
  m_closed.wait(held, [&] { return !ClosingHeld(held, portName); });
  if (m_list.FindByPort(portName)) {
    OV_LOG(kLogMilestone, "Receiver_Connect: Find receiver by port returning 0. Meaning it is already connected \n");
    return 0;
  }
  if (m_shutDown) return 1;  // the service is stopping: nothing new is opened
  // Stamped before the open: a reset this receiver asks for while it opens applies to it.
  m_openedAt[portName] = CResetQueue::Clock::now();
  ManagedReceiverPtr receiver = m_makeReceiver(m_events);
  const uint32_t result = receiver->Open(portName);
  if (result != 0) {
    receiver->Close();  // frees whatever the failed open left behind; it never ran a link
    OV_LOG(kLogMilestone,
           "Receiver_Connect: Connect to receiver return none-zeron. Meaning it is failed with code %d \n", result);
    return result;
  }
  m_list.Add(receiver);
  OV_LOG(kLogMilestone, "Receiver_Connect: Connect to receiver return 0. Meaning it is connected \n");
  if (m_onOpened) m_onOpened();
  return 0;
}

void CReceiverSet::TakeHeld(const Held&, const Voxlet::StringBuffer& portName, Taken& taken) {
  if (ManagedReceiverPtr receiver = m_list.Take(portName)) {
    m_closing.push_back(portName);
    taken.push_back(std::move(receiver));
  }
}

void CReceiverSet::TakeAllHeld(const Held&, Taken& taken) {
  for (ManagedReceiverPtr& receiver : m_list.TakeAll()) {
    m_closing.push_back(receiver->PortName());
    taken.push_back(std::move(receiver));
  }
}

bool CReceiverSet::ClosingHeld(const Held&, const Voxlet::StringBuffer& portName) const {
  return std::find(m_closing.begin(), m_closing.end(), portName) != m_closing.end();
}

void CReceiverSet::CloseTaken(const Taken& taken) {
  if (taken.empty()) return;
  for (const ManagedReceiverPtr& receiver : taken) receiver->Close();
  Held held(m_lock);
  for (const ManagedReceiverPtr& receiver : taken)
    m_closing.erase(std::find(m_closing.begin(), m_closing.end(), receiver->PortName()));
  m_closed.notify_all();
}

void CReceiverSet::Remove(const Voxlet::StringBuffer& portName) {
  Taken taken;
  {
    Held held(m_lock);
    TakeHeld(held, portName, taken);
  }
  CloseTaken(taken);
}

void CReceiverSet::CloseAll() {
  Taken taken;
  {
    Held held(m_lock);
    TakeAllHeld(held, taken);
  }
  CloseTaken(taken);
}

void CReceiverSet::Shutdown() {
  Taken taken;
  {
    Held held(m_lock);
    m_shutDown = true;
    TakeAllHeld(held, taken);
  }
  CloseTaken(taken);
}

void CReceiverSet::Enumerate() {
  Held held(m_lock);
  CReceiverEnumerator enumerator;
  enumerator.Enumerate([&](const SBConnectionInfo& info) {
    OV_LOG(kLogDiagnostic, "Enumerated device path: %s", Voxlet::UTF16to8(info.portName).c_str());
    if (ConnectHeld(held, info.portName) != 0) return false;
    if (!info.deviceInstanceId.empty()) m_list.SetDevice(info.portName, Voxlet::UTF16to8(info.deviceInstanceId));
    return true;
  });
}

void CReceiverSet::ProcessResets(CResetQueue& queue, AfterReset after,
                                 const std::function<void(const Voxlet::StringBuffer&)>& reportRemoved) {
  Taken taken;
  {
    Held held(m_lock);
    std::vector<Voxlet::StringBuffer> closedNow;
    for (const CResetQueue::Request& request : queue.Requests()) {
      const Voxlet::StringBuffer& port = request.portName;
      // Its close waits for this pass to end: the port stays queued for the next.
      if (std::find(closedNow.begin(), closedNow.end(), port) != closedNow.end()) continue;
      ManagedReceiverPtr receiver = m_list.FindByPort(port);
      if (receiver && m_openedAt[port] > request.askedAt) {
        // The receiver that asked was closed meanwhile (a suspend, an unplug: its link is lost
        // as it goes) and this one opened since: the request is not its own.
        OV_LOG(kLogDiagnostic, "%s - reset asked for by the receiver closed before this one opened; not resetting",
               Voxlet::UTF16to8(port).c_str());
        m_resetDevices.erase(port);
        queue.Remove(request);
        continue;
      }
      if (receiver) {
        reportRemoved(receiver->EndpointId());
        m_resetDevices[port] = m_list.DeviceOf(port);
        TakeHeld(held, port, taken);  // the port stays queued: the next pass reconnects it
        closedNow.push_back(port);
        continue;
      }
      if (after == AfterReset::kReconnect && ConnectHeld(held, port) == 0) m_list.SetDevice(port, m_resetDevices[port]);
      m_resetDevices.erase(port);
      queue.Remove(request);
    }
  }
  CloseTaken(taken);
}
