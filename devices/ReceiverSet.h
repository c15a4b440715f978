#pragma once
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "devices/ManagedReceiver.h"
#include "devices/ReceiverList.h"
#include "devices/ResetQueue.h"
#include "text/StringBuffer.h"

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
//
// Receivers are opened under the lock but closed outside it: closing a link can wait for its
// device (a USB tty's driver waits for output to drain), and nothing else should wait with it.
// A receiver taken out of the list leaves its port "closing" until its close is done; an open
// on that port waits for it, an open on any other port does not.
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
  // Connect for the port of a USB device, remembering the device (its sysfs path).
  uint32_t ConnectDevice(const Voxlet::StringBuffer& portName, const std::string& devicePath);
  void Remove(const Voxlet::StringBuffer& portName);
  void CloseAll();
  // Closes every receiver; from now on nothing is opened.
  void Shutdown();
  // Opens every receiver found, stopping at the first that does not open.
  void Enumerate();
  // Handles every queued reset: a receiver still open is reported (with its endpoint id) and
  // closed, its port staying queued; a port without one is taken out of the queue, and
  // reconnected first when asked to. A port closed in this pass is left for the next one. A
  // request older than the open of the port's receiver is dropped: the receiver that made it
  // was closed already.
  void ProcessResets(CResetQueue& queue, AfterReset after,
                     const std::function<void(const Voxlet::StringBuffer& endpointId)>& reportRemoved);

  const CReceiverList& List() const { return m_list; }

 private:
  using Held = std::unique_lock<std::mutex>;
  using Taken = std::vector<ManagedReceiverPtr>;
  uint32_t ConnectHeld(Held&, const Voxlet::StringBuffer& portName);
  // Takes receivers out of the list and marks their ports closing; CloseTaken closes them once
  // the lock is let go.
  void TakeHeld(const Held&, const Voxlet::StringBuffer& portName, Taken& taken);
  void TakeAllHeld(const Held&, Taken& taken);
  bool ClosingHeld(const Held&, const Voxlet::StringBuffer& portName) const;
  void CloseTaken(const Taken& taken);

  ReceiverFactory m_makeReceiver;
  IReceiverEvents* m_events;
  std::function<void()> m_onOpened;

  std::mutex m_lock;
  bool m_shutDown = false;                      // guarded by m_lock
  std::vector<Voxlet::StringBuffer> m_closing;  // guarded by m_lock: one entry per close under way
  std::condition_variable m_closed;             // a close under way ended
  // The devices of the receivers a reset closed, by port (guarded by m_lock): a receiver the
  // reset reopens is on the same device, and its removal must find it.
  std::map<Voxlet::StringBuffer, std::string> m_resetDevices;
  // When the receiver now or last on each port began to open (guarded by m_lock): a reset asked
  // for before that came from an earlier receiver.
  std::map<Voxlet::StringBuffer, CResetQueue::Clock::time_point> m_openedAt;
  CReceiverList m_list;
};
