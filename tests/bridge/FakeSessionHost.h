#pragma once
// A session for one part of it, without a receiver or a client: the requests the part sends are
// recorded for the test to answer (Reply, NoReply), and the receiver commands counted.
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bridge/SessionHost.h"
#include "client/Strings.h"
#include "client/http/Message.h"

inline const Voxlet::StringBuffer kFakeReceiverMac = u"00-12-4B-00-0A-0B-0C-0D";

template <class Host>
class FakeSessionHost : public Host {
 public:
  bool connected = true;
  bool subscribed = true;
  bool leaving = false;
  bool farewell = false;
  int commands = 0;

  bool ServiceConnected() const override { return connected; }
  bool Subscribed() const override { return subscribed; }
  bool Leaving() const override { return leaving; }
  bool Farewell() const override { return farewell; }
  Voxlet::StringBuffer EndpointId() const override { return u"receiver." + kFakeReceiverMac; }
  Voxlet::StringBuffer ReceiverAddress() const override { return kFakeReceiverMac; }
  std::shared_ptr<CallGate> Gate() const override { return m_gate; }
  Voxlet::MessagePtr NewServiceRequest(int method, const Voxlet::StringBuffer& path,
                                       typename Host::Completion completion, bool) override {
    auto message = Voxlet::Message::Create();
    message->Open(method, path);
    message->Completed().connect(std::move(completion));
    return message;
  }
  // Every request tried is recorded, also those a leaving session does not send.
  bool SendServiceRequest(const Voxlet::MessagePtr& message) override {
    std::lock_guard<std::mutex> guard(m_lock);
    m_sent.push_back(message);
    m_changed.notify_all();
    return !leaving;
  }
  void LogIfFailed(const Voxlet::MessagePtr&) override {}
  void LogUnexpectedEvent(const Voxlet::MessagePtr&) override {}
  bool SendReceiverCommands(const typename Host::ReceiverCommands&) override {
    ++commands;  // no receiver here: counted, not run
    return false;
  }
  std::string PortUtf8() const override { return "ttyTEST"; }

  // The requests tried so far, in order.
  std::vector<Voxlet::MessagePtr> Sent() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_sent;
  }
  // Waits until `count` were tried (from other threads too).
  bool WaitForSent(size_t count) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, std::chrono::seconds(20), [&] { return m_sent.size() >= count; });
  }

 private:
  std::shared_ptr<CallGate> m_gate = std::make_shared<CallGate>();
  std::mutex m_lock;
  std::condition_variable m_changed;
  std::vector<Voxlet::MessagePtr> m_sent;
};

// The exchange ends with a reply of that status (and those headers), and its completion runs.
inline void Reply(const Voxlet::MessagePtr& message, int status, Voxlet::Header::Collection headers = {}) {
  message->End(true, status, {}, std::move(headers));
  message->Completed()(message);
}

// The exchange ends without a reply.
inline void NoReply(const Voxlet::MessagePtr& message) {
  message->End(false);
  message->Completed()(message);
}
