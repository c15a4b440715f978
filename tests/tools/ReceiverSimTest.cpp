// The receiver simulator driven over its pseudo-terminal by a test in the service's place:
// acknowledgements, the clickers' login states, questions, answers, review results, the
// automatic mode and the join flood.
#include <gtest/gtest.h>

#include <set>

#include "client/StringBuffer.h"
#include "content/PacketContainer.h"
#include "protocol/JoinPayload.h"
#include "tests/tools/PtyHost.h"
#include "tools/receiver-sim/ReceiverSimulator.h"

namespace {

using ToolsTest::Bytes;
using ToolsTest::PtyHost;

constexpr uint16_t kClicker0 = 0x0100, kClicker1 = 0x0101;

// A QUESTION_BATCH with the lesson's five formats: choice (4 choices, C), decimal (3.5),
// short answer, text, math; sequence 3, feedback 2.
Bytes LessonBatch() {
  Bytes p = {0, 0, 0x0A, (3 << 2) | 2, 0, 5, 5};
  const SimAnswers::AnswerBytes number = *SimAnswers::EncodeNumber("3.5");
  p.insert(p.end(), {0x42, 3, 0, 0, 0, 0, 0x05});
  p.insert(p.end(), number.begin(), number.end());
  for (uint8_t type : {0x0B, 0x0C, 0x0D}) p.insert(p.end(), {type, 0, 0, 0, 0, 0});
  return p;
}

// The student number of a login-required join, and its auto flag.
std::pair<std::string, bool> JoinStudent(const Bytes& join) {
  if (join.size() < 13) return {"", false};
  return {Voxlet::UTF16to8(DecodeStudentId(join.data() + 11, join.size() - 12)), join.back() == 1};
}

class ToolsReceiverSim : public ::testing::Test {
 protected:
  void Begin() {
    config.seed = 7;
    sim = std::make_unique<CReceiverSimulator>(config);
    ASSERT_TRUE(sim->Start());
    host = std::make_unique<PtyHost>(sim->SlavePath());
    ASSERT_TRUE(host->Open());
  }
  void TearDown() override {
    host.reset();
    if (sim) sim->Stop();
  }
  bool WaitForClicker(int i, const std::function<bool(const ClickerInfo&)>& match) {
    return sim->WaitForClickers([&](const std::map<int, ClickerInfo>& all) { return all.count(i) && match(all.at(i)); },
                                ToolsTest::kPatienceMs);
  }
  // Sends a command the receiver answers and waits for the answer: everything sent before it
  // has been handled by then.
  void Sync() {
    ++m_sync;
    host->Send({0, 0, 0x0D, m_sync});
    ASSERT_TRUE(host->WaitForPacket({0, 0, 0x0D, m_sync}));
  }

  SimulatorConfig config;
  std::unique_ptr<CReceiverSimulator> sim;
  std::unique_ptr<PtyHost> host;

 private:
  uint8_t m_sync = 0;
};

TEST_F(ToolsReceiverSim, RetriedCommandsAreAcknowledgedAtTheReceiverAndAtClickers) {
  Begin();
  for (const auto& [command, answer] : std::vector<std::pair<Bytes, Bytes>>{
           {{0, 0, 0x0E, 0}, {0, 0, 0x0E}},
           {{0, 0, 0x06, 0x01}, {0, 0, 0x06}},
           {{0, 0, 0x06}, {0, 0, 0x06, 0x01}},
           {{0, 0, 0x05, 'R', 'o', 'o', 'm', 0, 0, 0, 0}, {0, 0, 0x05, 'R', 'o', 'o', 'm', 0, 0, 0, 0}},
           {{0, 0, 0x04, 1}, {0, 0, 0x04, 1}},
           {{0, 0, 0x0A, 0, 0, 0, 0}, {0, 0, 0x0A}},
       }) {
    host->Send(command);
    EXPECT_TRUE(host->WaitForPacket(answer)) << int(command[2]);
  }
  EXPECT_TRUE(host->WaitForPacket({0, 0, 0x01, 2}));  // the network is up
  EXPECT_EQ(sim->ClassName(), "Room");
  EXPECT_EQ(sim->LoginFlags(), 1);

  ASSERT_TRUE(sim->Join(0, "1001"));
  for (const auto& [command, answer] : std::vector<std::pair<Bytes, Bytes>>{
           {{0x01, 0x00, 0x0C, 1}, {0x01, 0x00, 0x0C}},
           {{0x01, 0x00, 0x27, 100, 0, 0, 1, 1}, {0x01, 0x00, 0x27}},
           {{0x01, 0x00, 0x04}, {0x01, 0x00, 0x04, 1}},
           {{0x01, 0x00, 0x0E, 0}, {0x01, 0x00, 0x0E}},
           {{0x01, 0x00, 0x09}, {0x01, 0x00, 0x09}},
       }) {
    host->Send(command);
    EXPECT_TRUE(host->WaitForPacket(answer)) << int(command[2]);
  }

  // Powered off, a clicker answers nothing.
  host->Send({0, 0, 0x0E, 2});
  host->Send({0x01, 0x01, 0x0C, 1});
  Sync();
  EXPECT_TRUE(PtyHost::With(host->Packets(), kClicker1, 0x0C).empty());
  EXPECT_EQ(sim->Clicker(1)->state, ClickerState::Off);
  EXPECT_EQ(host->BadFrames(), 0);
}

TEST_F(ToolsReceiverSim, ClickersGoThroughJoinGrantAndSignIn) {
  config.loginFlags = 1;
  Begin();
  EXPECT_FALSE(sim->Join(0, "10x1"));
  ASSERT_TRUE(sim->Join(0, "1001"));
  ASSERT_TRUE(host->WaitForPacket({0x01, 0x00, 0x01, 0, 200}));  // its status comes first
  ASSERT_TRUE(host->WaitFor([](const auto& p) { return !PtyHost::With(p, kClicker0, 0x07).empty(); }));
  const Bytes join = PtyHost::With(host->Packets(), kClicker0, 0x07).front();
  EXPECT_EQ(Bytes(join.begin() + 3, join.begin() + 11), (Bytes{0x00, 0x12, 0x4B, 0x00, 0x0A, 0x0B, 0x0C, 0x0D}));
  EXPECT_EQ(JoinStudent(join), std::make_pair(std::string("1001"), true));
  EXPECT_EQ(sim->Clicker(0)->state, ClickerState::Joined);

  host->Send({0x01, 0x00, 0x08, 0x01, 'A', 'd', 'a'});
  ASSERT_TRUE(host->WaitForPacket({0x01, 0x00, 0x14, 0x01}));
  EXPECT_EQ(sim->Clicker(0)->state, ClickerState::Granted);
  EXPECT_EQ(sim->Clicker(0)->studentName, "Ada");
  host->Send({0x01, 0x00, 0x08});  // signed in
  EXPECT_TRUE(WaitForClicker(0, [](const ClickerInfo& c) { return c.loggedIn(); }));

  // Typed at the clicker: the auto flag is clear. Refused by the service.
  ASSERT_TRUE(sim->Login(1, "1002-3"));
  ASSERT_TRUE(host->WaitFor([](const auto& p) { return !PtyHost::With(p, kClicker1, 0x07).empty(); }));
  EXPECT_EQ(JoinStudent(PtyHost::With(host->Packets(), kClicker1, 0x07).front()),
            std::make_pair(std::string("1002-3"), false));
  host->Send({0x01, 0x01, 0x08, 0x00});
  ASSERT_TRUE(host->WaitForPacket({0x01, 0x01, 0x14, 0x00}));
  EXPECT_EQ(sim->Clicker(1)->state, ClickerState::Refused);
  // A grant reply without a grant before it changes nothing.
  host->Send({0x01, 0x01, 0x08});
  Sync();
  EXPECT_EQ(sim->Clicker(1)->state, ClickerState::Refused);

  // Logged off by the service; then the network stops under a clicker that joined again.
  host->Send({0x01, 0x00, 0x09});
  EXPECT_TRUE(WaitForClicker(0, [](const ClickerInfo& c) { return c.state == ClickerState::LoggedOff; }));
  ASSERT_TRUE(sim->Join(2, "1003"));
  host->Send({0, 0, 0x04, 0});
  EXPECT_TRUE(WaitForClicker(2, [](const ClickerInfo& c) { return c.state == ClickerState::Idle; }));

  // An anonymous class: the plain join, and the clicker counts as signed in.
  host->Send({0, 0, 0x06, 0x02});
  Sync();
  ASSERT_TRUE(sim->Join(3));
  ASSERT_TRUE(host->WaitFor([](const auto& p) { return !PtyHost::With(p, 0x0103, 0x07).empty(); }));
  EXPECT_EQ(PtyHost::With(host->Packets(), 0x0103, 0x07).front().size(), 11u);
  EXPECT_TRUE(sim->Clicker(3)->loggedIn());
}

TEST_F(ToolsReceiverSim, AnswersFollowTheQuestionsAndReviewEndsThem) {
  Begin();
  ASSERT_TRUE(sim->Join(0));
  EXPECT_EQ(sim->CurrentQuestion(0), 0);
  EXPECT_FALSE(sim->AnswerText(0, "C"));  // no question yet
  host->Send(LessonBatch());
  ASSERT_TRUE(host->WaitForPacket({0, 0, 0x0A}));
  ASSERT_EQ(sim->Questions().questions.size(), 5u);

  EXPECT_EQ(sim->CurrentQuestion(0), 1);
  ASSERT_TRUE(sim->AnswerText(0, "C"));
  EXPECT_EQ(sim->CurrentQuestion(0), 2);
  ASSERT_TRUE(sim->AnswerText(0, "3.5"));
  EXPECT_FALSE(sim->AnswerText(0, "Lisbon"));  // too long for a short answer: nothing sent
  ASSERT_TRUE(sim->AnswerText(0, "Paris"));
  ASSERT_TRUE(sim->AnswerText(0, "Water, light and air make sugar"));
  ASSERT_TRUE(sim->AnswerText(0, "x^{2}+1"));
  EXPECT_EQ(sim->CurrentQuestion(0), 5);                              // all answered: the last stays current
  ASSERT_TRUE(sim->AnswerText(0, "7", 2, SimAnswers::Kind::Choice));  // any encoding on request

  // The answers' bytes on the line are the lesson replay transcript's (and the encodings
  // ClickerAnswersTest's); an answer in an encoding asked for goes out as asked.
  ASSERT_TRUE(host->WaitFor([](const auto& p) { return PtyHost::With(p, kClicker0, 0x0B).size() == 4; }));
  EXPECT_EQ(PtyHost::With(host->Packets(), kClicker0, 0x0B)[3], (Bytes{0x01, 0x00, 0x0B, 2, 7, 0, 0, 0, 0}));

  // Text and math: several packets each, question 4 and 5, one sequence number per answer.
  ASSERT_TRUE(host->WaitFor([](const auto& p) { return PtyHost::With(p, kClicker0, 0x25).size() >= 3; }));
  std::map<uint8_t, PacketContainer> answers;
  for (const Bytes& p : PtyHost::With(host->Packets(), kClicker0, 0x25)) {
    PacketContainer& c = answers.try_emplace(p[3], p[4]).first->second;
    const size_t header = p[5] == 0 ? 9 : 6;
    if (p[5] == 0) c.setQuestionNumber(p[6]);
    c.insertPart(p[5], p.data() + header, static_cast<int>(p.size() - header));
  }
  ASSERT_EQ(answers.size(), 2u);
  EXPECT_EQ(answers.at(0).questionNumber(), 4u);
  EXPECT_EQ(answers.at(0).totalParts(), 2u);  // 31 characters in packets of 16
  EXPECT_EQ(answers.at(1).questionNumber(), 5u);
  EXPECT_TRUE(answers.at(0).containsAllParts());
  EXPECT_TRUE(answers.at(1).containsAllParts());

  // Review mode: no question is current; the results arrive per clicker.
  host->Send({0, 0, 0x0E, 0});
  ASSERT_TRUE(host->WaitForPacket({0, 0, 0x0E}));
  EXPECT_TRUE(sim->Clicker(0)->inReview);
  EXPECT_TRUE(sim->Questions().empty());
  EXPECT_FALSE(sim->AnswerText(0, "A"));
  host->Send({0x01, 0x00, 0x27, 0x50, 0, 0, 5, 0x15});
  ASSERT_TRUE(host->WaitForPacket({0x01, 0x00, 0x27}));
  const std::vector<SimContent::StudentResults> results = sim->Clicker(0)->results;
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].percent, 80);
  EXPECT_EQ(results[0].grades, (std::vector<bool>{true, false, true, false, true}));

  // The next question ends the review; answers to the earlier run do not count for it.
  host->Send({0, 0, 0x0A, (4 << 2), 4, 1, 1, 0x42, 3, 0, 0, 0, 0});
  ASSERT_TRUE(WaitForClicker(0, [](const ClickerInfo& c) { return !c.inReview; }));
  EXPECT_EQ(sim->CurrentQuestion(0), 3);
}

TEST_F(ToolsReceiverSim, AutomaticModeSignsInAHundredClickersThatAnswerEveryQuestion) {
  config.loginFlags = 1;
  Begin();
  constexpr int kCount = 100;
  sim->StartAutomatic(kCount, AutoSettings{0, 1001, 0, 3, 100});
  Sync();
  EXPECT_TRUE(PtyHost::With(host->Packets(), kClicker0, 0x07).empty());  // no network yet
  host->Send({0, 0, 0x04, 1});

  // The service's part: grant each join and sign it in.
  std::set<uint16_t> granted;
  std::set<std::string> numbers;
  while (static_cast<int>(granted.size()) < kCount) {
    ASSERT_TRUE(host->WaitFor([&](const std::vector<Bytes>& all) {
      size_t joins = 0;
      for (const Bytes& p : all) joins += p.size() > 2 && p[2] == 0x07;
      return joins > granted.size();
    }));
    for (const Bytes& p : host->Packets()) {
      if (p[2] != 0x07 || !granted.insert(static_cast<uint16_t>(p[0] << 8 | p[1])).second) continue;
      numbers.insert(JoinStudent(p).first);
      host->Send({p[0], p[1], 0x08, 0x01, 'S'});
      host->Send({p[0], p[1], 0x08});
    }
  }
  EXPECT_EQ(numbers.size(), static_cast<size_t>(kCount));
  EXPECT_EQ(*numbers.begin(), "1001");
  EXPECT_EQ(*numbers.rbegin(), "1100");
  ASSERT_TRUE(sim->WaitForClickers(
      [](const auto& all) {
        return std::count_if(all.begin(), all.end(), [](const auto& e) { return e.second.loggedIn(); }) == kCount;
      },
      ToolsTest::kPatienceMs));

  host->Send(LessonBatch());
  ASSERT_TRUE(sim->WaitForClickers(
      [](const auto& all) {
        return std::all_of(all.begin(), all.end(), [](const auto& e) { return e.second.answers.size() == 5; });
      },
      ToolsTest::kPatienceMs));
  for (const ClickerInfo& c : sim->Clickers()) {
    ASSERT_EQ(c.answers.size(), 5u);
    // Always right where the question carries the right answer; the likely canned answer else.
    EXPECT_EQ(c.answers[0].text, "3");
    EXPECT_EQ(c.answers[1].text, "3.5");
    EXPECT_EQ(c.answers[2].text, "Paris");
    EXPECT_EQ(c.answers[2].kind, "short");
    EXPECT_EQ(c.answers[3].kind, "text");
    EXPECT_EQ(c.answers[4].text, "x^{2}+1");
    std::set<int> questions;
    for (const ClickerAnswer& a : c.answers) questions.insert(a.question);
    EXPECT_EQ(questions, (std::set<int>{1, 2, 3, 4, 5}));
  }
  EXPECT_TRUE(host->WaitFor([](const auto& all) {
    size_t single = 0;
    for (const Bytes& p : all) single += p.size() > 2 && p[2] == 0x0B;
    return single == 3 * kCount;
  }));

  // Stopped, the mode answers no more questions.
  sim->StopAutomatic();
  host->Send({0, 0, 0x0A, (5 << 2), 0, 1, 1, 0x42, 1, 0, 0, 0, 0});
  Sync();
  EXPECT_EQ(sim->Clicker(0)->answers.size(), 5u);
  EXPECT_EQ(host->BadFrames(), 0);
}

TEST_F(ToolsReceiverSim, FloodJoinsFromFiveHundredAddresses) {
  config.loginFlags = 1;
  Begin();
  sim->Flood(500);
  ASSERT_TRUE(host->WaitFor([](const std::vector<Bytes>& all) {
    size_t joins = 0;
    for (const Bytes& p : all) joins += p.size() > 2 && p[2] == 0x07;
    return joins == 500;
  }));
  std::set<uint16_t> addresses;
  std::set<std::string> numbers;
  for (const Bytes& p : host->Packets()) {
    if (p[2] != 0x07) continue;
    addresses.insert(static_cast<uint16_t>(p[0] << 8 | p[1]));
    numbers.insert(JoinStudent(p).first);
  }
  EXPECT_EQ(addresses.size(), 500u);
  EXPECT_EQ(numbers.size(), 500u);
  EXPECT_EQ(*addresses.begin(), 0x0100);
  EXPECT_EQ(*addresses.rbegin(), 0x0100 + 499);
  EXPECT_EQ(host->BadFrames(), 0);
}

}  // namespace
