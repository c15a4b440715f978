#pragma once
#include <functional>
#include <memory>
#include <string>

#include "bridge/CallGate.h"
#include "text/StringBuffer.h"

class CReceiverProtocolHandler;
namespace Voxlet {
class Message;
using MessagePtr = std::shared_ptr<Message>;
}  // namespace Voxlet

// What a part of a receiver's session asks of the session: the connection to the software
// service, the call gate and the receiver's commands. The parts call it without their own lock
// held.
class ISessionHost {
 public:
  using Completion = std::function<void(const Voxlet::MessagePtr&)>;
  using ReceiverCommands = std::function<void(CReceiverProtocolHandler&)>;

  virtual ~ISessionHost() = default;

  // The client reaches the software service.
  virtual bool ServiceConnected() const = 0;
  // The receiver's endpoint exists and is subscribed to its notifications.
  virtual bool Subscribed() const = 0;
  // The goodbye went out (or there was none to say): nothing more is sent.
  virtual bool Leaving() const = 0;
  // The receiver is closing: answers that come now are kept for the next opening, and the
  // clickers stay on record until the last packet has been handed over.
  virtual bool Farewell() const = 0;
  // "receiver." + the receiver address; empty while the receiver has no endpoint.
  virtual Voxlet::StringBuffer EndpointId() const = 0;
  // The MAC as "00-11-22-33-44-55-66-77"; empty until the receiver reported it.
  virtual Voxlet::StringBuffer ReceiverAddress() const = 0;
  // The gate every call into the session passes (a new one for each opening of the receiver).
  virtual std::shared_ptr<CallGate> Gate() const = 0;
  // A request whose completion runs only while the session admits calls; with endpointHeader,
  // the endpoint header names the receiver.
  virtual Voxlet::MessagePtr NewServiceRequest(int method, const Voxlet::StringBuffer& path, Completion completion,
                                               bool endpointHeader) = 0;
  // False (nothing sent) once the receiver has said goodbye or without a client.
  virtual bool SendServiceRequest(const Voxlet::MessagePtr& message) = 0;
  virtual void LogIfFailed(const Voxlet::MessagePtr& message) = 0;
  virtual void LogUnexpectedEvent(const Voxlet::MessagePtr& message) = 0;
  // Runs send under the session's command lock unless the receiver is closing; false when
  // nothing was sent.
  virtual bool SendReceiverCommands(const ReceiverCommands& send) = 0;
  // The receiver's port name, as the packet log lines begin.
  virtual std::string PortUtf8() const = 0;
};
