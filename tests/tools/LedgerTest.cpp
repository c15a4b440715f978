// The simulators' ledgers, the fault campaign's evidence: the receiver's record of the answers
// whose acknowledgements came back on its line, and the software service's record of every
// submission and what became of it, under the faults it plays on request.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include "tests/service/TestFiles.h"
#include "tests/tools/SampleLesson.h"
#include "tests/tools/SimHttp.h"
#include "tools/receiver-sim/AnswerLedger.h"
#include "tools/receiver-sim/ReceiverSimulator.h"
#include "tools/receiver-sim/SimFraming.h"
#include "tools/service-sim/ServiceSimulator.h"

namespace {

std::vector<std::vector<std::string>> LedgerFields(const std::string& path) {
  std::vector<std::vector<std::string>> lines;
  std::istringstream in(ReadFile(path));
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    lines.emplace_back();
    for (std::string word; words >> word;) lines.back().push_back(word);
  }
  return lines;
}

LedgerAnswer TypedAnswer(uint32_t macLow, int question, const char* kind, std::vector<uint8_t> bytes,
                         const char* text) {
  LedgerAnswer answer;
  answer.clickerMacHigh = 0x00124B00;
  answer.clickerMacLow = macLow;
  answer.address = static_cast<uint16_t>(0x0100 + (macLow & 0xFF));
  answer.question = question;
  answer.kind = kind;
  answer.bytes = std::move(bytes);
  answer.text = text;
  return answer;
}

}  // namespace

TEST(ToolsAnswerLedger, AcknowledgementsCountInLineOrderAndAMultiPartAnswerOnlyWhenEveryPartCame) {
  TempDir dir;
  CAnswerLedger ledger;
  ASSERT_TRUE(ledger.Open(dir.File("receiver.ledger"), 0x00124B00, 0x0A0B0C0D));
  ledger.Expect(TypedAnswer(0x0A0B0C0E, 2, "number", {0x45, 0x03}, "12345"), 0x0B, 1);
  ledger.Expect(TypedAnswer(0x0A0B0C0F, 4, "text", {0x41, 0x42, 0x43}, "answer 7"), 0x25, 3);
  ledger.Expect(TypedAnswer(0x0A0B0C10, 1, "choice", {0x03}, "C"), 0x0B, 1);

  ledger.Acknowledged(0x0B);
  ledger.Acknowledged(0x25);
  ledger.Acknowledged(0x25);
  EXPECT_EQ(ledger.Recorded(), 1u);  // two parts of three: the text answer is not through yet
  ledger.Acknowledged(0x0B);
  ledger.Acknowledged(0x25);
  ledger.Acknowledged(0x25);  // nothing waits for it: ignored
  ledger.Review(0x00124B00, 0x0A0B0C10, 0x0110);

  const auto lines = LedgerFields(dir.File("receiver.ledger"));
  ASSERT_EQ(lines.size(), 4u);
  const std::vector<std::string> number = {
      "answer", "00-12-4B-00-0A-0B-0C-0D", "00-12-4B-00-0A-0B-0C-0E", "010e", "2", "number", "4503", "12345"};
  EXPECT_EQ(std::vector<std::string>(lines[0].begin() + 1, lines[0].end()), number);
  EXPECT_EQ(lines[1][3], "00-12-4B-00-0A-0B-0C-10");
  EXPECT_EQ(lines[1][8], "C");
  EXPECT_EQ(lines[2][7], "414243");
  EXPECT_EQ(std::vector<std::string>(lines[2].begin() + 8, lines[2].end()), (std::vector<std::string>{"answer", "7"}));
  EXPECT_EQ(std::vector<std::string>(lines[3].begin() + 1, lines[3].end()),
            (std::vector<std::string>{"review", "00-12-4B-00-0A-0B-0C-0D", "00-12-4B-00-0A-0B-0C-10", "0110"}));
  for (const auto& line : lines) EXPECT_GT(std::stoll(line[0]), 1700000000000LL);  // ms since the epoch
}

TEST(ToolsAnswerLedger, APacketNeverAcknowledgedDoesNotTakeALaterOnesAcknowledgement) {
  TempDir dir;
  CAnswerLedger ledger;
  ASSERT_TRUE(ledger.Open(dir.File("receiver.ledger"), 0x00124B00, 0x0A0B0C0D));
  const auto now = CAnswerLedger::Clock::now();
  const auto old = now - std::chrono::milliseconds(CAnswerLedger::kAckWaitMs + 1);
  ledger.Expect(TypedAnswer(0x0A0B0C0E, 2, "number", {0x41}, "1"), 0x0B, 1, old);  // flushed, never read
  ledger.Expect(TypedAnswer(0x0A0B0C0F, 2, "number", {0x42}, "2"), 0x0B, 1, now);
  ledger.Acknowledged(0x0B, now);
  // A line replaced (the receiver plugged in again): what waited gets no acknowledgement.
  ledger.Expect(TypedAnswer(0x0A0B0C10, 2, "number", {0x43}, "3"), 0x0B, 1, now);
  ledger.ForgetPending();
  ledger.Acknowledged(0x0B, now);

  const auto lines = LedgerFields(dir.File("receiver.ledger"));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0][8], "2");
}

TEST(ToolsAnswerLedger, WithoutAFileNothingIsTrackedAndAnUnopenablePathIsReported) {
  CAnswerLedger ledger;
  ledger.Expect(TypedAnswer(0x0A0B0C0E, 2, "number", {0x41}, "1"), 0x0B, 1);
  ledger.Acknowledged(0x0B);
  EXPECT_EQ(ledger.Recorded(), 0u);
  EXPECT_FALSE(ledger.Open("/nonexistent-directory/receiver.ledger", 0, 0));
}

namespace {

// The service's side of the simulator's line: reads its packets and acknowledges some.
class ServiceSideOfLine {
 public:
  explicit ServiceSideOfLine(const std::string& path) : m_fd(open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {}
  ~ServiceSideOfLine() {
    if (m_fd >= 0) close(m_fd);
  }
  bool Open() const { return m_fd >= 0; }
  // The next clicker packet of `command`, waiting up to 5 s for it.
  std::optional<std::vector<uint8_t>> Next(uint8_t command) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < end) {
      for (size_t at; (at = m_buffer.find('\0')) != std::string::npos;) {
        const std::vector<uint8_t> stuffed(m_buffer.begin(), m_buffer.begin() + static_cast<long>(at));
        m_buffer.erase(0, at + 1);
        const auto packet = SimFraming::Unframe(stuffed);
        if (packet && packet->size() >= 3 && (*packet)[2] == command) return packet;
      }
      pollfd p{m_fd, POLLIN, 0};
      if (poll(&p, 1, 100) != 1) continue;
      char bytes[256];
      const ssize_t n = read(m_fd, bytes, sizeof bytes);
      if (n > 0) m_buffer.append(bytes, static_cast<size_t>(n));
    }
    return std::nullopt;
  }
  void Send(const std::vector<uint8_t>& packet) {
    const std::vector<uint8_t> frame = SimFraming::Frame(packet);
    ASSERT_EQ(write(m_fd, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
  }

 private:
  int m_fd;
  std::string m_buffer;
};

}  // namespace

TEST(ToolsAnswerLedger, TheReceiverRecordsWhatTheServiceAcknowledgedOnItsLineAndOnlyThat) {
  TempDir dir;
  SimulatorConfig config;
  config.enhancedChunk = 4;
  CReceiverSimulator sim(config);
  ASSERT_TRUE(sim.OpenLedger(dir.File("receiver.ledger")));
  ASSERT_TRUE(sim.Start());
  ServiceSideOfLine line(sim.SlavePath());
  ASSERT_TRUE(line.Open());

  ASSERT_TRUE(sim.AnswerText(0, "12345", 2, SimAnswers::Kind::Number));
  ASSERT_TRUE(sim.AnswerText(1, "answer 99", 4, SimAnswers::Kind::Text));  // three parts of four bytes
  ASSERT_TRUE(sim.AnswerText(2, "777", 2, SimAnswers::Kind::Number));
  ASSERT_TRUE(line.Next(0x0B));
  line.Send({0x00, 0x00, 0x8B});
  for (int part = 0; part < 3; ++part) {
    ASSERT_TRUE(line.Next(0x25)) << part;
    line.Send({0x00, 0x00, 0xA5});
  }
  ASSERT_TRUE(line.Next(0x0B));         // the third answer reaches the service, which acknowledges nothing
  line.Send({0x01, 0x02, 0x0E, 0x00});  // clicker 2 into review mode
  ASSERT_TRUE(sim.WaitForClickers([](const auto& c) { return c.count(2) && c.at(2).inReview; }, 5000));

  const auto lines = LedgerFields(dir.File("receiver.ledger"));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0][3], "00-12-4B-00-0A-0B-0C-0D");
  EXPECT_EQ(lines[0][8], "12345");
  EXPECT_EQ(lines[1][3], "00-12-4B-00-0A-0B-0C-0E");
  EXPECT_EQ(lines[1][5], "4");
  EXPECT_EQ(lines[1][6], "text");
  EXPECT_EQ(std::vector<std::string>(lines[1].begin() + 8, lines[1].end()), (std::vector<std::string>{"answer", "99"}));
  EXPECT_EQ(lines[2][1], "review");
  EXPECT_EQ(lines[2][3], "00-12-4B-00-0A-0B-0C-0F");
  sim.Stop();
}

TEST(ToolsAnswerLedger, SignedInOnlyClickersAnswerNothingOutsideTheirSession) {
  SimulatorConfig config;
  config.signedInOnly = true;
  CReceiverSimulator sim(config);
  ASSERT_TRUE(sim.Start());
  // Not signed in, and no question sent: nothing goes out.
  EXPECT_FALSE(sim.AnswerText(0, "12345", 2, SimAnswers::Kind::Number));
  EXPECT_FALSE(sim.AnswerText(0, "A", 1, SimAnswers::Kind::Choice));
  sim.Stop();
  for (const auto& packet : sim.Sent()) EXPECT_NE(packet[2], 0x0B);
}

namespace {

std::pair<int, std::string> Exchange(uint16_t port, const std::string& target, const std::vector<std::string>& headers,
                                     const std::string& body) {
  return SimHttpExchange(port, "POST", target, headers, body);
}

const std::string kClickerEndpoint = "X-Vantrel-Voxlet-Endpoint: clicker-7";
const std::string kClickerMac = "00-12-4B-00-0A-0B-0C-14";

std::string SubmissionDocument(const std::string& answer) {
  return "<?xml version=\"1.0\"?><voxlet:submission xmlns:voxlet=\"http://schemas.vantrel.org/2008/voxlet/\" "
         "voxlet:studentid=\"s-1007\"><voxlet:response voxlet:questionid=\"q2\">" +
         answer + "</voxlet:response></voxlet:submission>";
}

std::pair<int, std::string> Submit(uint16_t port, const std::string& answer) {
  return Exchange(port, "/voxlet/builtins/teachers/submit?assessment=lesson-quiz&class=class-1",
                  {kClickerEndpoint, "X-Vantrel-Voxlet-Student: s-1007", "Content-Type: application/xml"},
                  SubmissionDocument(answer));
}

}  // namespace

TEST(ToolsServiceSimLedger, EverySubmissionIsRecordedWithWhatBecameOfItUnderEachFault) {
  TempDir dir;
  ServiceSim::ServiceSimulator simulator(SampleLessonWithoutTimeline());
  ASSERT_TRUE(simulator.OpenLedger(dir.File("service.ledger")));
  ASSERT_TRUE(simulator.Start(0));
  const uint16_t port = simulator.Port();
  auto control = [&](const std::string& line) { return Exchange(port, "/control", {}, line); };
  ASSERT_EQ(control("activate-class class-1\nactivate-assessment lesson-quiz").first, 200);
  ASSERT_EQ(Submit(port, "1").first, 404);  // no hello yet: an unknown endpoint
  ASSERT_EQ(Exchange(port, "/voxlet/builtins/anyone/hello?subject=urn%3Acom.vantrel.voxlet%3Aclicker",
                     {kClickerEndpoint, "X-Vantrel-Voxlet-MacAddress: " + kClickerMac}, "")
                .first,
            201);
  EXPECT_EQ(Submit(port, "2").first, 200);
  EXPECT_EQ(Submit(port, "2").first, 200);  // byte for byte again
  ASSERT_EQ(control("fault refuse " + kClickerMac).first, 200);
  EXPECT_EQ(Submit(port, "3").first, 403);
  ASSERT_EQ(control("fault refuse off\nfault unavailable on").first, 200);
  EXPECT_EQ(Submit(port, "4").first, 503);
  EXPECT_EQ(control("state").first, 200);  // the control path is never faulted
  ASSERT_EQ(control("fault unavailable off\nfault reset on").first, 200);
  EXPECT_EQ(Submit(port, "5").first, 0);
  ASSERT_EQ(control("fault clear\nfault slow 0.05").first, 200);
  EXPECT_EQ(Submit(port, "6").first, 200);  // late, but answered
  ASSERT_EQ(control("fault slow off").first, 200);
  EXPECT_EQ(Submit(port, "7").first, 200);
  ASSERT_EQ(Exchange(port, "/voxlet/builtins/anyone/goodbye", {kClickerEndpoint}, "").first, 200);
  EXPECT_EQ(Submit(port, "8").first, 404);  // after its own goodbye
  EXPECT_EQ(control("fault slow soon").first, 400);
  EXPECT_EQ(control("fault explode on").first, 400);
  simulator.Stop();

  const auto lines = LedgerFields(dir.File("service.ledger"));
  ASSERT_EQ(lines.size(), 9u);
  // outcome, status, delay, endpoint, student, MAC, class, assessment, question, digest, answer
  const std::vector<std::vector<std::string>> expected = {
      {"refused", "404", "0", "clicker-7", "s-1007", "-", "class-1", "lesson-quiz", "q2", "1"},
      {"accepted", "200", "0", "clicker-7", "s-1007", kClickerMac, "class-1", "lesson-quiz", "q2", "2"},
      {"duplicate", "200", "0", "clicker-7", "s-1007", kClickerMac, "class-1", "lesson-quiz", "q2", "2"},
      {"refused", "403", "0", "clicker-7", "s-1007", kClickerMac, "class-1", "lesson-quiz", "q2", "3"},
      {"unavailable", "503", "0", "clicker-7", "s-1007", "-", "class-1", "lesson-quiz", "q2", "4"},
      {"reset", "0", "0", "clicker-7", "s-1007", "-", "class-1", "lesson-quiz", "q2", "5"},
      {"accepted", "200", "50", "clicker-7", "s-1007", kClickerMac, "class-1", "lesson-quiz", "q2", "6"},
      {"accepted", "200", "0", "clicker-7", "s-1007", kClickerMac, "class-1", "lesson-quiz", "q2", "7"},
      {"after-goodbye", "404", "0", "clicker-7", "s-1007", "-", "class-1", "lesson-quiz", "q2", "8"},
  };
  for (size_t k = 0; k < expected.size(); ++k) {
    ASSERT_EQ(lines[k].size(), 12u) << k;
    std::vector<std::string> fields(lines[k].begin() + 1, lines[k].end());
    fields.erase(fields.begin() + 9);  // the digest, compared below
    EXPECT_EQ(fields, expected[k]) << k;
  }
  EXPECT_EQ(lines[1][10], lines[2][10]);  // the same document, the same digest
  EXPECT_EQ(lines[1][10], ServiceSim::SubmissionLedger::Digest(SubmissionDocument("2")));
  EXPECT_NE(lines[1][10], lines[6][10]);
  EXPECT_EQ(lines[4][10], ServiceSim::SubmissionLedger::Digest(SubmissionDocument("4")));  // known unread
}
