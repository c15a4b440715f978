#pragma once
#include <boost/any.hpp>
#include <boost/signals2/signal.hpp>
#include <memory>

#include "client/http/Globals.h"
#include "client/http/Message.h"
#include "text/StringBuffer.h"

namespace Voxlet {

namespace ClientStates {
enum Value : int { Disconnected = 0, Connecting = 1, Connected = 2 };
// "Disconnected", "Connecting", "Connected", or "Unknown".
StringBuffer ToString(int state);
}  // namespace ClientStates

// Why the connection last failed or went away.
namespace SocketExceptions {
enum Value : int {
  None = 0,
  ConnectionRefused,
  ConnectionReset,  // the service closed the connection or it broke
  TimedOut,         // no reply within the exchange limit
  HostNotFound,     // the address could not be resolved
  ProtocolError,    // the reply was not valid HTTP, or the service spoke out of turn
  Aborted,          // closed by Disconnect or Abort
  InvalidAddress,   // the address given to Connect is not an http:// URI
  InvalidRequest,   // a request's path or header value cannot go on the wire
  Other,
};
StringBuffer ToString(int exception);
}  // namespace SocketExceptions

// Figures kept while MonitorPerformance is on.
struct ClientPerformance {
  uint64_t exchanges = 0;   // replies received
  uint64_t failures = 0;    // requests ended without a reply
  double totalSeconds = 0;  // sum of send-to-reply times of the replies
  double longestSeconds = 0;
};

// A connection to the software service: one persistent HTTP/1.1 connection, requests written
// and completed one at a time in the order Send was called. Requests with an order key
// (Message::SetOrderKey) are the exception: requests of different keys may be in flight at once,
// each on a connection of its own (at most kMaxConnections, opened when needed and kept open);
// a request without a key still waits for everything sent before it and holds up everything sent
// after it. States: 0 disconnected, 1 connecting, 2 connected (a TCP connection to the service is
// open).
//
// A broken exchange (the service closed the connection in the middle of it, the reply was not
// HTTP, or no whole reply came within 30 s) closes its own connection and fails only its own
// request, with the queued requests of its key right behind it; exchanges on the other
// connections go on and their replies are read. The first connection is the client's: when it
// breaks the client goes to 0 and the queued requests fail too (never written), except those
// waiting for a request of their key that is still in flight on a further connection.
//
// Connect starts at 1 and retries with back-off until connected. A connected client that loses
// its connection goes to 0 (the state signal fires); if "reconnect wanted" is set then (the
// owner's state handler usually sets it), it goes to 1 and retries while the flag stays set, then
// reaches 2 again. A connection the service closes in an orderly way while idle is reopened
// without leaving state 2 when the service is still there.
//
// Every signal fires on a library thread, one at a time per client; while a handler runs, that
// client's exchanges wait (so a handler must not BlockUntil a request of its own client, and
// long waits in handlers hold up one of the library's Globals::kThreads threads). Destroying a client is safe
// at any time, from any thread, its own signal handlers included: requests still queued end in
// state 0 without their completion signal, and no signal of the client fires afterwards.
// Needs a live Globals (client/http/Globals.h) when constructed.
class Client {
 public:
  // Connections of one client, the first included: requests in flight at once at most.
  static constexpr int kMaxConnections = 4;
  using StateChangedSignal = boost::signals2::signal<void(Client&, int state)>;
  using TickSignal = boost::signals2::signal<void(Client&)>;

  // periodicSignal: fire TickSignal once a second from Connect until Disconnect, in every state. userName and
  // password (both or neither, may be null): HTTP Basic credentials sent with every request.
  explicit Client(bool periodicSignal, const char16_t* userName = nullptr, const char16_t* password = nullptr);
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;
  ~Client();

  // Names the client in the performance figures and starts keeping them.
  void MonitorPerformance(const StringBuffer& title);
  StringBuffer PerformanceTitle() const;
  ClientPerformance Performance() const;

  // Starts connecting to `uri` ("http://host[:port][/base]"); false when the address is not
  // usable (the client stays at 0 and LastSocketException says why).
  bool Connect(const StringBuffer& uri);
  // Closes the connection and stops retrying; queued requests end in state 0 and their completion
  // signals fire. The state becomes 0 without a state signal.
  void Disconnect();
  // Breaks every connection at once, failing the requests in flight and the queued ones.
  // reconnect false: as Disconnect; true: as a lost connection (state signal 0, then a reconnect
  // while "reconnect wanted" is set).
  void Abort(bool reconnect);

  // Queues the request. False, with the request ended in state 0 at once (its completion signal
  // then fires on a library thread), when the client is not connected, the request was sent
  // before, or it cannot be written (bad path or header value).
  bool Send(const MessagePtr& message);

  int State() const;
  int LastSocketException() const;

  // The "reconnect wanted" flag beside the state. Setting it on a client that went to 0 after
  // being connected starts the reconnection.
  bool ReconnectWanted() const;
  void SetReconnectWanted(bool wanted);

  // A slot for the owner's own data.
  boost::any UserData() const;
  void SetUserData(boost::any value);

  StateChangedSignal& StateChanged() { return m_stateChanged; }
  TickSignal& Tick() { return m_tick; }

  class Impl;

 private:
  friend class Impl;
  mutable std::mutex m_userLock;
  boost::any m_userData;
  StateChangedSignal m_stateChanged;
  TickSignal m_tick;
  std::shared_ptr<Detail::Engine> m_engine;  // declared first: outlives m_impl
  std::shared_ptr<Impl> m_impl;
};

using ClientPtr = std::shared_ptr<Client>;

}  // namespace Voxlet
