#include "bridge/SimulatedAnswers.h"

#include <chrono>
#include <cstdio>

#include "protocol/ReceiverPreferences.h"

namespace {

constexpr int kFallbackLatencyMs = 10000;
constexpr int kFallbackResponseWindowMs = 6000;
constexpr int kShortestMs = 1000;
constexpr int kLongestLatencyMs = 20000;

// Codes from 11 on are the free-text formats: their answers come up as one-part enhanced
// answer uploads (command, sequence number, total parts, part number); the others as plain
// answer uploads.
constexpr unsigned int kFirstTextCode = 11;
constexpr const char* kEnhancedUploadPrefix = "25,0,1,0";
constexpr const char* kUploadPrefix = "b";

// The canned answers: five answer bytes for the byte formats, a 26-byte text for the free-text
// ones ("SIMULATED ANSWER 123456789").
constexpr const char* kFirstChoice = "0x1,0x0,0x0,0x0,0x0";
constexpr const char* kNumber = "0x27,0x85,0x95,0xd,0x0";
constexpr const char* kOrder = "0x21,0x43,0x5,0x0,0x0";
constexpr const char* kText =
    "0x53,0x49,0x4d,0x55,0x4c,0x41,0x54,0x45,0x44,0x20,0x41,0x4e,0x53,0x57,0x45,0x52,0x20,"
    "0x31,0x32,0x33,0x34,0x35,0x36,0x37,0x38,0x39";

// By question code: selection and ordering (3, 4) get an order, decimal and fraction (5, 6) a
// number, the free-text formats the text, the choices and the rest the first choice.
const char* CannedAnswer(unsigned int code) {
  if (code >= kFirstTextCode) return kText;
  if (code == 3 || code == 4) return kOrder;
  if (code == 5 || code == 6) return kNumber;
  return kFirstChoice;
}

unsigned int FieldCount(const char* text) {
  unsigned int fields = 1;
  for (const char* c = text; *c; ++c) fields += (*c == ',');
  return fields;
}

}  // namespace

CSimulatedAnswers::~CSimulatedAnswers() { StopAndJoin(); }

CSimulatedAnswers::Settings CSimulatedAnswers::CheckedSettings(int64_t latencyMs, int64_t responseWindowMs) {
  if (latencyMs < kShortestMs || latencyMs > kLongestLatencyMs || responseWindowMs < kShortestMs ||
      latencyMs <= responseWindowMs)
    return {kFallbackLatencyMs, kFallbackResponseWindowMs};
  // The window is below the latency, so both fit an int and the window two bytes.
  return {static_cast<int>(latencyMs), static_cast<int>(responseWindowMs)};
}

CSimulatedAnswers::Settings CSimulatedAnswers::ReadSettings() {
  return CheckedSettings(ReceiverPreferences::ReadRegistryInteger(u"RemotesLatency", kFallbackLatencyMs),
                         ReceiverPreferences::ReadRegistryInteger(u"RemotesResponseWindow", kFallbackResponseWindowMs));
}

std::string CSimulatedAnswers::CommandText(const Settings& settings, unsigned int position, unsigned int questionCode) {
  const char* prefix = questionCode >= kFirstTextCode ? kEnhancedUploadPrefix : kUploadPrefix;
  const char* answer = CannedAnswer(questionCode);
  // The fields after the count: the prefix, the position and the answer.
  const unsigned int count = FieldCount(prefix) + 1 + FieldCount(answer);
  const auto window = static_cast<unsigned int>(settings.responseWindowMs);
  char text[256];
  snprintf(text, sizeof text, "ff,ff,26,3,%x,%x,0,0,0,0,%x,%s,%x,%s", (window >> 8) & 0xFF, window & 0xFF, count,
           prefix, position, answer);
  return text;
}

void CSimulatedAnswers::Start(std::vector<unsigned int> questionCodes, Settings settings, int firstWaitMs, Send send) {
  std::lock_guard<std::mutex> threadGuard(m_threadLock);
  Stop();
  if (m_thread.joinable()) m_thread.join();
  {
    std::lock_guard<std::mutex> guard(m_stateLock);
    m_running = true;
  }
  m_thread = std::thread([this, codes = std::move(questionCodes), settings, firstWaitMs, send = std::move(send)] {
    Run(codes, settings, firstWaitMs, send);
  });
}

void CSimulatedAnswers::Stop() {
  {
    std::lock_guard<std::mutex> guard(m_stateLock);
    m_running = false;
  }
  m_wake.notify_all();
}

void CSimulatedAnswers::StopAndJoin() {
  std::lock_guard<std::mutex> threadGuard(m_threadLock);
  Stop();
  if (m_thread.joinable()) m_thread.join();
}

bool CSimulatedAnswers::Running() const {
  std::lock_guard<std::mutex> guard(m_stateLock);
  return m_running;
}

bool CSimulatedAnswers::WaitFor(int milliseconds) {
  std::unique_lock<std::mutex> lock(m_stateLock);
  m_wake.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return !m_running; });
  return m_running;
}

void CSimulatedAnswers::Run(const std::vector<unsigned int>& questionCodes, Settings settings, int firstWaitMs,
                            const Send& send) {
  bool running = WaitFor(firstWaitMs);
  for (size_t i = 0; running && i < questionCodes.size(); ++i) {
    send(CommandText(settings, static_cast<unsigned int>(i + 1), questionCodes[i]));
    running = WaitFor(settings.latencyMs);
  }
  std::lock_guard<std::mutex> guard(m_stateLock);
  m_running = false;
}
