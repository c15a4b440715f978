// Writes the fuzz targets' seed corpora, one folder per target under the folder given:
//   fuzz_seeds <corpus dir>
// The receiver's and the software service's bytes are captured from the two simulators as they
// answer real requests; the SDK frames are the messages the SDK client and server exchange; the
// rest are small hand-made examples. Each seed of a target that reads its first byte as a
// setting (the read sizes of the link and SDK targets, the names of the registry target) has
// that byte in front.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "ReceiverSimulator.h"
#include "protocol/NullReceiverCommands.h"
#include "protocol/ReceiverProtocolHandler.h"
#include "sdk/SdkMessages.h"
#include "tools/service-sim/Scenario.h"
#include "tools/service-sim/ServiceSimulator.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {

fs::path g_root;

void Seed(const std::string& target, const std::string& name, const std::string& bytes) {
  const fs::path dir = g_root / target;
  fs::create_directories(dir);
  std::ofstream(dir / name, std::ios::binary) << bytes;
}
void Seed(const std::string& target, const std::string& name, uint8_t setting, const Bytes& bytes) {
  Seed(target, name, std::string(1, static_cast<char>(setting)) + std::string(bytes.begin(), bytes.end()));
}

// ---- the receiver simulator ------------------------------------------------------------------

// Everything the simulator writes, as it is written.
class Capture {
 public:
  void Add(const Bytes& bytes) {
    std::lock_guard lock(m_lock);
    m_writes.push_back(bytes);
    m_changed.notify_all();
  }
  // Waits (bounded) until more than `count` writes were made; answers the writes after the
  // first `count`.
  std::vector<Bytes> After(size_t count) {
    std::unique_lock lock(m_lock);
    m_changed.wait_for(lock, std::chrono::seconds(5), [&] { return m_writes.size() > count; });
    return {m_writes.begin() + static_cast<long>(std::min(count, m_writes.size())), m_writes.end()};
  }
  size_t Count() {
    std::lock_guard lock(m_lock);
    return m_writes.size();
  }

 private:
  std::mutex m_lock;
  std::condition_variable m_changed;
  std::vector<Bytes> m_writes;
};

// The service side of the pty: the real protocol handler frames the commands it writes.
class PtyWriter : public CNullReceiverCommands {
 public:
  explicit PtyWriter(int fd) : m_fd(fd) {}
  void SendBytes(const uint8_t* bytes, uint32_t length) override {
    if (write(m_fd, bytes, length) != static_cast<ssize_t>(length)) perror("write to the receiver simulator");
  }
  void GetName(Voxlet::StringBuffer& name) override { name = u"seed"; }

 private:
  int m_fd;
};

bool ReceiverSeeds() {
  SimulatorConfig config;
  config.seed = 1;
  config.scanMs = 20;
  CReceiverSimulator sim(config);
  Capture capture;
  sim.OnWritten([&capture](const Bytes& bytes, std::chrono::steady_clock::time_point) { capture.Add(bytes); });
  if (!sim.Start()) return false;
  const int fd = open(sim.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  termios tio{};
  tcgetattr(fd, &tio);
  cfmakeraw(&tio);
  cfsetspeed(&tio, B57600);
  tcsetattr(fd, TCSANOW, &tio);

  PtyWriter writer(fd);
  CReceiverProtocolHandler handler(&writer, [] { return 1000u; });
  int n = 0;
  // Runs one step and keeps what the simulator wrote for it as one seed.
  const auto step = [&](const std::string& name, const std::function<void()>& action) {
    const size_t before = capture.Count();
    action();
    while (handler.SendNextPacket() == 1) {
    }
    // Packets sent with retries wait at the queue's front for an answer that this side never
    // reads: each step starts on an empty queue.
    handler.ClearSendQueue();
    Bytes bytes;
    for (const Bytes& w : capture.After(before)) bytes.insert(bytes.end(), w.begin(), w.end());
    if (!bytes.empty()) Seed("receiver_frame_fuzz", name, static_cast<uint8_t>(n++), bytes);
  };
  step("firmware", [&] { handler.QueryFirmwareInfo(); });
  step("product-code", [&] { handler.QueryProductCode(); });
  step("mac-address", [&] { handler.QueryMacAddress(); });
  step("scan", [&] {
    handler.StartBackgroundScan(0xFFFF, 2, 2);
    handler.QueryScanResults(0xFFFF);
  });
  step("network-up", [&] {
    handler.SetClassName("Room 101");
    handler.SetLoginRequirement({.loginRequired = true});
    handler.SetNetworkState(NetworkState::kStart, Delivery::kOnce);
  });
  step("joins", [&] { sim.JoinAll(); });
  step("login", [&] { sim.Login(1, "1002"); });
  step("hand-and-battery", [&] {
    sim.RaiseHand(0, true);
    sim.ReportBattery(1, true, 40);
  });
  step("answer", [&] { sim.Answer(0, 1, {0x01, 0x03}); });
  step("enhanced-answer", [&] {
    const std::string text = "Plants make sugar from light";
    sim.EnhancedAnswer(1, 3, 4, Bytes(text.begin(), text.end()), 8);
  });
  step("log-off", [&] {
    sim.EndSession(2);
    sim.LogOff(0);
    sim.Disassociate(1);
  });
  close(fd);
  sim.Stop();
  return n > 0;
}

// ---- the software-service simulator ----------------------------------------------------------

// One request on a connection of its own; answers the reply's bytes as they came.
std::string Exchange(uint16_t port, const std::string& request) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  std::string reply;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
    char buffer[4096];
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, 5000) == 1) {
      const ssize_t n = read(fd, buffer, sizeof buffer);
      if (n <= 0) break;
      reply.append(buffer, static_cast<size_t>(n));
    }
  }
  close(fd);
  return reply;
}

std::string Request(const std::string& method, const std::string& target, const std::string& headers = "",
                    const std::string& body = "") {
  return method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: Voxlet\r\nConnection: close\r\n" +
         headers + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string BodyOf(const std::string& reply) {
  const size_t end = reply.find("\r\n\r\n");
  return end == std::string::npos ? "" : reply.substr(end + 4);
}

bool ServiceSeeds(const std::string& dataDir) {
  std::string error;
  std::optional<ServiceSim::Scenario> scenario = ServiceSim::LoadScenario(dataDir + "/lesson.scenario", error);
  if (!scenario) {
    fprintf(stderr, "fuzz_seeds: %s\n", error.c_str());
    return false;
  }
  ServiceSim::ServiceSimulator sim(*scenario);
  if (!sim.Start(0)) return false;
  const uint16_t port = sim.Port();
  const std::string endpoint = "X-Vantrel-Voxlet-Endpoint: receiver-1\r\n";
  const std::string hello =
      Request("POST", "/voxlet/builtins/anyone/hello?subject=urn%3Acom.vantrel.voxlet%3Areceiver", endpoint,
              "<voxlet:runtime xmlns:voxlet=\"http://schemas.vantrel.org/2008/voxlet/\"/>");
  const auto keep = [&](const std::string& name, const std::string& reply) {
    if (!reply.empty()) Seed("http_reply_fuzz", name, reply);
    return reply;
  };
  keep("hello-created", Exchange(port, hello));
  keep(
      "subscribe",
      Exchange(port, Request("POST", "/voxlet/scripts/teachers/subscribe/ReceiverSubscribe.js?endpointXmlId=receiver-1",
                             endpoint)));
  bool ok = true;
  sim.Control("activate-class class-1", ok);
  sim.Control("activate-assessment lesson-quiz", ok);
  sim.Control("activate-question q1", ok);
  const std::string notifications = keep("hello-notifications", Exchange(port, hello));
  const std::string activated =
      keep("activated", Exchange(port, Request("GET", "/voxlet/scripts/teachers/getServerActivatedStatus.js")));
  const std::string assessment =
      keep("assessment", Exchange(port, Request("GET", "/voxlet/database/classes/class-1/lesson-quiz")));
  const std::string metadata =
      keep("metadata", Exchange(port, Request("GET", "/voxlet/database/classes/class-1/lesson-quiz/metadata")));
  keep("not-found", Exchange(port, Request("GET", "/voxlet/nothing-here")));
  keep("wrong-method", Exchange(port, Request("DELETE", "/voxlet/scripts/teachers/getServerActivatedStatus.js")));
  keep("hello-without-endpoint", Exchange(port, Request("POST", "/voxlet/builtins/anyone/hello")));
  sim.Stop();

  Seed("xml_fuzz", "notifications", BodyOf(notifications));
  Seed("xml_fuzz", "activated", BodyOf(activated));
  Seed("xml_fuzz", "assessment", BodyOf(assessment));
  Seed("rdf_fuzz", "metadata", BodyOf(metadata));
  return !BodyOf(activated).empty() && !BodyOf(metadata).empty();
}

// ---- SDK frames --------------------------------------------------------------------------------

void SdkSeeds() {
  int n = 0;
  const auto frame = [&n](const std::string& name, const MessageIntf& message) {
    const auto buffer = message.Write();
    Seed("sdk_frame_fuzz", name, static_cast<uint8_t>(n++), Bytes(buffer->Frame().begin(), buffer->Frame().end()));
  };
  // What the SDK client sends.
  frame("registration", CRegistrationMessage(42));
  CEmptyRequestMessage ping(SdkMessage::kPing, SdkMessage::kPingAnswer);
  ping.SetCorrelationId(1);
  frame("ping", ping);
  CVariableDataAsyncMessage command(SdkMessage::kSendCommand);
  command.Data().AddI32(1);
  command.Data().AddWideString(u"0,0,4,1");
  frame("send-command", command);
  CVariableIntMessage flags(SdkMessage::kSetLogFlags, 1);
  flags[0] = 0x1F;
  frame("set-log-flags", flags);
  CEmptyRequestMessage getFlags(SdkMessage::kGetLogFlags, SdkMessage::kLogFlags);
  getFlags.SetCorrelationId(2);
  frame("get-log-flags", getFlags);
  CEmptyRequestMessage getName(SdkMessage::kGetLogFileName, SdkMessage::kLogFileName);
  getName.SetCorrelationId(3);
  frame("get-log-file-name", getName);
  frame("reset-log", CEmptyMessage(SdkMessage::kResetLog));
  // What the SDK server sends.
  std::vector<ReceiverStatusW> records(2);
  records[0].receiverNumber = 1;
  records[0].receiverState = 0;
  CStatusMessage::SetName(records[0], u"/dev/ttyACM0");
  records[1].receiverNumber = 2;
  records[1].receiverState = 2;
  CStatusMessage::SetName(records[1], u"/dev/pts/7");
  frame("status", CStatusMessage(records));
  frame("log-changed", CEmptyMessage(SdkMessage::kLogChanged));
  frame("ping-answer", CEmptyResponseMessage(SdkMessage::kPingAnswer, 1));
  frame("log-file-name", CStringResponseMessage(SdkMessage::kLogFileName, 3, u"/var/log/ovanta/ovanta.log"));
  CVariableDataResponseMessage answer(SdkMessage::kLogFlags, 2);
  answer.Data().AddI32(0x1F);
  frame("log-flags", answer);
  // A session: registration, then several requests in one stream.
  Bytes session;
  for (const MessageIntf* m : std::initializer_list<const MessageIntf*>{&ping, &command, &flags, &getFlags}) {
    const auto buffer = m->Write();
    session.insert(session.end(), buffer->Frame().begin(), buffer->Frame().end());
  }
  Seed("sdk_frame_fuzz", "session", 2, session);
}

// ---- hand-made seeds ---------------------------------------------------------------------------

void HandMadeSeeds() {
  // Command texts as SDK clients type them.
  Seed("command_text_fuzz", "network-start", "0,0,4,1");
  Seed("command_text_fuzz", "firmware", "00,00,00");
  Seed("command_text_fuzz", "session-end", "ff,ff,e,2");
  Seed("command_text_fuzz", "odd-fields", " 0x1,zz,,27, 3");

  // HID report descriptors: a vendor receiver (64-byte reports), one with report ids and a
  // feature report, and a pushed and popped global state.
  const auto hid = [](const std::string& name, const Bytes& d) {
    Seed("hid_descriptor_fuzz", name, std::string(d.begin(), d.end()));
  };
  hid("vendor", {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x08, 0x95, 0x40, 0x15, 0x00,
                 0x26, 0xFF, 0x00, 0x09, 0x01, 0x81, 0x02, 0x09, 0x01, 0x91, 0x02, 0xC0});
  hid("numbered", {0x85, 0x01, 0x75, 0x08, 0x95, 0x08, 0x81, 0x02, 0x85, 0x02,
                   0x95, 0x20, 0x81, 0x02, 0x85, 0x03, 0x95, 0x04, 0xB1, 0x02});
  hid("push-pop", {0x75, 0x08, 0x95, 0x02, 0xA4, 0x95, 0x10, 0x81, 0x02, 0xB4, 0x91, 0x02, 0xFE, 0x02, 0x00, 0x00, 0x00,
                   0xB1, 0x02});

  // Registry stores: the three setting bytes, then the file.
  Seed("registry_fuzz", "service",
       std::string("\x01\x00\x00", 3) +
           "[HKEY_LM\\SOFTWARE\\Vantrel\\Voxlet\\SoftwareService]\nUri=http://127.0.0.1:8630/\n\n"
           "[HKEY_LM\\SOFTWARE\\Vantrel\\Voxlet\\HardwareService]\nPorts=/dev/pts/3;/dev/pts/4\nBaudRate=57600\n");
  Seed("registry_fuzz", "hand-edited",
       std::string("\x06\x01\x02", 3) +
           "; edited by hand\r\n  [ hkey_lm\\software\\vantrel\\voxlet\\hardwareservice ]  \r\n"
           "  PORTS = /dev/ttyUSB0 \r\nports=second\r\n[HKEY_CU\\a]\nx=1\n[HKEY_LM\\a]\nX=2");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: fuzz_seeds <corpus dir>\n");
    return 2;
  }
  g_root = argv[1];
  bool ok = ReceiverSeeds();
  if (!ok) fprintf(stderr, "fuzz_seeds: no traffic from the receiver simulator\n");
  if (!ServiceSeeds(OVANTA_SERVICE_SIM_DATA)) {
    fprintf(stderr, "fuzz_seeds: no replies from the software-service simulator\n");
    ok = false;
  }
  SdkSeeds();
  HandMadeSeeds();
  return ok ? 0 : 1;
}
