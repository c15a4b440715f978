// Feeds arbitrary bytes as the command text of an SDK client's send-command message: the
// message goes through the service's SDK handler into a receiver (open on a link in memory),
// which turns the text into a packet and writes its frame to the link.
//
// Besides the sanitizers, checks what reaches the link: one frame carrying exactly the bytes
// the text lists, or nothing when the receiver refuses the text (more fields than a packet
// holds, or a packet that cannot be framed).
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "protocol/CommandText.h"
#include "protocol/Frame.h"
#include "protocol/Receiver.h"
#include "sdk/server/OVSDKServerImpl.h"
#include "sdk/server/SdkServerEvents.h"

namespace {

[[noreturn]] void Fail(const char* why) {
  fprintf(stderr, "command_text_fuzz: %s\n", why);
  abort();
}

// The link in memory: keeps every byte the receiver writes; nothing ever arrives.
class MemoryLink : public ISBConnection {
 public:
  explicit MemoryLink(const SBConnectionInfo& info) : ISBConnection(info) {}
  uint32_t Open() override { return 0; }
  bool IsOpen() override { return true; }
  void Close() override {}
  std::unique_ptr<CSBIOPacket> GetReceivedPacket() override { return nullptr; }
  CWaitEvent* GetReceiveEvent() override { return &m_received; }
  void Send(std::unique_ptr<CSBIOPacket> packet) override {
    std::lock_guard<std::mutex> guard(m_lock);
    for (uint32_t i = 0; i < packet->PayloadLength(); ++i) {
      m_frame.push_back(packet->Payload()[i]);
      if (packet->Payload()[i] != 0) continue;
      m_frames.push_back(std::move(m_frame));
      m_frame.clear();
    }
    m_changed.notify_all();
  }
  bool WaitForSendsDone() override { return true; }
  Voxlet::StringBuffer GetPnPId() override { return {}; }
  bool SetCommParams(uint32_t, uint8_t, uint8_t, uint8_t) override { return true; }
  bool GetCommParams(uint32_t*, uint8_t*, uint8_t*, uint8_t*) override { return false; }
  bool GetNextCommParams(uint32_t*, uint8_t*, uint8_t*, uint8_t*) override { return false; }
  bool ResetDevice(uint32_t) override { return false; }
  bool IsDeviceLost() override { return false; }

  // Waits for a frame that decodes to `marker` and answers the packets of the frames before
  // it (taking them all); aborts when it does not come.
  std::vector<std::vector<uint8_t>> PacketsUpTo(const std::vector<uint8_t>& marker) {
    std::unique_lock<std::mutex> lock(m_lock);
    std::vector<std::vector<uint8_t>> packets;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
      while (!m_frames.empty()) {
        std::vector<uint8_t> frame = std::move(m_frames.front());
        m_frames.erase(m_frames.begin());
        std::vector<uint8_t> packet(frame.size());
        const ReceiverFrame::Decoded d = ReceiverFrame::Decode(frame.data(), frame.size(), packet.data());
        if (d.result != ReceiverFrame::DecodeResult::kOk) Fail("the receiver wrote a frame that does not decode");
        packet.resize(d.length);
        if (packet == marker) return packets;
        packets.push_back(std::move(packet));
      }
      if (m_changed.wait_until(lock, deadline) == std::cv_status::timeout && m_frames.empty())
        Fail("the receiver stopped writing to its link");
    }
  }

 private:
  CWaitEvent m_received;
  std::mutex m_lock;
  std::condition_variable m_changed;
  std::vector<uint8_t> m_frame;
  std::vector<std::vector<uint8_t>> m_frames;
};

// The receiver manager as the SDK server sees it: one receiver, number 1.
class OneReceiver : public ISDKServerEvents {
 public:
  explicit OneReceiver(CReceiver& receiver) : m_receiver(receiver) {}
  std::string lastCommand;
  bool commanded = false;

  int GetReceiverCount() override { return 1; }
  int GetReceiverStatus(int, ReceiverStatusW*) override { return 0; }
  void OnSendCommand(int receiverNumber, const std::string& command) override {
    if (receiverNumber != 1) return;
    lastCommand = command;
    commanded = true;
    // Sent once: a retried packet would wait at the front of the queue for an answer that
    // never comes.
    m_receiver.SendCommandText(command, Delivery::kOnce);
  }
  void GetLogFileName(std::string&) override {}
  void SetLogFlags(uint16_t) override {}
  uint16_t GetLogFlags() override { return 0; }
  void FlushLog() override {}

 private:
  CReceiver& m_receiver;
};

struct Setup {
  MemoryLink* link = nullptr;
  std::unique_ptr<CReceiver> receiver;
  std::unique_ptr<OneReceiver> events;
  std::shared_ptr<COVSDKServerImpl> server;
};

Setup& TheSetup() {
  static Setup* setup = [] {
    // No registry store: every setting at its default.
    setenv("OVANTA_REGISTRY", "/nonexistent/ovanta-fuzz/registry.ini", 1);
    auto* s = new Setup;
    ReceiverEnvironment env;
    env.makeLink = [s](const SBConnectionInfo& info) {
      auto link = std::make_unique<MemoryLink>(info);
      s->link = link.get();
      return link;
    };
    // A second passes between any two looks at the clock: no packet is ever held back waiting
    // for an earlier one's answer, so packets go out in the order queued.
    auto tick = std::make_shared<std::atomic<uint32_t>>(1000);
    env.clock = [tick] { return tick->fetch_add(1000); };
    env.startupStepMs = 24 * 3600 * 1000;  // the start-up worker never gets going
    s->receiver = std::make_unique<CReceiver>(nullptr, env);
    if (s->receiver->Open(u"/dev/ttyFUZZ") != 0) Fail("the receiver did not open on its link");
    s->events = std::make_unique<OneReceiver>(*s->receiver);
    s->server = std::make_shared<COVSDKServerImpl>(s->events.get());
    return s;
  }();
  return *setup;
}

const std::vector<uint8_t> kMarker = {0xEE, 0xEE, 0xEE};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Setup& setup = TheSetup();
  CVariableDataAsyncMessage message(SdkMessage::kSendCommand);
  message.Data().AddI32(1);
  message.Data().AddWideString(Voxlet::UTF8to16(std::string(reinterpret_cast<const char*>(data), size)));
  setup.events->commanded = false;
  setup.server->HandleRequest(*message.Write());
  if (!setup.events->commanded) Fail("a well-formed send-command message did not reach the receiver");

  const std::string& text = setup.events->lastCommand;
  const std::vector<uint8_t> expected = ParseCommandText(text);
  const size_t fields = static_cast<size_t>(std::count(text.begin(), text.end(), ',')) + 1;
  if (expected.size() != fields) Fail("the text's packet does not have one byte per field");
  const bool sendable =
      fields <= ReceiverFrame::kMaxPacket && ReceiverFrame::CanFrame(expected.data(), expected.size());

  setup.receiver->SendCommandText("ee,ee,ee", Delivery::kOnce);
  std::vector<std::vector<uint8_t>> packets = setup.link->PacketsUpTo(kMarker);
  if (sendable && expected == kMarker) {
    // The text's own packet was taken for the marker: the marker follows it.
    if (!packets.empty()) Fail("packets the text does not list went out");
    packets = setup.link->PacketsUpTo(kMarker);
    packets.insert(packets.begin(), kMarker);
  }
  if (sendable && packets != std::vector<std::vector<uint8_t>>{expected})
    Fail("the packet on the link is not the one the text lists");
  if (!sendable && !packets.empty()) Fail("a text the receiver must refuse went out");
  return 0;
}
