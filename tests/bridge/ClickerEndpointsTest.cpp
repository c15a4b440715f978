// The clicker endpoints on their own: a host that records the requests they send, answered as
// the test says, and counts the receiver commands they issue.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bridge/ClickerEndpoints.h"
#include "bridge/RelayText.h"
#include "client/Strings.h"
#include "client/http/Globals.h"
#include "client/http/Message.h"
#include "tests/bridge/FakeSessionHost.h"

namespace {

class ClickerHost : public FakeSessionHost<IClickerEndpointsHost> {
 public:
  ClassLogin login;
  std::vector<std::string> announced;

  ClassLogin CurrentClassLogin() const override { return login; }
  void ClickerAnnounced(const Voxlet::StringBuffer& endpointId) override {
    announced.push_back(Voxlet::UTF16to8(endpointId));
  }
};

// The path of a request without its query.
std::string PathOf(const Voxlet::MessagePtr& message) {
  const std::string path = Voxlet::UTF16to8(message->Path());
  return path.substr(0, path.find('?'));
}

std::vector<std::string> PathsOf(const std::vector<Voxlet::MessagePtr>& messages) {
  std::vector<std::string> paths;
  for (const auto& message : messages) paths.push_back(PathOf(message));
  return paths;
}

const std::string kHello = "/voxlet/builtins/anyone/hello";
const std::string kWhois = "/voxlet/builtins/teachers/whois";
const std::string kSignin = "/voxlet/builtins/teachers/signin";
const std::string kGoodbye = "/voxlet/builtins/anyone/goodbye";

}  // namespace

class ClickerEndpointsTest : public ::testing::Test {
 protected:
  // The clicker's whois, answered with its student.
  void AnswerWhois(const Voxlet::MessagePtr& whois, const Voxlet::StringBuffer& student) {
    Voxlet::Header::Collection headers;
    headers[Bridge::kStudentHeader] = student;
    Reply(whois, 200, headers);
  }

  Voxlet::Globals library;  // the raised hand's document is parsed
  ClickerHost host;
  ClickerLines lines;
  CClickerEndpoints clickers{host, lines};
};

// A clicker's requests go one at a time in its line: the whois of a join waits until the hello
// before it has been answered.
TEST_F(ClickerEndpointsTest, AJoiningClickersWhoisWaitsForItsHello) {
  clickers.JoinClicker(1, 0x00124B00, 0x01020304, u"s1");
  ASSERT_EQ(PathsOf(host.Sent()), std::vector<std::string>{kHello});  // its record, made by the join
  Reply(host.Sent()[0], 201);
  ASSERT_EQ(PathsOf(host.Sent()), (std::vector<std::string>{kHello, kHello}));  // with its MAC
  EXPECT_EQ(Voxlet::UTF16to8(host.Sent()[1]->Headers().Get(u"X-Vantrel-Voxlet-MacAddress")), "00-12-4B-00-01-02-03-04");
  Reply(host.Sent()[1], 200);
  ASSERT_EQ(PathsOf(host.Sent()), (std::vector<std::string>{kHello, kHello, kWhois}));
  EXPECT_EQ(host.announced, std::vector<std::string>{Voxlet::UTF16to8(
                                host.Sent()[0]->Headers().Get(Voxlet::Header::XVantrelVoxletEndpoint))});
}

// The whois's student signs the clicker in: through the software service in an anonymous
// class, by the receiver's login grant otherwise. A whois without a reply boots the clicker.
TEST_F(ClickerEndpointsTest, TheWhoisDecidesTheSignIn) {
  for (const bool anonymous : {true, false}) {
    SCOPED_TRACE(anonymous);
    host.login.anonymous = anonymous;
    const uint16_t address = anonymous ? 1 : 2;
    clickers.JoinClicker(address, 0, address, u"s");
    for (size_t i = host.Sent().size() - 1; PathOf(host.Sent()[i]) != kWhois; i = host.Sent().size() - 1)
      Reply(host.Sent()[i], 200);
    const int commandsBefore = host.commands;
    AnswerWhois(host.Sent().back(), u"student-" + Voxlet::UTF8to16(std::to_string(address)));
    EXPECT_EQ(PathOf(host.Sent().back()) == kSignin, anonymous);
    EXPECT_EQ(host.commands - commandsBefore, anonymous ? 0 : 1);
    EXPECT_EQ(Voxlet::UTF16to8(clickers.Registry().FindByAddress(address)->studentId),
              "student-" + std::to_string(address));
  }
  clickers.JoinClicker(3, 0, 3, u"s");
  for (size_t i = host.Sent().size() - 1; PathOf(host.Sent()[i]) != kWhois; i = host.Sent().size() - 1)
    Reply(host.Sent()[i], 200);
  const int commandsBefore = host.commands;
  NoReply(host.Sent().back());
  EXPECT_EQ(host.commands - commandsBefore, 1);
  EXPECT_TRUE(clickers.Registry().FindByAddress(3)->studentId.empty());
}

// A hello the software service answered lets the clicker's answers from the spool go; one it
// failed does not.
TEST_F(ClickerEndpointsTest, OnlyAnAnsweredHelloAnnouncesTheClicker) {
  clickers.OnClickerStatus(1, 0, 40);
  clickers.OnClickerStatus(2, 0, 40);
  ASSERT_EQ(host.Sent().size(), 2u);
  Reply(host.Sent()[0], 500);
  Reply(host.Sent()[1], 201);
  EXPECT_EQ(host.announced,
            std::vector<std::string>{Voxlet::UTF16to8(clickers.Registry().FindByAddress(2)->endpointId)});
  host.announced.clear();
  clickers.AnnounceKnownClickers();
  ASSERT_EQ(host.Sent().size(), 4u);
  for (size_t i = 2; i < 4; ++i) Reply(host.Sent()[i], 200);
  EXPECT_EQ(host.announced.size(), 2u);
}

// The software side's disconnect and raised-hand cancellation share one cooldown: one taken
// drops the others until the ticks have run out.
TEST_F(ClickerEndpointsTest, SoftwareActionsShareOneCooldown) {
  clickers.OnClickerStatus(1, 0, 40);
  const Voxlet::StringBuffer endpoint = clickers.Registry().FindByAddress(1)->endpointId;
  clickers.DisconnectClickerInSoftware(endpoint);
  EXPECT_EQ(host.commands, 1);
  clickers.CancelRaisedHandInSoftware(endpoint);
  EXPECT_EQ(host.commands, 1);
  for (int tick = clickers.SoftwareActionCooldown(); tick > 0; --tick) {
    clickers.DisconnectClickerInSoftware(endpoint);
    EXPECT_EQ(host.commands, 1);
    clickers.CountDownCooldown();
  }
  clickers.CancelRaisedHandInSoftware(endpoint);
  EXPECT_EQ(host.commands, 2);
  clickers.DisconnectClickerInSoftware(u"clickerhardware.unknown.9");  // no such clicker: no turn taken
  EXPECT_EQ(clickers.SoftwareActionCooldown(), 4);
}

// A departing clicker leaves the registry at once, with its goodbye; while the receiver closes
// it stays on record (its last answers still come in) until the close is over.
TEST_F(ClickerEndpointsTest, WhileTheReceiverClosesDepartedClickersStayOnRecord) {
  clickers.OnClickerStatus(1, 0, 40);
  clickers.OnClickerStatus(2, 0, 40);
  Reply(host.Sent()[0], 201);
  Reply(host.Sent()[1], 201);
  clickers.OnDeviceDisassociated(1);
  EXPECT_FALSE(clickers.Registry().FindByAddress(1));
  host.farewell = true;
  clickers.OnDeviceDisassociated(2);
  EXPECT_TRUE(clickers.Registry().FindByAddress(2));
  EXPECT_EQ(PathsOf(host.Sent()), (std::vector<std::string>{kHello, kHello, kGoodbye, kGoodbye}));
  clickers.RemoveFarewellClickers();
  EXPECT_FALSE(clickers.Registry().FindByAddress(2));
}

// A clicker that joins without login to a class that needs a student is booted, and one known
// with a student is not joined again in an anonymous class.
TEST_F(ClickerEndpointsTest, AJoinWithoutLoginIsBootedOrTakenByTheClass) {
  clickers.OnJoinNoLoginRequired(1, 0, 1);
  EXPECT_EQ(host.commands, 1);
  EXPECT_TRUE(host.Sent().empty());
  host.login.anonymous = true;
  clickers.OnJoinNoLoginRequired(1, 0, 1);
  EXPECT_EQ(host.commands, 1);
  ASSERT_FALSE(host.Sent().empty());
  EXPECT_EQ(PathOf(host.Sent().back()), kHello);  // the record of a clicker new to the registry comes first
}
