#pragma once
// Clickers through the receiver over a pty with both simulators, in a class with the sample
// lesson's assessment.
#include "BridgeFixture.h"
#include "tests/tools/SampleLesson.h"
#include "tools/receiver-sim/ClickerAnswers.h"

namespace {

inline std::string AttributeOf(const std::string& document, const std::string& name) {
  const std::string key = name + "=\"";
  const size_t at = document.find(key);
  if (at == std::string::npos) return {};
  return document.substr(at + key.size(), document.find('"', at + key.size()) - at - key.size());
}

}  // namespace

class ClickerTest : public BridgeTest {
 protected:
  ClickerTest() : BridgeTest(SampleLessonWithoutTimeline()) {
    // The questions go to the receiver without a current one: their batch shows that the session
    // holds the assessment's document (StartClass).
    sessionEnv.sendWholeAssessment = true;
    prepareSession = [](RecordingSession& s) {
      s.runLifecycle = true;
      s.realClickers = true;
    };
  }

  // Simulated clickers on the software service: endpoint ids, sign-ins, submissions.
  std::string ClickerEndpoint(int i) { return "clickerhardware." + kEndpoint + "." + std::to_string(0x0100 + i); }
  bool WaitForSignedIn(int count) {
    return service.Manager().WaitFor(
        [&] {
          int signedIn = 0;
          for (const auto& [id, e] : service.Manager().Endpoints()) signedIn += e.kind == "clicker" && e.signedIn;
          return signedIn >= count;
        },
        20);
  }
  bool WaitForSubmissions(size_t count) {
    return service.Manager().WaitFor([&] { return service.Manager().SubmissionCount() >= count; }, 20);
  }

  // Class-1 with clickers 0 .. count-1 logged in as students 1001 ..; with an assessment, it
  // runs and its questions are on the receiver. The session sends them once it holds the
  // document, and only from then on can it decode an answer: the document's request having reached
  // the software service says nothing of that (its reply is handled on the lifecycle worker).
  void StartClass(int count, bool assessment = true) {
    OpenAndSubscribe();
    Teacher("activate-class class-1");
    PollOnce();
    ASSERT_TRUE(WaitUntil([&] { return simulator->NetworkUp(); }));
    for (int i = 0; i < count; ++i) ASSERT_TRUE(simulator->Join(i, std::to_string(1001 + i)));
    ASSERT_TRUE(simulator->WaitForClickers(
        [&](const std::map<int, ClickerInfo>& c) {
          for (int i = 0; i < count; ++i)
            if (!c.at(i).loggedIn()) return false;
          return true;
        },
        20000));
    ASSERT_TRUE(WaitForSignedIn(count));
    if (!assessment) return;
    Teacher("activate-assessment lesson-quiz");
    PollOnce();
    ASSERT_TRUE(simulator->WaitFor([](const Packets& p) { return !OfCommand(p, 0x0A).empty(); }, 20000));
    Settle();
  }
};
