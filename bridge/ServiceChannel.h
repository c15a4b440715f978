#pragma once
#include <atomic>
#include <boost/signals2/connection.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "bridge/CallGate.h"
#include "bridge/SessionHost.h"
#include "text/StringBuffer.h"

namespace Voxlet {
class Client;
using ClientPtr = std::shared_ptr<Client>;
}  // namespace Voxlet

// A receiver's channel to the software service: the client and its state and tick signals, the
// receiver's endpoint and its subscription, the poll hellos on their way, the activated-status
// query still to ask, the hello replies that could not be read, the goodbye, and every request
// the session sends. What the replies lead to is the session's.
//
// Owns the client, its signal connections and the connection's state; its lock guards only
// those. It is held while the client is asked to connect or to send (so that nothing is sent
// after the goodbye and requests keep their order) or for its state; nothing else is called
// with it held.
class CServiceChannel {
 public:
  using Completion = ISessionHost::Completion;
  using StateHandler = std::function<void(Voxlet::Client&, int)>;
  using TickHandler = std::function<void(Voxlet::Client&)>;

  // gate: the session's call gate of the moment, which completions and signals pass.
  explicit CServiceChannel(std::function<std::shared_ptr<CallGate>()> gate);
  CServiceChannel(const CServiceChannel&) = delete;
  CServiceChannel& operator=(const CServiceChannel&) = delete;

  // Takes the client, connects its signals (through the gate) and connects it to uri; false
  // (the client unused) once the receiver is leaving or goingAway says so.
  bool Connect(const Voxlet::ClientPtr& client, const Voxlet::StringBuffer& title, const Voxlet::StringBuffer& uri,
               const std::function<bool()>& goingAway, StateHandler onState, TickHandler onTick);
  // The close step: nothing more is sent, answers that come are kept for the next opening, the
  // signals are off; the client is handed to the caller to let go of.
  Voxlet::ClientPtr Release();
  // The receiver opens again: a channel without endpoint, ready for the next client.
  void Reopen();

  Voxlet::ClientPtr Client() const;
  bool Connected() const;
  // The client reached the software service again, or lost it (the endpoint, its subscription
  // and the polls on their way are gone with it).
  void ServiceReached();
  void ServiceLost();
  // Set while the client has lost the software service (ends the goodbye's wait).
  const std::atomic<bool>& ServiceAway() const { return m_serviceAway; }

  // The receiver reported its MAC: its address, and the endpoint id "receiver." + address.
  void SetReceiverAddress(const Voxlet::StringBuffer& address);
  Voxlet::StringBuffer ReceiverAddress() const;
  Voxlet::StringBuffer EndpointId() const;
  bool Subscribed() const;
  bool Leaving() const;
  bool Farewell() const;

  // A request with the completion run only while the session admits calls, and with
  // endpointHeader the endpoint header with the receiver's endpoint id.
  Voxlet::MessagePtr NewRequest(int method, const Voxlet::StringBuffer& path, Completion completion,
                                bool endpointHeader);
  // False (nothing sent) once the receiver has said goodbye or without a client.
  bool Send(const Voxlet::MessagePtr& message);
  void LogIfFailed(const Voxlet::MessagePtr& message);
  void LogUnexpectedEvent(const Voxlet::MessagePtr& message);

  // A slow software service gets a few polls at a time: false when that many are on their way.
  bool TakePollSlot();
  void ReturnPollSlot();
  // A hello was answered: true when the receiver's endpoint is subscribed from now on (it was
  // created anew, or had not been subscribed): the activated status is to be asked for.
  bool Subscribe(bool endpointCreated);
  bool StatusQueryPending() const;
  // Sets the activated-status query pending again, to be sent with the next hello reply.
  void AskActivatedStatusAgain();
  // The query goes now: no longer pending.
  void TakeStatusQuery();
  // True the first time the query is put off (the scan goes on) since it was asked for.
  bool FirstDelay();

  // Hello replies that cannot be read, said when they start and when they end (with how many
  // came) instead of once a poll: true when `trouble` starts here (the caller writes it out);
  // a different trouble ends the one before. EndPollTrouble ends the one in course.
  bool StartPollTrouble(const std::string& trouble);
  void EndPollTrouble(const char* how);

  // The goodbye. BeginFarewell: answers that come from now on are kept for the next opening;
  // false when there is no endpoint to say goodbye for (nothing more is sent then either).
  bool BeginFarewell();
  // Sends the goodbye, the last request: sent and the door shut in one step, so that nothing
  // (a poll hello would create the endpoint again) follows it. False when it was not sent.
  bool SendGoodbye(const Voxlet::MessagePtr& goodbye);
  void ForgetEndpoint();

 private:
  const std::function<std::shared_ptr<CallGate>()> m_gate;

  mutable std::mutex m_lock;
  Voxlet::ClientPtr m_client;
  boost::signals2::scoped_connection m_stateConnection;
  boost::signals2::scoped_connection m_tickConnection;
  bool m_leaving = false;  // the goodbye went out (or there was none to say): nothing more is sent
  // The receiver is closing: answers that come now are kept for the next opening, and the
  // clickers stay on record until the last packet has been handed over.
  bool m_farewell = false;
  std::atomic<bool> m_serviceAway{false};
  Voxlet::StringBuffer m_receiverAddress;
  Voxlet::StringBuffer m_endpointId;
  bool m_subscribed = false;
  int m_pollsOutstanding = 0;  // poll hellos on their way
  bool m_statusQueryPending = false;
  bool m_delayLogged = false;
  // The hello replies that could not be read, in a row.
  std::string m_pollTrouble;
  uint64_t m_pollTroubleCount = 0;
};
