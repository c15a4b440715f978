// The software-service simulator's control lines over POST /control, as scripts/demo and
// scripts/scale send them. (The sample lesson's timeline and its automatic clickers are what
// scripts/demo plays.)
#include <gtest/gtest.h>

#include <mutex>

#include "tests/tools/SampleLesson.h"
#include "tests/tools/SimHttp.h"
#include "tools/service-sim/ServiceSimulator.h"
#include "tools/service-sim/SimText.h"

using namespace ServiceSim;

namespace {

// A reply's status and body: one control request, then the server closes.
std::pair<int, std::string> Post(uint16_t port, const std::string& method, const std::string& body) {
  return SimHttpExchange(port, method, "/control", {}, body);
}

TEST(ToolsServiceSim, ControlLinesOverPostRunOneActionPerLineAndReportTheState) {
  std::mutex lock;  // outlives the simulator, whose server thread prints
  std::string printed;
  ServiceSimulator simulator(SampleLessonWithoutTimeline());
  simulator.OnOutput([&](const std::string& text) {
    std::lock_guard guard(lock);
    printed += text;
  });
  ASSERT_TRUE(simulator.Start(0));
  const uint16_t port = simulator.Port();
  EXPECT_EQ(Post(port, "POST", "activate-class\n\n# a comment\nswitch-class drop-in\nstate\n"),
            std::make_pair(200, std::string("ok activate-class\nok switch-class drop-in\nclass drop-in running "
                                            "(anonymous), network name \"Room 101\", no assessment running\n")));
  const auto failed = Post(port, "POST", "activate-class nowhere\nstate");
  EXPECT_EQ(failed.first, 400);
  EXPECT_NE(failed.second.find("class drop-in running"), std::string::npos);  // the other lines still ran
  EXPECT_EQ(Post(port, "POST", "").first, 400);
  EXPECT_EQ(Post(port, "GET", "").first, 405);

  // Questions by number and in turn; none after the last, none unknown.
  const auto walk = Post(port, "POST",
                         "activate-class class-1\nactivate-assessment lesson-quiz\nactivate-question 2\nstate\n"
                         "next-question\nnext-question\nnext-question\nstate\nprogress");
  EXPECT_EQ(walk.first, 200) << walk.second;
  EXPECT_NE(walk.second.find("assessment lesson-quiz running, question q2"), std::string::npos) << walk.second;
  EXPECT_NE(walk.second.find("assessment lesson-quiz running, question q5"), std::string::npos) << walk.second;
  EXPECT_NE(walk.second.find("; 0 clicker(s) signed in, 0 hand(s) raised; answers: none yet\n"), std::string::npos);
  for (const char* refused : {"next-question", "activate-question q9", "dance"})
    EXPECT_EQ(Post(port, "POST", refused).first, 400) << refused;
  EXPECT_NE(Post(port, "POST", "dance").second.find("unknown action"), std::string::npos);
  EXPECT_NE(Post(port, "POST", "summary").second.find("Requests received: 0"), std::string::npos);
  const auto results = Post(port, "POST", "results");
  EXPECT_EQ(results, std::make_pair(200, std::string("Results: no submissions recorded\n")));
  {
    std::lock_guard guard(lock);
    EXPECT_NE(printed.find(results.second), std::string::npos);  // printed before the reply went out
  }
  EXPECT_EQ(simulator.Manager().Requests().size(), 0u);  // control requests are not the service's traffic
}

}  // namespace
