// The simulated-answers mode: its command texts and settings, its thread's walk and how it is
// stopped. (The mode switched on in the registry and driven by a question through the service
// binary is the relay-simulated-answers replay transcript.)
#include "BridgeFixture.h"
#include "bridge/SimulatedAnswers.h"
#include "protocol/CommandText.h"

namespace {

// The texts the mode handed over, for waiting on.
class SentTexts {
 public:
  CSimulatedAnswers::Send Sink() {
    return [this](const std::string& text) {
      std::lock_guard<std::mutex> guard(m_lock);
      m_texts.push_back(text);
      m_changed.notify_all();
    };
  }
  std::vector<std::string> Texts() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_texts;
  }
  bool WaitFor(size_t count) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, std::chrono::seconds(20), [&] { return m_texts.size() >= count; });
  }

 private:
  std::mutex m_lock;
  std::condition_variable m_changed;
  std::vector<std::string> m_texts;
};

constexpr int kForever = 10 * 60 * 1000;  // a wait no test lives to see end by itself
const CSimulatedAnswers::Settings kQuick{1, 1};

// The bytes of a command text: address, command 0x26, kind 3, window, four zeros, the count of
// the fields after it, and those fields.
struct SimulatedCommand {
  uint16_t window = 0;
  Bytes afterCount;
  size_t count = 0;
};

SimulatedCommand Decode(const Bytes& bytes) {
  SimulatedCommand command;
  EXPECT_GE(bytes.size(), 11u);
  if (bytes.size() < 11) return command;
  EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 4), (Bytes{0xFF, 0xFF, 0x26, 0x03}));
  EXPECT_EQ(Bytes(bytes.begin() + 6, bytes.begin() + 10), (Bytes{0, 0, 0, 0}));
  command.window = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
  command.count = bytes[10];
  command.afterCount.assign(bytes.begin() + 11, bytes.end());
  return command;
}

// Each kind of question gets its own kind of answer upload, and the count always covers every
// field that follows it (the clickers read exactly that many).
TEST(SimulatedAnswersCommand, CarriesWindowPositionAndTheAnswerOfTheQuestionsKind) {
  const CSimulatedAnswers::Settings settings{5000, 0x1234};
  for (unsigned code : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 11u, 12u, 13u}) {
    SCOPED_TRACE(code);
    const SimulatedCommand command = Decode(ParseCommandText(CSimulatedAnswers::CommandText(settings, 7, code)));
    EXPECT_EQ(command.window, 0x1234);
    ASSERT_EQ(command.count, command.afterCount.size());
    if (code >= 11) {
      // A one-part enhanced answer upload of a 26-byte text for question 7.
      ASSERT_EQ(command.afterCount.size(), 4u + 1u + 26u);
      EXPECT_EQ(Bytes(command.afterCount.begin(), command.afterCount.begin() + 5), (Bytes{0x25, 0, 1, 0, 7}));
    } else {
      // A plain answer upload of five answer bytes for question 7.
      ASSERT_EQ(command.afterCount.size(), 1u + 1u + 5u);
      EXPECT_EQ(command.afterCount[0], 0x0B);
      EXPECT_EQ(command.afterCount[1], 7);
    }
  }
  const std::pair<unsigned, Bytes> answers[] = {
      {2, {0x01, 0, 0, 0, 0}}, {4, {0x21, 0x43, 0x05, 0, 0}}, {5, {0x27, 0x85, 0x95, 0x0D, 0}}};
  for (const auto& [code, answer] : answers) {
    const Bytes fields = Decode(ParseCommandText(CSimulatedAnswers::CommandText(settings, 1, code))).afterCount;
    EXPECT_EQ(Bytes(fields.begin() + 2, fields.end()), answer) << code;
  }
}

// Unusable pairs fall back to ten and six seconds; the registry's values go through the same check.
TEST(SimulatedAnswersSettings, UnusablePairsFallBackToTenAndSixSeconds) {
  const int64_t cases[][4] = {
      {3000, 2000, 3000, 2000},    // usable
      {20000, 1000, 20000, 1000},  // both at their limits
      {1001, 1000, 1001, 1000},    // latency just above the window
      {999, 500, 10000, 6000},     // latency too short
      {20001, 6000, 10000, 6000},  // latency too long
      {5000, 999, 10000, 6000},    // window too short
      {4000, 4000, 10000, 6000},   // latency not above the window
      {4000, 5000, 10000, 6000},   // window longer than the latency
      {-1, -1, 10000, 6000},       // a value the registry cannot have meant
  };
  for (const auto& c : cases) {
    const CSimulatedAnswers::Settings settings = CSimulatedAnswers::CheckedSettings(c[0], c[1]);
    EXPECT_EQ(settings.latencyMs, c[2]) << c[0] << "/" << c[1];
    EXPECT_EQ(settings.responseWindowMs, c[3]) << c[0] << "/" << c[1];
  }
  ScopedTempRegistry registry;
  const auto read = [](uint32_t latency, uint32_t window) {
    const std::string key = "SOFTWARE\\Vantrel\\Voxlet\\HardwareService";
    EXPECT_TRUE(WriteRegistryDword(Platform::kLocalMachine, key, "RemotesLatency", latency, kRegistryStoreName));
    EXPECT_TRUE(WriteRegistryDword(Platform::kLocalMachine, key, "RemotesResponseWindow", window, kRegistryStoreName));
    const CSimulatedAnswers::Settings s = CSimulatedAnswers::ReadSettings();
    return std::make_pair(s.latencyMs, s.responseWindowMs);
  };
  EXPECT_EQ(CSimulatedAnswers::ReadSettings().latencyMs, 10000);  // nothing stored
  EXPECT_EQ(read(4000, 2500), std::make_pair(4000, 2500));
  EXPECT_EQ(read(4000, 4000), std::make_pair(10000, 6000));
}

// The thread walks the list in order, numbering from 1; a stop ends the wait it falls into at
// once; a new start replaces the previous run; the owner going away stops and joins the thread.
TEST(SimulatedAnswersThread, WalksInOrderAndStopsAtOnce) {
  SentTexts sent;
  CSimulatedAnswers mode;
  mode.Start({2, 4, 12}, kQuick, 0, sent.Sink());
  ASSERT_TRUE(sent.WaitFor(3));
  ASSERT_TRUE(WaitUntil([&] { return !mode.Running(); }));
  mode.StopAndJoin();
  EXPECT_EQ(sent.Texts(), (std::vector<std::string>{CSimulatedAnswers::CommandText(kQuick, 1, 2),
                                                    CSimulatedAnswers::CommandText(kQuick, 2, 4),
                                                    CSimulatedAnswers::CommandText(kQuick, 3, 12)}));

  SentTexts stopped;
  mode.Start({2, 2}, kQuick, kForever, stopped.Sink());
  EXPECT_TRUE(mode.Running());
  mode.StopAndJoin();
  EXPECT_FALSE(mode.Running());
  // Between two questions: Stop alone (as the assessment's deactivation does) ends the thread.
  mode.Start({2, 2}, {kForever, 1}, 0, stopped.Sink());
  ASSERT_TRUE(stopped.WaitFor(1));
  mode.Stop();
  ASSERT_TRUE(WaitUntil([&] { return !mode.Running(); }));
  mode.StopAndJoin();
  EXPECT_EQ(stopped.Texts().size(), 1u);

  SentTexts replaced, second;
  mode.Start({2}, kQuick, kForever, replaced.Sink());
  mode.Start({5}, kQuick, 0, second.Sink());
  ASSERT_TRUE(second.WaitFor(1));
  mode.StopAndJoin();
  EXPECT_TRUE(replaced.Texts().empty());
  EXPECT_EQ(second.Texts(), (std::vector<std::string>{CSimulatedAnswers::CommandText(kQuick, 1, 5)}));

  SentTexts none;
  {
    CSimulatedAnswers owned;
    owned.Start({2, 3}, kQuick, kForever, none.Sink());
  }
  mode.Start({}, kQuick, 0, none.Sink());
  ASSERT_TRUE(WaitUntil([&] { return !mode.Running(); }));
  EXPECT_TRUE(none.Texts().empty());
}

}  // namespace
