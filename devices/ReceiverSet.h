#pragma once
#include <cstdint>
#include <functional>
#include <mutex>

#include "client/StringBuffer.h"
#include "devices/ManagedReceiver.h"
#include "devices/ReceiverList.h"
#include "devices/ResetQueue.h"

// What a reset pass does with a port once its receiver is closed.
enum class AfterReset { kStayClosed, kReconnect };

// Opens and closes the receivers, one operation at a time: device, power, tick, SDK and
// service threads all ask for it. Owns the list of the open receivers.
//
// Lock order: this object's lock is taken before the list's (CReceiverList) and the reset
// queue's (CResetQueue), and before whatever the callbacks take (the SDK back end's lock for
// the status broadcast, the service link's lock for a removal report); none of those is ever
// held while this lock is asked for. The hot-plug retry pass takes it under the pending lock
// (CDeviceHotplug). A whole pass (enumeration, resets) holds it once: the operations inside it
// run on the private *Held variants, which take the lock as proof that it is held.
class CReceiverSet {
 public:
  // The receivers are made with events as theirs; onOpened is told after a receiver opened and
  // was listed (its status changes during the open went out before it was listed).
  CReceiverSet(ReceiverFactory makeReceiver, IReceiverEvents* events, std::function<void()> onOpened);
  // Closes every receiver.
  ~CReceiverSet();
  CReceiverSet(const CReceiverSet&) = delete;
  CReceiverSet& operator=(const CReceiverSet&) = delete;

  // 0 when a receiver is open on the port afterwards, else the open step's code (1 once shut
  // down).
  uint32_t Connect(const Voxlet::StringBuffer& portName);
  // Connect for the port of a USB device, remembering the device's serial number.
  uint32_t ConnectDevice(const Voxlet::StringBuffer& portName, const Voxlet::StringBuffer& serial);
  void Remove(const Voxlet::StringBuffer& portName);
  void CloseAll();
  // Closes every receiver; from now on nothing is opened.
  void Shutdown();
  // Opens every receiver found, stopping at the first that does not open.
  void Enumerate();
  // Handles every queued reset: a receiver still open is reported (with its endpoint id) and
  // closed, its port staying queued; a port without one is taken out of the queue, and
  // reconnected first when asked to.
  void ProcessResets(CResetQueue& queue, AfterReset after,
                     const std::function<void(const Voxlet::StringBuffer& endpointId)>& reportRemoved);

  const CReceiverList& List() const { return m_list; }

 private:
  using Held = std::lock_guard<std::mutex>;
  uint32_t ConnectHeld(const Held&, const Voxlet::StringBuffer& portName);
  void RemoveHeld(const Held&, const Voxlet::StringBuffer& portName);
  void CloseAllHeld(const Held&);

  ReceiverFactory m_makeReceiver;
  IReceiverEvents* m_events;
  std::function<void()> m_onOpened;

  std::mutex m_lock;
  bool m_shutDown = false;  // guarded by m_lock
  CReceiverList m_list;
};
