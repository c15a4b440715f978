// The classroom-scale scenario that scripts/scale plays: its rosters must take exactly the student
// numbers the four receivers' automatic clickers log in with, and its quizzes must have the five
// questions the script makes current in turn; the progress line the script reads must count
// signed-in clickers.
#include <gtest/gtest.h>

#include "tests/tools/SimRequests.h"
#include "tools/service-sim/ServiceSimulator.h"
#include "tools/service-sim/SimText.h"

using namespace ServiceSim;

namespace {

using namespace ServiceSimRequests;

class ToolsScaleScenario : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    auto scenario = LoadScenario(OVANTA_SERVICE_SIM_DATA "/scale.scenario", error);
    ASSERT_TRUE(scenario) << error;
    simulator = std::make_unique<ServiceSimulator>(*scenario);
    ASSERT_EQ(Handle("POST", kHello + "receiver", {{kEndpointHeader, "receiver.R"}}).status, 201);
    ASSERT_EQ(Handle("POST", kHello + "clicker", {{kEndpointHeader, "clicker.1"}}).status, 201);
  }
  SimReply Handle(const std::string& method, const std::string& target, std::map<std::string, std::string> headers = {},
                  std::string body = {}) {
    return simulator->Manager().Handle(Request(method, target, std::move(headers), std::move(body)));
  }
  // The student id the current class gives the number, or "" when it does not know it.
  std::string Whois(int number) {
    const std::string text = std::to_string(number);
    const std::string body = "<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\" xmlns:voxlet=\"" +
                             kVocabulary + "\"><rdf:Description rdf:about=\"urn:com.vantrel.voxlet:student:" + text +
                             "\"><voxlet:number>" + text + "</voxlet:number></rdf:Description></rdf:RDF>";
    const SimReply reply =
        Handle("POST", "/voxlet/builtins/teachers/whois?subject=x", {{kEndpointHeader, "clicker.1"}}, body);
    if (reply.status != 200 || reply.headers.empty()) return {};
    return reply.headers[0].second;
  }
  // Runs the quiz's questions the way the script does; false when one of them is missing.
  bool HasFiveQuestions(const std::string& assessment) {
    bool ok = false;
    simulator->Control("activate-assessment " + assessment, ok);
    if (!ok) return false;
    for (const char* question : {"q1", "q2", "q3", "q4", "q5"}) {
      simulator->Control(std::string("activate-question ") + question, ok);
      if (!ok) return false;
    }
    simulator->Control("next-question", ok);  // there is no sixth
    return !ok;
  }

  std::unique_ptr<ServiceSimulator> simulator;
};

// scale-class: the four receivers' clickers (--first-student 1001, 1101, 1201, 1301);
// class-30: the first receiver's first thirty. The progress line counts signed-in clickers.
TEST_F(ToolsScaleScenario, EachClassIsTheClickersThatLogInToItWithAFiveQuestionQuiz) {
  const struct {
    const char *id, *quiz;
    int last;
  } classes[] = {{"class-30", "class-30-quiz", 1030}, {"scale-class", "scale-quiz", 1400}};
  bool ok = false;
  for (const auto& c : classes) {
    simulator->Control(std::string("activate-class ") + c.id, ok);
    ASSERT_TRUE(ok) << c.id;
    for (int number = 1001; number <= c.last; ++number) ASSERT_EQ(Whois(number), "s-" + std::to_string(number));
    EXPECT_EQ(Whois(1000), "") << c.id;
    EXPECT_EQ(Whois(c.last + 1), "") << c.id;
    EXPECT_TRUE(HasFiveQuestions(c.quiz)) << c.id;
  }
  EXPECT_NE(simulator->Control("progress", ok).find("; 0 clicker(s) signed in"), std::string::npos);
  ASSERT_EQ(Whois(1400), "s-1400");
  ASSERT_EQ(
      Handle("POST", "/voxlet/builtins/teachers/signin", {{kEndpointHeader, "clicker.1"}, {kStudentHeader, "s-1400"}})
          .status,
      200);
  EXPECT_NE(simulator->Control("progress", ok).find("; 1 clicker(s) signed in"), std::string::npos);
}

}  // namespace
