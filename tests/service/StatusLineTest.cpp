#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "service/StatusLine.h"

namespace {

using Spool = ServiceStatus::Spool;

TEST(StatusText, CountsConnectionAndSpool) {
  struct Case {
    ServiceStatus status;
    const char* text;
  };
  const Case cases[] = {
      {{2, 57, true, Spool::kKeeping, 0},
       "2 receivers open, 57 clickers signed in, software service connected, 0 answers kept"},
      {{1, 1, false, Spool::kKeeping, 1},
       "1 receiver open, 1 clicker signed in, software service not connected, 1 answer kept"},
      {{0, 0, false, Spool::kNotOpen, 0}, "0 receivers open, 0 clickers signed in, software service not connected"},
      {{1, 30, true, Spool::kNotKeeping, 0},
       "1 receiver open, 30 clickers signed in, software service connected, answers not kept on disk"},
  };
  for (const Case& c : cases) EXPECT_EQ(StatusText(c.status), c.text);
}

// A status line driven by a clock the test moves, recording what it shows and logs.
struct StatusRun {
  explicit StatusRun(bool shows)
      : line(shows ? CStatusLine::Outputs{[this](const std::string& t) { shown.push_back(t); }, {}}
                   : CStatusLine::Outputs{{}, [this](const std::string& t) { logged.push_back(t); }},
             [this] { return now; }) {}
  void At(int ms, ServiceStatus status) {
    now = std::chrono::steady_clock::time_point(std::chrono::milliseconds(ms));
    line.Update(status);
  }
  std::chrono::steady_clock::time_point now;
  std::vector<std::string> shown, logged;
  CStatusLine line;
};

// Shown when the text changed, at most once a second; a change held back goes out with a
// later update, and one undone before then is not shown at all.
TEST(StatusLine, ShowsAChangeAtMostOnceASecond) {
  StatusRun run(true);
  const ServiceStatus idle{0, 0, false, Spool::kNotOpen, 0};
  ServiceStatus open = idle;
  open.receiversOpen = 1;
  ServiceStatus answered = open;
  answered.spool = Spool::kKeeping, answered.answersKept = 3;
  run.At(0, idle);
  run.At(400, idle);       // unchanged: nothing
  run.At(600, open);       // changed, but within a second of the last: held back
  run.At(1000, open);      // a second since the last: shown
  run.At(1500, answered);  // held back
  run.At(1900, open);      // back to what is shown: nothing to show
  run.At(2100, open);      // nothing
  run.At(2200, answered);  // more than a second since the last: shown at once
  ASSERT_EQ(run.shown.size(), 3u);
  EXPECT_EQ(run.shown[0], StatusText(idle));
  EXPECT_EQ(run.shown[1], StatusText(open));
  EXPECT_EQ(run.shown[2], StatusText(answered));
  EXPECT_TRUE(run.logged.empty());
}

// Where the manager shows no line, it is logged when the receivers or the connection change,
// never for answers or clickers alone, and without the once-a-second limit.
TEST(StatusLine, LogsOnlyReceiverAndConnectionChangesWhereNoLineIsShown) {
  StatusRun run(false);
  ServiceStatus status{1, 0, false, Spool::kKeeping, 0};
  run.At(0, status);
  status.clickersSignedIn = 30, status.answersKept = 12;
  run.At(100, status);
  status.softwareServiceConnected = true;
  run.At(200, status);
  status.answersKept = 0;
  run.At(5000, status);
  status.receiversOpen = 2;
  run.At(5100, status);
  EXPECT_EQ(run.logged, (std::vector<std::string>{
                            "1 receiver open, 0 clickers signed in, software service not connected, 0 answers kept",
                            "1 receiver open, 30 clickers signed in, software service connected, 12 answers kept",
                            "2 receivers open, 30 clickers signed in, software service connected, 0 answers kept"}));
  EXPECT_TRUE(run.shown.empty());
}

}  // namespace
