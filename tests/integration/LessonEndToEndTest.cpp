// A lesson through the service binary with both simulators: thirty clickers join a roster class
// and log in, answer every question of the quiz, get their review results; then the class is
// switched to an anonymous one, where they sign in under their own numbers and answer again; on
// Ctrl-C every clicker is said goodbye for.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "tests/integration/ChildProcess.h"
#include "tests/integration/ServiceSetup.h"
#include "tests/service/TestFiles.h"
#include "tests/tools/SampleLesson.h"
#include "tools/receiver-sim/ReceiverSimulator.h"
#include "tools/service-sim/ServiceSimulator.h"

namespace {

constexpr int kClickers = 30;
constexpr double kWaitSeconds = 60;

// The text the software service gets for what a clicker typed: a choice typed by position is its
// label (the quiz labels its choices A, B, C, ...).
std::string Expected(const ClickerAnswer& answer) {
  if (answer.kind != "choice") return answer.text;
  std::string labels;
  std::istringstream in(answer.text);
  for (std::string token; in >> token;) {
    if (!labels.empty()) labels += ' ';
    const bool number = !token.empty() && std::isdigit(static_cast<unsigned char>(token[0]));
    labels += number ? std::string(1, static_cast<char>('A' + std::stoi(token) - 1)) : token;
  }
  return labels;
}

// Keeps reading the service's standard error (console mode writes every log line there), so that
// it never blocks on a full pipe; kills the service if the test ends early.
class RunningService {
 public:
  explicit RunningService(ChildProcess& process)
      : m_process(process), m_reader([&process] { process.WaitForLine("\x01never\x01"); }) {}
  ~RunningService() { m_process.Signal(SIGKILL); }

 private:
  ChildProcess& m_process;
  std::jthread m_reader;
};

class LessonEndToEnd : public ::testing::Test {
 protected:
  LessonEndToEnd() : service(SampleLessonWithoutTimeline()) {}

  void Teacher(const std::string& line) {
    bool ok = false;
    const std::string reply = service.Control(line, ok);
    ASSERT_TRUE(ok) << line << ": " << reply;
  }
  bool Wait(const std::function<bool()>& done) { return service.Manager().WaitFor(done, kWaitSeconds); }
  size_t SubmissionsFor(const std::string& classId, const std::string& questionId) {
    size_t n = 0;
    for (const auto& s : service.Manager().Submissions())
      n += s.accepted && s.classId == classId && s.questionId == questionId;
    return n;
  }
  size_t SignedInClickers() {
    size_t n = 0;
    for (const auto& [id, e] : service.Manager().Endpoints()) n += e.kind == "clicker" && e.signedIn;
    return n;
  }

  ServiceSim::ServiceSimulator service;
};

TEST_F(LessonEndToEnd, ThirtyClickersLogInAnswerEveryQuestionAndSwitchToAnAnonymousClass) {
  TempDir dir;
  SimulatorConfig config;
  config.clickers = kClickers;
  CReceiverSimulator receiver(config);
  ASSERT_TRUE(receiver.Start());
  ASSERT_TRUE(service.Start(0));
  const std::string logPath = dir.File("service.log");
  ChildProcess process({OVANTA_HARDWARE_EXE, "-d"},
                       ServiceEnvironment(dir, logPath, 17, receiver.SlavePath(), service.Uri()));
  ASSERT_TRUE(process.WaitForLine("Receiver_Connect: Connect to receiver return 0")) << process.Seen();
  RunningService running(process);
  ASSERT_TRUE(Wait([&] { return service.Manager().Count("activatedStatus") >= 1; }));

  // The roster class: every clicker joins with its number, is identified, granted and signed in.
  Teacher("activate-class class-1");
  ASSERT_TRUE(Wait([&] { return receiver.NetworkUp(); }));
  AutoSettings automatic;
  automatic.minDelayMs = 20;
  automatic.maxDelayMs = 400;
  receiver.StartAutomatic(kClickers, automatic);
  ASSERT_TRUE(Wait([&] { return SignedInClickers() >= kClickers; })) << SignedInClickers();

  // Every question in turn; the clickers answer each as it comes.
  Teacher("activate-assessment lesson-quiz");
  for (const std::string q : {"q1", "q2", "q3", "q4", "q5"}) {
    Teacher("activate-question " + q);
    ASSERT_TRUE(Wait([&] { return SubmissionsFor("class-1", q) >= kClickers; }))
        << q << ": " << SubmissionsFor("class-1", q);
  }
  // What each clicker typed is what the software service got, for the formats that carry the
  // typed text unchanged.
  std::map<std::pair<std::string, std::string>, std::string> received;  // (student, question) -> answer
  for (const auto& s : service.Manager().Submissions())
    if (s.classId == "class-1" && !s.questionId.empty()) received[{s.studentId, s.questionId}] = s.answer;
  for (const ClickerInfo& clicker : receiver.Clickers()) {
    for (const ClickerAnswer& answer : clicker.answers) {
      if (answer.kind == "math" || answer.kind == "raw") continue;
      const auto got = received.find({"s-" + clicker.studentNumber, "q" + std::to_string(answer.question)});
      ASSERT_NE(got, received.end()) << clicker.studentNumber << " q" << answer.question;
      EXPECT_EQ(got->second, Expected(answer))
          << clicker.studentNumber << " q" << answer.question << " " << answer.kind;
    }
  }

  // Review: every clicker gets its results.
  Teacher("deactivate-question");
  Teacher("deactivate-assessment");
  ASSERT_TRUE(receiver.WaitForClickers(
      [](const std::map<int, ClickerInfo>& c) {
        for (const auto& [i, clicker] : c)
          if (clicker.results.empty()) return false;
        return true;
      },
      60000));

  // Into the anonymous class: nobody is logged off; the clickers come back under their MACs.
  Teacher("switch-class drop-in");
  ASSERT_TRUE(Wait([&] {
    size_t anonymous = 0;
    for (const auto& [id, e] : service.Manager().Endpoints())
      anonymous += e.kind == "clicker" && e.signedIn && e.studentId.rfind("clickerstudent.", 0) == 0;
    return anonymous >= kClickers;
  }));
  Teacher("activate-assessment drop-in-quiz");
  Teacher("activate-question q1");
  ASSERT_TRUE(Wait([&] { return SubmissionsFor("drop-in", "q1") >= kClickers; })) << SubmissionsFor("drop-in", "q1");

  // Ctrl-C: a goodbye for every clicker endpoint and for the receiver.
  process.Signal(SIGINT);
  ASSERT_TRUE(Wait([&] {
    std::set<std::string> said;
    for (const auto& r : service.Manager().Requests())
      if (r.route == "goodbye" && r.headers.count("x-vantrel-voxlet-endpoint"))
        said.insert(r.headers.at("x-vantrel-voxlet-endpoint"));
    return said.size() >= kClickers + 1;
  }));
  EXPECT_EQ(process.Wait(), 0);
  EXPECT_EQ(receiver.BadFrames(), 0);
  const std::string log = ReadFile(logPath);
  EXPECT_EQ(log.find("not submitted"), std::string::npos);
  EXPECT_EQ(log.find("Post submit failed"), std::string::npos);
}

}  // namespace
