// The simulated session manager, driven through its request handler: what it refuses and how it
// queues notifications (what it serves, the replay transcripts show; an unknown number's whois
// is the drop-in transcript, a second goodbye the simulator's receiver-removal test).
#include <gtest/gtest.h>

#include <regex>

#include "tests/http/HttpFixture.h"
#include "tests/tools/SimRequests.h"
#include "tools/service-sim/SessionManager.h"

namespace {

using namespace ServiceSim;
using namespace ServiceSimRequests;

class SessionManagerTest : public ::testing::Test {
 protected:
  // A subscribed receiver and one clicker endpoint under it.
  void SetUp() override {
    Handle("POST", kHello + "receiver", "receiver.R");
    Handle("POST", "/voxlet/scripts/teachers/subscribe/ReceiverSubscribe.js?endpointXmlId=receiver.R");
    Handle("POST", kHello + "clicker", "clicker.5");
  }
  SimReply Handle(const std::string& method, const std::string& target, const std::string& endpoint = "",
                  const std::string& student = "", const std::string& body = "") {
    std::map<std::string, std::string> headers;
    if (!endpoint.empty()) headers[kEndpointHeader] = endpoint;
    if (!student.empty()) headers[kStudentHeader] = student;
    return manager.Handle(Request(method, target, headers, body));
  }
  std::string Poll(const std::string& endpoint) { return Handle("GET", kHello + "receiver", endpoint).body; }

  SessionManager manager{HttpTest::TestScenario()};
};

TEST_F(SessionManagerTest, RefusesWhatItCannotServe) {
  const std::string rdf =
      "<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\" xmlns:voxlet=\"" + kVocabulary + "\">";
  const auto whois = [&](const std::string& number) {
    return rdf + "<rdf:Description><voxlet:number>" + number + "</voxlet:number></rdf:Description></rdf:RDF>";
  };
  const std::string doctype =
      "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>" + whois("&x;");
  const std::string submission =
      "<voxlet:submission xmlns:voxlet=\"" + kVocabulary +
      "\"><voxlet:response voxlet:questionid=\"q4\">1.3</voxlet:response></voxlet:submission>";
  const std::string whoisPath = "/voxlet/builtins/teachers/whois?subject=x";
  struct Case {
    const char* method;
    std::string target, endpoint, student, body;
    int status;
  };
  const Case cases[] = {
      {"POST", kHello + "receiver", "", "", "", 400},  // no endpoint
      {"GET", "/voxlet/database/classes/class-9/assessment-1", "", "", "", 404},
      {"POST", "/voxlet/database/classes/class-1/assessment-1", "", "", "", 405},
      {"POST", whoisPath, "clicker.5", "", "<broken", 400},
      {"POST", whoisPath, "clicker.5", "", doctype, 400},  // a DOCTYPE is never read
      {"POST", whoisPath, "clicker.5", "", whois("1002"), 200},
      {"POST", "/voxlet/builtins/teachers/signin", "clicker.5", "s-1001", "", 403},  // not who the clicker is
      {"POST", "/voxlet/builtins/teachers/submit?assessment=other&class=class-1", "clicker.5", "s-1002", submission,
       404},
      {"POST", "/voxlet/scripts/teachers/subscribe/Unknown.js?endpointXmlId=receiver.R", "", "", "", 404},
      {"GET", "/nowhere", "", "", "", 404},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Handle(c.method, c.target, c.endpoint, c.student, c.body).status, c.status)
        << c.method << " " << c.target;
  EXPECT_FALSE(manager.Submissions().at(0).accepted);
}

// Only subscribed receivers get notifications; a poll returns them once, with ids in queue order
// (more than nine, so that ids compared as text still sort in that order).
TEST_F(SessionManagerTest, PollsReturnQueuedNotificationsOnceInQueueOrder) {
  EXPECT_EQ(Handle("POST", kHello + "receiver", "receiver.Unsubscribed").status, 201);
  for (int i = 0; i < 12; ++i) manager.SetNetworkName("Room " + std::to_string(i) + "!");
  manager.DeactivateQuestion();
  const std::string body = Poll("receiver.R");
  std::vector<std::string> ids;
  const std::regex id("xml:id=\"([^\"]+)\"");
  for (std::sregex_iterator it(body.begin(), body.end(), id), end; it != end; ++it) ids.push_back((*it)[1]);
  ASSERT_EQ(ids.size(), 13u);
  EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
  EXPECT_LT(body.find("Room 0!"), body.find("Room 11!"));
  EXPECT_NE(body.find("notifications/question/deactivated"), std::string::npos);
  EXPECT_EQ(Poll("receiver.R").find("xml:id"), std::string::npos);
  EXPECT_EQ(Poll("receiver.Unsubscribed").find("xml:id"), std::string::npos);
}

}  // namespace
