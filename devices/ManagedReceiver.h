#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "protocol/ReceiverEvents.h"
#include "service/StatusLine.h"
#include "text/StringBuffer.h"

// What the receiver manager needs of a receiver: open and close it by port, name it, number
// it, read its state, pass it command texts.
class IManagedReceiver {
 public:
  virtual ~IManagedReceiver() = default;
  // 0 when the receiver is open on the port, otherwise the link's code.
  virtual uint32_t Open(const Voxlet::StringBuffer& portName) = 0;
  virtual void Close() = 0;
  virtual Voxlet::StringBuffer PortName() const = 0;
  virtual uint32_t Number() const = 0;
  virtual uint32_t State() const = 0;
  // A diagnostic client's command text (the SDK's send-command): sent once.
  virtual void SendCommandText(const std::string& text) = 0;
  // The receiver's endpoint id in the software service; empty until it has one.
  virtual Voxlet::StringBuffer EndpointId() const = 0;
  // The clickers on its network with a student signed in.
  virtual size_t SignedInClickers() const { return 0; }
};

using ManagedReceiverPtr = std::shared_ptr<IManagedReceiver>;
using ReceiverFactory = std::function<ManagedReceiverPtr(IReceiverEvents* events)>;

// Receivers as the service runs them: CReceiver on its link, with its session.
ManagedReceiverPtr MakeReceiver(IReceiverEvents* events);
// The same, their sessions keeping answers in the answer spool in `directory`, which is opened
// (and what an earlier run left read) when the first receiver is made or the state is claimed,
// once logging runs; answers kept longer than maxAgeDays (0: no limit) are dropped instead of
// submitted. claimState tells whether this process may run the receivers: an error text when
// another process owns the spool (another service with the same settings), empty otherwise.
// report adds what the status line says of the spool: whether it keeps answers and how many.
struct SpoolingReceivers {
  ReceiverFactory makeReceiver;
  std::function<std::string()> claimState;
  std::function<void(ServiceStatus&)> report;
};
SpoolingReceivers OpenSpoolingReceivers(std::string directory, uint32_t maxAgeDays);
