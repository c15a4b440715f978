#pragma once
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "devices/ManagedReceiver.h"
#include "sdk/ReceiverStatus.h"
#include "text/StringBuffer.h"

// The open receivers, as every thread may read them: the SDK server's, the receivers' own
// (status broadcasts) and the manager's. A receiver is listed only once it is open, so no
// reader ever sees the port, link or handler an open is still writing.
//
// Its lock is held only for short reads and writes, and nothing is called under it: receivers
// are opened and closed outside it (by CReceiverSet), since their threads read the list while
// an open or a close waits for them.
class CReceiverList {
 public:
  void Add(const ManagedReceiverPtr& receiver);
  // Takes the receiver on the port out of the list; null when none is listed.
  ManagedReceiverPtr Take(const Voxlet::StringBuffer& portName);
  std::vector<ManagedReceiverPtr> TakeAll();

  // Searched by port name (exact, case-sensitive) and by receiver number.
  ManagedReceiverPtr FindByPort(const Voxlet::StringBuffer& portName) const;
  ManagedReceiverPtr FindByNumber(uint32_t receiverNumber) const;

  // Remembers the USB device (its sysfs path) a listed receiver is on: once the device is
  // unplugged, sysfs no longer says which port was its own. Forgotten with the receiver.
  void SetDevice(const Voxlet::StringBuffer& portName, const std::string& devicePath);
  // The device remembered for the receiver on the port; empty when none is.
  std::string DeviceOf(const Voxlet::StringBuffer& portName) const;
  // The port of the receiver on the device at that sysfs path (CReceiverEnumerator::SameDevice).
  std::optional<Voxlet::StringBuffer> PortOfDevice(const std::string& devicePath) const;

  size_t Count() const;
  // The listed receivers, for a look at each outside the list's lock.
  std::vector<ManagedReceiverPtr> Receivers() const;
  std::vector<Voxlet::StringBuffer> Ports() const;
  // The status records of at most maxCount receivers, in list order.
  std::vector<ReceiverStatusW> Statuses(size_t maxCount) const;

 private:
  struct Entry {
    ManagedReceiverPtr receiver;
    std::string devicePath;  // empty: not on a USB device (a configured port)
  };

  mutable std::mutex m_lock;
  std::vector<Entry> m_entries;
};
