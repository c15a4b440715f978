// The simulated session manager, driven through its request handler and its teacher actions,
// and the scenario files it plays.
#include <gtest/gtest.h>

#include <fstream>

#include "tests/http/HttpFixture.h"
#include "tests/tools/SimRequests.h"
#include "tools/service-sim/SessionManager.h"
#include "tools/service-sim/SimText.h"

using namespace ServiceSim;

namespace {

using namespace ServiceSimRequests;

std::string WhoisBody(const std::string& number) {
  return "<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\" xmlns:voxlet=\"" + kVocabulary +
         "\"><rdf:Description rdf:about=\"urn:com.vantrel.voxlet:student:" + number + "\"><voxlet:number>" + number +
         "</voxlet:number></rdf:Description></rdf:RDF>";
}

class SessionManagerTest : public ::testing::Test {
 protected:
  // A subscribed receiver and one clicker endpoint under it.
  void SetUp() override {
    EXPECT_EQ(Handle("POST", kHello + "receiver", {{kEndpointHeader, "receiver.R"}}).status, 201);
    EXPECT_EQ(Handle("POST", "/voxlet/scripts/teachers/subscribe/ReceiverSubscribe.js?endpointXmlId=receiver.R").status,
              200);
    EXPECT_EQ(Handle("POST", kHello + "clicker", {{kEndpointHeader, "clicker.5"}}).status, 201);
  }
  SimReply Handle(const std::string& method, const std::string& target, std::map<std::string, std::string> headers = {},
                  std::string body = {}) {
    return manager.Handle(Request(method, target, std::move(headers), std::move(body)));
  }
  std::string Poll() { return Handle("GET", kHello + "receiver", {{kEndpointHeader, "receiver.R"}}).body; }

  SessionManager manager{HttpTest::TestScenario()};
};

}  // namespace

TEST_F(SessionManagerTest, HelloWithoutEndpointIsRefused) {
  EXPECT_EQ(Handle("POST", kHello + "receiver").status, 400);
}

TEST_F(SessionManagerTest, NotificationsGoToSubscribedReceiversOnly) {
  EXPECT_EQ(Handle("POST", kHello + "receiver", {{kEndpointHeader, "receiver.Unsubscribed"}}).status, 201);
  manager.ActivateClass();
  EXPECT_NE(Poll().find("notifications/class/activated"), std::string::npos);
  EXPECT_EQ(Handle("GET", kHello + "receiver", {{kEndpointHeader, "receiver.Unsubscribed"}}).body.find("notification "),
            std::string::npos);
}

TEST_F(SessionManagerTest, ClassAndAssessmentShowInTheActivatedDocument) {
  XmlFields before = ReadXmlFields(manager.ActivatedDocument());
  EXPECT_EQ(before.attributes["classref@classid"], "");
  manager.ActivateClass();
  manager.ActivateAssessment();
  manager.ActivateQuestion("q3");
  const SimReply reply = Handle("GET", "/voxlet/scripts/teachers/getServerActivatedStatus.js");
  EXPECT_EQ(reply.contentType, "text/xml");
  XmlFields after = ReadXmlFields(reply.body);
  ASSERT_TRUE(after.wellFormed);
  EXPECT_EQ(after.attributes["activated@networkname"], "Room 101");
  EXPECT_EQ(after.attributes["classref@id"], "activated-class");
  EXPECT_EQ(after.attributes["classref@classid"], "class-1");
  EXPECT_FALSE(after.attributes["assessmentref@started"].empty());
  EXPECT_EQ(after.attributes["assessmentref@stopped"], "");
  EXPECT_EQ(after.attributes["currentQuestion@questionid"], "q3");
  EXPECT_EQ(after.attributes["link@href"], "classes/class-1/assessment-1/metadata");

  manager.DeactivateAssessment();
  EXPECT_FALSE(ReadXmlFields(manager.ActivatedDocument()).attributes["assessmentref@stopped"].empty());
}

TEST_F(SessionManagerTest, DatabaseServesTheAssessmentAndItsMetadata) {
  const SimReply assessment = Handle("GET", "/voxlet/database/classes/class-1/assessment-1");
  EXPECT_EQ(assessment.status, 200);
  EXPECT_EQ(ReadXmlFields(assessment.body).attributes["assessment@id"], "assessment-1");
  const SimReply metadata = Handle("GET", "/voxlet/database/classes/class-1/assessment-1/metadata");
  EXPECT_EQ(metadata.status, 200);
  EXPECT_EQ(metadata.contentType, "text/xml");
  EXPECT_NE(metadata.body.find("questionformat#short-answer"), std::string::npos);
  EXPECT_EQ(Handle("GET", "/voxlet/database/classes/class-9/assessment-1").status, 404);
  EXPECT_EQ(Handle("POST", "/voxlet/database/classes/class-1/assessment-1").status, 405);
}

TEST_F(SessionManagerTest, WhoisAnswersWithTheStudentHeaderAndSigninNeedsIt) {
  const SimReply known = Handle("POST", "/voxlet/builtins/teachers/whois?subject=urn%3Astudent%3A1002",
                                {{kEndpointHeader, "clicker.5"}}, WhoisBody("1002"));
  EXPECT_EQ(known.status, 200);
  ASSERT_EQ(known.headers.size(), 1u);
  EXPECT_EQ(known.headers[0], std::make_pair(kStudentHeader, std::string("s-1002")));

  EXPECT_EQ(
      Handle("POST", "/voxlet/builtins/teachers/signin", {{kEndpointHeader, "clicker.5"}, {kStudentHeader, "s-1001"}})
          .status,
      403);
  EXPECT_EQ(
      Handle("POST", "/voxlet/builtins/teachers/signin", {{kEndpointHeader, "clicker.5"}, {kStudentHeader, "s-1002"}})
          .status,
      200);
  EXPECT_TRUE(manager.Endpoints().at("clicker.5").signedIn);

  EXPECT_EQ(
      Handle("POST", "/voxlet/builtins/teachers/whois?subject=x", {{kEndpointHeader, "clicker.5"}}, WhoisBody("9999"))
          .status,
      404);
  EXPECT_EQ(
      Handle("POST", "/voxlet/builtins/teachers/whois?subject=x", {{kEndpointHeader, "clicker.5"}}, "<broken").status,
      400);
}

TEST_F(SessionManagerTest, AnonymousClassTakesAnyClickerNumber) {
  manager.DeactivateClass(true, true);
  const SimReply reply = Handle("POST", "/voxlet/builtins/teachers/whois?subject=x", {{kEndpointHeader, "clicker.5"}},
                                WhoisBody("clickerstudent.00-11"));
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.headers.at(0).second, "clickerstudent.00-11");
}

TEST_F(SessionManagerTest, DoctypeInABodyIsNotRead) {
  const std::string xxe =
      "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>"
      "<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\" xmlns:voxlet=\"" +
      kVocabulary + "\"><voxlet:number>&x;</voxlet:number></rdf:RDF>";
  EXPECT_FALSE(ReadXmlFields(xxe).wellFormed);
  EXPECT_EQ(Handle("POST", "/voxlet/builtins/teachers/whois?subject=x", {{kEndpointHeader, "clicker.5"}}, xxe).status,
            400);
}

TEST_F(SessionManagerTest, SubmissionsAreRecordedAcceptedOrNot) {
  const std::string doc = "<voxlet:submission xmlns:voxlet=\"" + kVocabulary +
                          "\"><voxlet:response voxlet:questionid=\"q4\">1.3</voxlet:response></voxlet:submission>";
  EXPECT_EQ(Handle("POST", "/voxlet/builtins/teachers/submit?assessment=assessment-1&class=class-1",
                   {{kEndpointHeader, "clicker.5"}, {kStudentHeader, "s-1001"}, {"Content-Type", "text/xml"}}, doc)
                .status,
            200);
  EXPECT_EQ(Handle("POST", "/voxlet/builtins/teachers/submit?assessment=other&class=class-1",
                   {{kEndpointHeader, "clicker.5"}, {kStudentHeader, "s-1001"}}, doc)
                .status,
            404);
  const auto submissions = manager.Submissions();
  ASSERT_EQ(submissions.size(), 2u);
  EXPECT_TRUE(submissions[0].accepted);
  EXPECT_EQ(submissions[0].questionId, "q4");
  EXPECT_EQ(submissions[0].answer, "1.3");
  EXPECT_EQ(submissions[0].parts, 0u);
  EXPECT_FALSE(submissions[1].accepted);
  EXPECT_NE(manager.Summary().find("s-1001 q4 = \"1.3\""), std::string::npos);
}

TEST_F(SessionManagerTest, StudentActionsFindTheClickerEndpoint) {
  Handle("POST", "/voxlet/builtins/teachers/whois?subject=x", {{kEndpointHeader, "clicker.5"}}, WhoisBody("1001"));
  EXPECT_TRUE(manager.DisconnectStudent("s-1001"));
  EXPECT_TRUE(manager.CancelRaisedHand("s-1001"));
  EXPECT_FALSE(manager.DisconnectStudent("s-1002"));
  const std::string body = Poll();
  EXPECT_LT(body.find("notifications/disconnect/student"), body.find("notifications/class/cancelraisedhand"));
  EXPECT_NE(body.find("voxlet:endpointid=\"clicker.5\""), std::string::npos);
}

TEST_F(SessionManagerTest, ModeSwitchingGoesToTheHardwareServiceEndpoint) {
  Handle("POST", kHello + "hardwareservice", {{kEndpointHeader, "hardwareservice"}});
  EXPECT_EQ(
      Handle("POST", "/voxlet/scripts/teachers/subscribe/HarewareServiceSubscribe.js?endpointXmlId=hardwareservice")
          .status,
      200);
  manager.ModeSwitching();
  EXPECT_EQ(Poll().find("modeswitching"), std::string::npos);
  EXPECT_NE(Handle("GET", kHello + "hardwareservice", {{kEndpointHeader, "hardwareservice"}})
                .body.find("notifications/hardware/modeswitching"),
            std::string::npos);
}

TEST_F(SessionManagerTest, GoodbyeRemovesTheEndpointOnce) {
  EXPECT_EQ(Handle("POST", "/voxlet/builtins/anyone/goodbye", {{kEndpointHeader, "clicker.5"}}).status, 200);
  EXPECT_EQ(Handle("POST", "/voxlet/builtins/anyone/goodbye", {{kEndpointHeader, "clicker.5"}}).status, 404);
  EXPECT_EQ(manager.Endpoints().count("clicker.5"), 0u);
}

TEST_F(SessionManagerTest, ScriptsAnswerAndRecordTheirReports) {
  EXPECT_EQ(
      Handle("GET", "/voxlet/scripts/teachers/receiverConnected.js?up=true", {{kEndpointHeader, "receiver.R"}}).status,
      200);
  EXPECT_TRUE(manager.Endpoints().at("receiver.R").networkUp);
  EXPECT_EQ(Handle("POST", "/voxlet/scripts/teachers/lowBattery.js?", {{kEndpointHeader, "clicker.5"}}).status, 200);
  EXPECT_EQ(manager.Endpoints().at("clicker.5").battery, "low");
  EXPECT_EQ(
      Handle("POST", "/voxlet/scripts/teachers/receiverRemoved.js?failure=true&endpoint=receiver.R&reconnect=false")
          .status,
      200);
  EXPECT_EQ(manager.Requests().back().query.at("reconnect"), "false");
  EXPECT_EQ(Handle("POST", "/voxlet/scripts/teachers/subscribe/Unknown.js?endpointXmlId=receiver.R").status, 404);
  EXPECT_EQ(Handle("GET", "/nowhere").status, 404);
  EXPECT_EQ(manager.Count("unknown"), 1u);
}

TEST(Scenario, TheShippedSampleLoads) {
  std::string error;
  auto s = LoadScenario(OVANTA_SERVICE_SIM_DATA "/classroom.scenario", error);
  ASSERT_TRUE(s) << error;
  EXPECT_EQ(s->networkName, "Room 101");
  EXPECT_EQ(s->students.size(), 4u);
  EXPECT_EQ(s->FindByNumber("1003")->name, "Grace Hopper");
  EXPECT_FALSE(s->assessmentXml.empty());
  EXPECT_FALSE(s->metadataRdf.empty());
  ASSERT_FALSE(s->timeline.empty());
  EXPECT_TRUE(std::is_sorted(s->timeline.begin(), s->timeline.end(),
                             [](const TimelineEvent& a, const TimelineEvent& b) { return a.at < b.at; }));
  for (const char* format :
       {"choice", "ordering", "selection", "matching", "decimal", "fraction", "fractional", "short-answer", "math"})
    EXPECT_NE(s->metadataRdf.find(std::string("questionformat#") + format + "\""), std::string::npos) << format;
}

TEST(Scenario, BadLinesAreReportedWithTheirPlace) {
  const std::string path = ::testing::TempDir() + "/bad.scenario";
  std::ofstream(path) << "network-name = X\nat 2 dance\n";
  std::string error;
  EXPECT_FALSE(LoadScenario(path, error));
  EXPECT_NE(error.find(":2: unknown action: dance"), std::string::npos) << error;
  std::ofstream(path) << "assessment = missing.xml\n";
  EXPECT_FALSE(LoadScenario(path, error));
  EXPECT_NE(error.find("cannot read"), std::string::npos);
}

TEST(Scenario, TimelineStartsWithTheFirstReceiverSubscription) {
  Scenario s = HttpTest::TestScenario();
  s.timeline = {{0, "activate-class", {}}, {0, "network-name", {"Room", "7"}}};
  ServiceSimulator sim(s);
  EXPECT_EQ(sim.ActionsRun(), 0u);
  sim.Manager().Handle(Request("POST", kHello + "receiver", {{kEndpointHeader, "receiver.R"}}));
  sim.Manager().Handle(
      Request("POST", "/voxlet/scripts/teachers/subscribe/ReceiverSubscribe.js?endpointXmlId=receiver.R"));
  ASSERT_TRUE(sim.Manager().WaitFor([&] { return sim.Manager().Endpoints().at("receiver.R").queue.size() == 2; },
                                    HttpTest::kPatience));
  EXPECT_EQ(ReadXmlFields(sim.Manager().ActivatedDocument()).attributes["activated@networkname"], "Room 7");
}

TEST(SimText, TargetsAndEscapes) {
  std::string path;
  std::map<std::string, std::string> query;
  SplitTarget("/a%20b?x=1%262&y=&z", path, query);
  EXPECT_EQ(path, "/a b");
  EXPECT_EQ(query["x"], "1&2");
  EXPECT_EQ(query["y"], "");
  EXPECT_EQ(query.count("z"), 1u);
  EXPECT_EQ(UrlDecode("%zz%4"), "%zz%4");
  EXPECT_EQ(XmlEscape("<a href=\"x\">&'"), "&lt;a href=&quot;x&quot;&gt;&amp;&apos;");
  const std::string t = UtcTimestamp();
  EXPECT_EQ(t.size(), 24u);
  EXPECT_EQ(t.back(), 'Z');
}
