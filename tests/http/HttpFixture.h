#pragma once
// Shared pieces of the HTTP tests: the library's Globals, a simulator on a free loopback port,
// and recorders that let a test wait for signals with a generous upper bound.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/http/Client.h"
#include "client/http/Globals.h"
#include "tools/service-sim/ServiceSimulator.h"

namespace HttpTest {

inline constexpr double kPatience = 20.0;  // seconds: an upper bound, never a measurement

// Waits on a condition over guarded data; the data is only touched under the lock.
template <class T>
class Guarded {
 public:
  // Notifies under the lock, so that a waiter that returns may destroy this at once.
  template <class F>
  void Update(F f) {
    std::lock_guard lock(m_lock);
    f(m_value);
    m_changed.notify_all();
  }
  template <class P>
  bool WaitFor(P predicate, double seconds = kPatience) {
    std::unique_lock lock(m_lock);
    return m_changed.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return predicate(m_value); });
  }
  T Get() {
    std::lock_guard lock(m_lock);
    return m_value;
  }

 private:
  std::mutex m_lock;
  std::condition_variable m_changed;
  T m_value{};
};

// The state signals of a client, in order; sets "reconnect wanted" on state 0 as the system does.
// The slot holds the record itself, so a signal still running when the recorder goes is harmless.
struct StateRecorder {
  explicit StateRecorder(Voxlet::Client& client)
      : connection(client.StateChanged().connect([record = record](Voxlet::Client& c, int state) {
          if (state == Voxlet::ClientStates::Disconnected) c.SetReconnectWanted(true);
          record->Update([state](std::vector<int>& v) { v.push_back(state); });
        })) {}
  bool WaitForCount(size_t n) {
    return states.WaitFor([n](const std::vector<int>& v) { return v.size() >= n; });
  }
  bool WaitForLast(int state, double seconds = kPatience) {
    return states.WaitFor([state](const std::vector<int>& v) { return !v.empty() && v.back() == state; }, seconds);
  }

  std::shared_ptr<Guarded<std::vector<int>>> record = std::make_shared<Guarded<std::vector<int>>>();
  Guarded<std::vector<int>>& states = *record;
  boost::signals2::scoped_connection connection;
};

inline Voxlet::MessagePtr NewMessage(int method, const std::u16string& path, const std::u16string& endpoint = u"") {
  auto m = Voxlet::Message::Create();
  m->Open(method, path);
  if (!endpoint.empty()) m->Headers()[Voxlet::Header::XVantrelVoxletEndpoint] = endpoint;
  return m;
}

inline const std::u16string kStatusPath = u"/voxlet/scripts/teachers/getServerActivatedStatus.js";
inline const std::u16string kReceiverHello =
    u"/voxlet/builtins/anyone/hello?subject=urn%3Acom.vantrel.voxlet%3Areceiver";

// Globals, a running simulator and a client connected to it.
class ConnectedClient : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim.Start(0));
    client = std::make_shared<Voxlet::Client>(true);
    recorder = std::make_unique<StateRecorder>(*client);
    ASSERT_TRUE(client->Connect(Voxlet::UTF8to16(sim.Uri())));
    ASSERT_TRUE(recorder->WaitForLast(Voxlet::ClientStates::Connected));
  }
  void TearDown() override {
    client.reset();  // no signal runs once the client is gone
    recorder.reset();
  }

  // Sends and waits for the end of the exchange.
  Voxlet::MessagePtr Exchange(const Voxlet::MessagePtr& m) {
    EXPECT_TRUE(client->Send(m));
    EXPECT_TRUE(m->BlockUntil(Voxlet::RequestStates::Complete, kPatience));
    return m;
  }

  // Sends `count` whois requests whose first reply the simulator holds back, counting their
  // completions; returns once the first is held.
  std::vector<Voxlet::MessagePtr> SendBehindAHeldReply(int count, Guarded<int>& completions) {
    sim.Server().HoldReplies("/voxlet/builtins/teachers/whois");
    std::vector<Voxlet::MessagePtr> sent;
    for (int i = 0; i < count; ++i) {
      auto m = NewMessage(Voxlet::Methods::Post, u"/voxlet/builtins/teachers/whois?subject=x", u"clicker");
      m->Completed().connect([&completions](const Voxlet::MessagePtr&) { completions.Update([](int& n) { ++n; }); });
      EXPECT_TRUE(client->Send(m));
      sent.push_back(m);
    }
    EXPECT_TRUE(sim.Server().WaitHeld(1, kPatience));
    return sent;
  }

  Voxlet::Globals globals;
  ServiceSim::ServiceSimulator sim{ServiceSim::Scenario{}};
  std::shared_ptr<Voxlet::Client> client;
  std::unique_ptr<StateRecorder> recorder;
};

}  // namespace HttpTest
