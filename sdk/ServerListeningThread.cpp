#include "sdk/ServerListeningThread.h"

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <vector>

#include "platform/SocketExceptions.h"

namespace {
// The identifiers listened for in this process.
std::mutex g_claimedLock;
std::vector<ServerIdentifier> g_claimed;

// Milliseconds from now until `at`, rounded up so that a wait does not end just before it.
int MillisecondsUntil(CServerHandshake::Clock::time_point at, CServerHandshake::Clock::time_point now) {
  if (at <= now) return 0;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(at - now).count();
  return static_cast<int>(std::min<int64_t>(left, INT32_MAX));
}
}  // namespace

CServerListeningThread::CClaim::CClaim(const ServerIdentifier& identifier) : m_identifier(identifier) {
  std::lock_guard<std::mutex> guard(g_claimedLock);
  if (std::find(g_claimed.begin(), g_claimed.end(), identifier) != g_claimed.end())
    throw CSocketLibException(EEXIST, "a server with this identifier is registered already");
  g_claimed.push_back(identifier);
}

CServerListeningThread::CClaim::~CClaim() {
  std::lock_guard<std::mutex> guard(g_claimedLock);
  g_claimed.erase(std::find(g_claimed.begin(), g_claimed.end(), m_identifier));
}

CServerListeningThread::CServerListeningThread(const ServerIdentifier& identifier, const ListenOptions& options,
                                               Handover handover)
    : m_identifier(identifier),
      m_options(options),
      m_handover(std::move(handover)),
      m_claim(identifier),
      m_socket(options.noDelay) {
  m_socket.BindAndListen(options.port, options.bindAddress.c_str(), options.portChoice);
  m_socket.CreateEvent();
  m_port = m_socket.GetBoundPort();
  Start();
}

CServerListeningThread::~CServerListeningThread() {
  Stop();
  WaitForEnd();
}

void CServerListeningThread::OpenPublisher() {
  try {
    m_publisher = std::make_unique<CServerPublisherSocket>(m_options.bindAddress.c_str());
  } catch (const CExceptionBase& e) {
    e.Report();  // the server goes on without discovery
    return;
  }
  m_publisher->Announce(m_identifier, m_port);
}

void CServerListeningThread::Run() {
  if (m_options.publish && !m_publisher) OpenPublisher();
  std::vector<Platform::WaitHandle> handles;
  for (;;) {
    const auto now = Clock::now();
    DropExpiredHandshakes(now);
    if (m_acceptRestsUntil && now >= *m_acceptRestsUntil) m_acceptRestsUntil.reset();
    // The stop event, the publisher, the handshakes, then the listening socket: each handshake
    // and query is a few bytes, so a stream of new connections cannot keep them waiting.
    handles.assign({Platform::WaitHandle::Of(m_stopEvent)});
    // Only queries matter on the publisher: waiting for it to be writable would never end.
    if (m_publisher) handles.push_back(Platform::WaitHandle::Descriptor(m_publisher->Handle(), POLLIN));
    const size_t firstHandshake = handles.size();
    for (const auto& handshake : m_handshakes) handles.push_back(handshake->Handle());
    if (!m_acceptRestsUntil) handles.push_back(m_socket.Event()->Handle());

    const int index = Platform::WaitForAny(handles, WaitTimeout(now));
    m_wakeups.fetch_add(1);
    if (index == 0) break;
    if (index == Platform::kWaitTimeout) continue;  // a handshake's time is up, or the rest is over
    if (index < 0) {
      DiagnosticLog(
          "CServerListeningThread::Run(): Timed out or an error occured in CThreadBase::WaitForEvents (error %d).  "
          "Stopping thread.",
          index);
      break;
    }
    const size_t ready = static_cast<size_t>(index);
    if (ready < firstHandshake)
      m_publisher->AnswerQuery(m_identifier, m_port);
    else if (ready - firstHandshake < m_handshakes.size())
      AdvanceHandshake(ready - firstHandshake);
    else
      AcceptConnection();
  }
  m_handshakes.clear();  // their connections are dropped
}

int CServerListeningThread::WaitTimeout(Clock::time_point now) const {
  std::optional<Clock::time_point> first = m_acceptRestsUntil;
  for (const auto& handshake : m_handshakes)
    if (!first || handshake->Deadline() < *first) first = handshake->Deadline();
  return first ? MillisecondsUntil(*first, now) : -1;
}

void CServerListeningThread::DropExpiredHandshakes(Clock::time_point now) {
  std::erase_if(m_handshakes, [&](const auto& handshake) {
    if (handshake->Deadline() > now) return false;
    handshake->Expire();
    return true;
  });
}

void CServerListeningThread::AcceptConnection() {
  const Platform::SocketHandle accepted = m_socket.Accept();
  if (accepted == Platform::kNoSocket) {
    OnAcceptFailed(errno);
    return;
  }
  if (m_acceptFailing) {
    m_acceptFailing = false;
    DiagnosticLog("CServerListeningThread::Run(): Accepting connections again.");
  }
  if (m_handshakes.size() >= kMaxHandshakes) {
    DiagnosticLog("CServerListeningThread::Run(): %zu connections are in their handshake: the oldest is dropped.",
                  m_handshakes.size());
    m_handshakes.erase(m_handshakes.begin());
  }
  try {
    m_handshakes.push_back(std::make_unique<CServerHandshake>(accepted, m_identifier, m_options.handshakeTimeoutMs));
  } catch (const CExceptionBase& e) {
    e.Report();
    return;
  }
  AdvanceHandshake(m_handshakes.size() - 1);  // the identifier goes out at once
}

void CServerListeningThread::OnAcceptFailed(int error) {
  m_acceptFailures.fetch_add(1);
  // The connection has left the queue (its peer gave up, or the call was interrupted): the
  // listening socket is reported again only for the next one.
  if (error == EAGAIN || error == EWOULDBLOCK || error == ECONNABORTED || error == EINTR || error == EPROTO) return;
  // Out of descriptors or memory, or worse: the connection stays queued and the listening
  // socket stays ready, so it rests before the next try instead of being tried round and round.
  if (!m_acceptFailing) {
    m_acceptFailing = true;
    DiagnosticLog("CServerListeningThread::Run(): Cannot accept a connection (error %d): trying again every %d ms.",
                  error, m_options.acceptRetryMs);
  }
  m_acceptRestsUntil = Clock::now() + std::chrono::milliseconds(m_options.acceptRetryMs);
}

void CServerListeningThread::AdvanceHandshake(size_t at) {
  const CServerHandshake::State state = m_handshakes[at]->Advance();
  if (state != CServerHandshake::State::kRegistered && state != CServerHandshake::State::kFailed) return;
  const std::unique_ptr<CServerHandshake> done = std::move(m_handshakes[at]);
  m_handshakes.erase(m_handshakes.begin() + static_cast<std::ptrdiff_t>(at));
  if (state == CServerHandshake::State::kRegistered) m_handover(done->Registration(), done->TakeSocket());
}
