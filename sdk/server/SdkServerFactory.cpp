#include "sdk/server/SdkServerFactory.h"

#include "platform/SocketExceptions.h"
#include "sdk/server/OVSDKServerImpl.h"
#include "log/Logger.h"

namespace {

class CSdkServerHandle : public ISDKServer {
 public:
  explicit CSdkServerHandle(std::shared_ptr<COVSDKServerImpl> server) : m_server(std::move(server)) {}
  ~CSdkServerHandle() override { m_server->Stop(); }

  int Port() const override { return m_server->Port(); }
  void SendReceiverStatus(const std::vector<ReceiverStatusW>& records) override { m_server->SendStatusToAll(records); }
  void SendLogChanged() override { m_server->SendLogChangedToAll(); }

 private:
  std::shared_ptr<COVSDKServerImpl> m_server;
};

}  // namespace

std::shared_ptr<ISDKServer> StartSdkServer(ISDKServerEvents* events) {
  auto server = std::make_shared<COVSDKServerImpl>(events);
  try {
    server->Start(true, 0, "127.0.0.1", true, true);
  } catch (const CExceptionBase& e) {
    e.Report();
    OV_LOG(kLogDiagnostic, "SDK server not started (error %d): %s", e.Code(), e.Message().c_str());
    return nullptr;
  }
  return std::make_shared<CSdkServerHandle>(std::move(server));
}
