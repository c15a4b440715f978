#include "sdk/ServerListeningThread.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "platform/SocketExceptions.h"

namespace {
// The identifiers listened for in this process.
std::mutex g_claimedLock;
std::vector<ServerIdentifier> g_claimed;
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
  std::vector<Platform::WaitHandle> handles = {Platform::WaitHandle::Of(m_stopEvent), m_socket.Event()->Handle()};
  // Only queries matter on the publisher: waiting for it to be writable would never end.
  if (m_publisher) handles.push_back(Platform::WaitHandle::Descriptor(m_publisher->Handle(), POLLIN));
  for (;;) {
    const int index = Platform::WaitForAny(handles, -1);
    m_wakeups.fetch_add(1);
    if (index == 0) break;
    if (index < 0) {
      DiagnosticLog(
          "CServerListeningThread::Run(): Timed out or an error occured in CThreadBase::WaitForEvents (error %d).  "
          "Stopping thread.",
          index);
      break;
    }
    if (index == 2) {
      m_publisher->AnswerQuery(m_identifier, m_port);
      continue;
    }
    const Platform::SocketHandle accepted = m_socket.Accept();
    if (accepted != CSocketBase::kInvalidSocket) OnNewConnection(accepted);
  }
}

void CServerListeningThread::OnNewConnection(Platform::SocketHandle acceptedSocket) {
  std::shared_ptr<CMessagingSocket> socket;
  try {
    socket = std::make_shared<CMessagingSocket>(std::make_unique<CThreadedSocket>(acceptedSocket));
  } catch (const CExceptionBase& e) {
    e.Report();
    return;
  }
  if (!socket->WriteFully(m_identifier.data(), m_identifier.size(), kHandshakeTimeoutMs, &m_stopEvent)) {
    DiagnosticLog("CServerListeningThread::OnNewConnection: Error writting handshake string.");
    return;
  }
  uint8_t frame[CMessageBuffer::kPrefixSize + MessageHeader::kAsyncSize + 4];
  if (!socket->ReadFully(frame, sizeof frame, kHandshakeTimeoutMs, &m_stopEvent)) {
    DiagnosticLog("CServerListeningThread::OnNewConnection: Error reading registration message.");
    return;
  }
  const std::span<const uint8_t> body = std::span<const uint8_t>(frame).subspan(CMessageBuffer::kPrefixSize);
  if (Wire::GetU32(frame) != body.size()) return;
  CRegistrationMessage registration;
  if (!registration.Read(*CMessageBuffer::FromBody(body))) return;
  m_handover(registration, std::move(socket));
}
