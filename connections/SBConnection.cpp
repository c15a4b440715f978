#include "connections/SBConnection.h"

#include "connections/PortFactory.h"
#include "connections/ThreadedPort.h"
#include "platform/ErrorCodes.h"

CSBConnection::CSBConnection(const SBConnectionInfo& info) : ISBConnection(info), m_port(MakeThreadedPort(info)) {}

CSBConnection::~CSBConnection() { Close(); }

bool CSBConnection::IsSerial() const {
  return m_info.connectionKind == kConnectionCom || m_info.connectionKind == kConnectionProlific;
}

uint32_t CSBConnection::Open() {
  // The one place where an open's error becomes the interface's code.
  if (!m_port) return LinkResult::FromError(Platform::Error::kNotPresent);
  return LinkResult::FromError(m_port->OpenPort(Voxlet::UTF16to8(m_info.portName)));
}

bool CSBConnection::IsOpen() { return m_port && m_port->IsOpen(); }

void CSBConnection::Close() {
  if (m_port) m_port->ClosePort();
}

std::unique_ptr<CSBIOPacket> CSBConnection::GetReceivedPacket() {
  return m_port ? m_port->Queue().PopReceived() : nullptr;
}

CWaitEvent* CSBConnection::GetReceiveEvent() { return m_port ? &m_port->Queue().ReceivedEvent() : nullptr; }

void CSBConnection::Send(std::unique_ptr<CSBIOPacket> packet) {
  if (m_port && packet) m_port->Queue().PushOutgoing(std::move(packet));
}

bool CSBConnection::WaitForSendsDone() { return m_port && m_port->Queue().WaitUntilOutgoingEmpty(); }

Voxlet::StringBuffer CSBConnection::GetPnPId() {
  if (!m_port || !IsSerial()) return u"DOES NOT APPLY";
  return m_port->RequestPnPId();
}

bool CSBConnection::SetCommParams(uint32_t baudRate, uint8_t byteSize, uint8_t parity, uint8_t stopBits) {
  return m_port && IsSerial() && m_port->SetLine(LineSettings{baudRate, byteSize, parity, stopBits});
}

bool CSBConnection::GetCommParams(uint32_t* baudRate, uint8_t* byteSize, uint8_t* parity, uint8_t* stopBits) {
  LineSettings s;
  if (!m_port || !IsSerial() || !m_port->GetLine(&s)) return false;
  *baudRate = s.baudRate;
  *byteSize = s.byteSize;
  *parity = s.parity;
  *stopBits = s.stopBits;
  return true;
}

bool CSBConnection::GetNextCommParams(uint32_t* baudRate, uint8_t* byteSize, uint8_t* parity, uint8_t* stopBits) {
  LineSettings s;
  if (!m_port || !IsSerial() || !m_port->NextLine(&s)) return false;
  *baudRate = s.baudRate;
  *byteSize = s.byteSize;
  *parity = s.parity;
  *stopBits = s.stopBits;
  return true;
}

bool CSBConnection::ResetDevice(uint32_t pulse) { return m_port && IsSerial() && m_port->RequestReset(pulse != 0); }

bool CSBConnection::IsDeviceLost() { return m_port && m_port->IsDeviceLost(); }
