#include "sdk/MessagingClient.h"

CMessagingClient::CMessagingClient(std::shared_ptr<CConnectedObjectBase> object)
    : m_manager(CConnectionManager::Acquire()), m_object(std::move(object)) {}

CMessagingClient::~CMessagingClient() { Close(); }

bool CMessagingClient::Connect(const std::string& host, uint16_t port, const ServerIdentifier& expected,
                               int32_t registrationId, int timeoutMs) {
  auto connection = std::make_unique<CThreadedSocket>(TcpNoDelay::kOn);
  connection->Connect(host, port);
  auto socket = std::make_shared<CMessagingSocket>(std::move(connection));
  ServerIdentifier identifier{};
  if (!socket->ReadFully(identifier.data(), identifier.size(), timeoutMs) || identifier != expected) return false;
  const auto registration = CRegistrationMessage(registrationId).Write();
  if (!socket->WriteFully(registration->Frame().data(), registration->Frame().size(), timeoutMs)) return false;
  return m_manager->Attach(m_object, std::move(socket), CRegistrationMessage(registrationId));
}

void CMessagingClient::Close() {
  m_object->Close();
  m_manager->Flush();
}
