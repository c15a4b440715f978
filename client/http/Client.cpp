// Voxlet::Client and the calls its owner's threads make into the inside (ClientImpl.h): connecting,
// disconnecting, sending, and detaching the owner so that no signal reaches it any more.
#include "client/http/Client.h"

#include <boost/beast/core/detail/base64.hpp>
#include <stdexcept>

#include "client/http/ClientImpl.h"

namespace Voxlet {

void Client::Impl::Connect(Detail::ServiceAddress address) {
  {
    std::lock_guard lock(m_lock);
    state = ClientStates::Connecting;
  }
  Run([address = std::move(address)](Impl& self) {
    self.Reset(SocketExceptions::Aborted, false);
    self.m_address = address;
    self.m_active = true;
    self.m_everConnected = false;
    self.m_backoff = 0;
    self.StartTicks();
    self.EmitState(ClientStates::Connecting);
    self.StartConnect();
  });
}

void Client::Impl::Disconnect(int reason) {
  {
    std::lock_guard lock(m_lock);
    state = ClientStates::Disconnected;
  }
  Run([reason](Impl& self) {
    self.Reset(reason, true);
    self.m_active = false;
    self.m_tickTimer.cancel();
  });
}

// A disconnected client whose owner wants it back starts over (as after a lost connection).
void Client::Impl::SetReconnectWanted(bool wanted) {
  reconnectWanted = wanted;
  if (!wanted) return;
  Run([](Impl& self) {
    if (!self.m_active || !self.m_everConnected || self.state != ClientStates::Disconnected) return;
    self.Reconnect();
  });
}

// The owner's own break: every connection goes, with every request.
void Client::Impl::AbortAndReconnect() {
  Run([](Impl& self) {
    if (self.state != ClientStates::Connected) return;
    {
      std::lock_guard lock(self.m_lock);
      self.state = ClientStates::Disconnected;
    }
    self.Reset(SocketExceptions::Aborted, true);
    self.Disconnected();
  });
}

bool Client::Impl::Send(const MessagePtr& message) {
  if (!message->MarkSubmitted()) return false;
  {
    std::lock_guard lock(m_lock);
    if (state == ClientStates::Connected) {
      m_queue.push_back({message, ++m_sequence});
      Run([](Impl& self) { self.Pump(); });
      return true;
    }
  }
  message->End(false);
  Run([message](Impl& self) { self.EmitCompleted(message); });
  return false;
}

// The owner is going away: no signal reaches it after this returns.
void Client::Impl::Detach() {
  std::vector<Pending> orphans;
  {
    std::unique_lock lock(m_gateLock);
    m_owner = nullptr;
    const int mine = t_callbackOf == this ? 1 : 0;
    m_gateIdle.wait(lock, [&] { return m_inCallback == mine; });
  }
  {
    std::lock_guard lock(m_lock);
    state = ClientStates::Disconnected;
    orphans = TakeAllLocked();
  }
  for (const Pending& p : orphans) p.message->End(false);
  Run([](Impl& self) {
    self.Reset(SocketExceptions::Aborted, true);
    self.m_active = false;
    self.m_tickTimer.cancel();
  });
}

void Client::Impl::MonitorPerformance(StringBuffer title) {
  std::lock_guard lock(m_lock);
  m_title = std::move(title);
  m_monitor = true;
}

StringBuffer Client::Impl::Title() const {
  std::lock_guard lock(m_lock);
  return m_title;
}

ClientPerformance Client::Impl::Performance() const {
  std::lock_guard lock(m_lock);
  return m_performance;
}

thread_local const Client::Impl* Client::Impl::t_callbackOf = nullptr;

namespace {
std::string BasicAuthorization(const char16_t* userName, const char16_t* password) {
  if (!userName) return {};
  const std::string plain = UTF16to8(userName) + ":" + (password ? UTF16to8(password) : std::string());
  std::string encoded(beast::detail::base64::encoded_size(plain.size()), '\0');
  encoded.resize(beast::detail::base64::encode(encoded.data(), plain.data(), plain.size()));
  return "Basic " + encoded;
}
}  // namespace

Client::Client(bool periodicSignal, const char16_t* userName, const char16_t* password)
    : m_engine(Detail::Engine::Current()) {
  if (!m_engine) throw std::logic_error("Voxlet::Client needs a live Voxlet::Globals");
  m_impl = std::make_shared<Impl>(*m_engine, this, periodicSignal, BasicAuthorization(userName, password));
}

Client::~Client() { m_impl->Detach(); }

void Client::MonitorPerformance(const StringBuffer& title) { m_impl->MonitorPerformance(title); }
StringBuffer Client::PerformanceTitle() const { return m_impl->Title(); }
ClientPerformance Client::Performance() const { return m_impl->Performance(); }

bool Client::Connect(const StringBuffer& uri) {
  auto address = Detail::ParseServiceAddress(uri);
  if (!address) {
    m_impl->lastException = SocketExceptions::InvalidAddress;
    return false;
  }
  m_impl->Connect(std::move(*address));
  return true;
}

void Client::Disconnect() { m_impl->Disconnect(SocketExceptions::None); }

void Client::Abort(bool reconnect) {
  if (reconnect)
    m_impl->AbortAndReconnect();
  else
    m_impl->Disconnect(SocketExceptions::Aborted);
}

bool Client::Send(const MessagePtr& message) { return message && m_impl->Send(message); }

int Client::State() const { return m_impl->state.load(); }
int Client::LastSocketException() const { return m_impl->lastException.load(); }
bool Client::ReconnectWanted() const { return m_impl->reconnectWanted.load(); }
void Client::SetReconnectWanted(bool wanted) { m_impl->SetReconnectWanted(wanted); }

boost::any Client::UserData() const {
  std::lock_guard lock(m_userLock);
  return m_userData;
}
void Client::SetUserData(boost::any value) {
  std::lock_guard lock(m_userLock);
  m_userData = std::move(value);
}

}  // namespace Voxlet
