#include "devices/ManagedReceiver.h"

#include "bridge/ReceiverSession.h"
#include "protocol/Receiver.h"

namespace {

class ReceiverOnLink final : public IManagedReceiver {
 public:
  explicit ReceiverOnLink(IReceiverEvents* events)
      : m_receiver(std::make_unique<CReceiver>(events)), m_session(std::make_unique<CReceiverSession>(*m_receiver)) {}
  uint32_t Open(const Voxlet::StringBuffer& portName) override { return m_receiver->Open(portName); }
  void Close() override { m_receiver->Close(); }
  Voxlet::StringBuffer PortName() const override { return m_receiver->GetPortName(); }
  uint32_t Number() const override { return m_receiver->GetReceiverNumber(); }
  uint32_t State() const override { return m_receiver->GetState(); }
  void SendCommandText(const std::string& text) override { m_receiver->SendDiagnosticCommand(text); }
  Voxlet::StringBuffer EndpointId() const override { return m_session->EndpointId(); }

 private:
  // The session is destroyed first: it closes the receiver and detaches from it.
  std::unique_ptr<CReceiver> m_receiver;
  std::unique_ptr<CReceiverSession> m_session;
};

}  // namespace

ManagedReceiverPtr MakeReceiver(IReceiverEvents* events) { return std::make_shared<ReceiverOnLink>(events); }
