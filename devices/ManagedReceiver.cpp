#include "devices/ManagedReceiver.h"

#include <mutex>

#include "bridge/AnswerSpool.h"
#include "bridge/ReceiverSession.h"
#include "log/Logger.h"
#include "platform/PrivateDirectory.h"
#include "platform/SystemServices.h"
#include "protocol/Receiver.h"

namespace {

// The students' answers are for the service and the machine's administrators alone: the folder
// that holds the spool is theirs (the service's state folder, when the spool is in it). A folder
// an older version left open to every user is closed, and said so, once: the answers it holds
// are still delivered.
void KeepAnswersPrivate(const std::string& spoolDirectory) {
  const std::string state = Platform::StateDirectory();
  const bool inState = spoolDirectory.rfind(state + Platform::PathSeparator(), 0) == 0;
  const std::string folder = inState ? state : spoolDirectory;
  std::string error;
  switch (Platform::MakePrivateDirectory(folder, error)) {
    case Platform::PrivateDirectory::kRepaired:
      OV_LOG(kLogMilestone,
             "The folder %s could be reached by other users: it is now for the system and the administrators only",
             folder.c_str());
      break;
    case Platform::PrivateDirectory::kFailed:
      OV_LOG(kLogMilestone, "The folder %s cannot be kept for the system and the administrators only (%s)",
             folder.c_str(), error.c_str());
      break;
    default:
      break;
  }
}

class ReceiverOnLink final : public IManagedReceiver {
 public:
  ReceiverOnLink(IReceiverEvents* events, SessionEnvironment environment)
      : m_receiver(std::make_unique<CReceiver>(events)),
        m_session(std::make_unique<CReceiverSession>(*m_receiver, std::move(environment))) {}
  uint32_t Open(const Voxlet::StringBuffer& portName) override { return m_receiver->Open(portName); }
  void Close() override { m_receiver->Close(); }
  Voxlet::StringBuffer PortName() const override { return m_receiver->GetPortName(); }
  uint32_t Number() const override { return m_receiver->GetReceiverNumber(); }
  uint32_t State() const override { return m_receiver->GetState(); }
  void SendCommandText(const std::string& text) override { m_receiver->SendDiagnosticCommand(text); }
  Voxlet::StringBuffer EndpointId() const override { return m_session->EndpointId(); }
  size_t SignedInClickers() const override {
    size_t count = 0;
    for (const ClickerEndpointInfo& clicker : m_session->Clickers().All()) count += clicker.studentId.empty() ? 0 : 1;
    return count;
  }

 private:
  // The session is destroyed first: it closes the receiver and detaches from it.
  std::unique_ptr<CReceiver> m_receiver;
  std::unique_ptr<CReceiverSession> m_session;
};

}  // namespace

ManagedReceiverPtr MakeReceiver(IReceiverEvents* events) {
  return std::make_shared<ReceiverOnLink>(events, SessionEnvironment{});
}

SpoolingReceivers OpenSpoolingReceivers(std::string directory, uint32_t maxAgeDays) {
  struct Opened {
    std::once_flag once;
    std::string directory;
    uint32_t maxAgeDays = 0;
    // Set once, under the lock, for the status line's reads from another thread.
    std::mutex lock;
    std::shared_ptr<AnswerSpool> spool;
    std::shared_ptr<AnswerSpool> Spool() {
      std::call_once(once, [this] {
        KeepAnswersPrivate(directory);
        AnswerSpool::Options options;
        options.maxAge = std::chrono::hours(24) * maxAgeDays;
        auto opened = std::make_shared<AnswerSpool>(directory, std::move(options));
        std::lock_guard<std::mutex> guard(lock);
        spool = std::move(opened);
      });
      std::lock_guard<std::mutex> guard(lock);
      return spool;
    }
  };
  auto opened = std::make_shared<Opened>();
  opened->directory = std::move(directory);
  opened->maxAgeDays = maxAgeDays;
  SpoolingReceivers made;
  made.makeReceiver = [opened](IReceiverEvents* events) -> ManagedReceiverPtr {
    SessionEnvironment environment;
    environment.spool = opened->Spool();
    return std::make_shared<ReceiverOnLink>(events, std::move(environment));
  };
  made.claimState = [opened]() -> std::string {
    if (!opened->Spool()->HeldByAnotherProcess()) return {};
    return "the answer spool in " + opened->directory + " is another process's";
  };
  made.report = [opened](ServiceStatus& status) {
    std::shared_ptr<AnswerSpool> spool;
    {
      std::lock_guard<std::mutex> guard(opened->lock);
      spool = opened->spool;
    }
    if (!spool) return;
    if (!spool->Durable()) {
      status.spool = ServiceStatus::Spool::kNotKeeping;
      return;
    }
    status.spool = ServiceStatus::Spool::kKeeping;
    status.answersKept = spool->GetCounts().answers;
  };
  return made;
}
