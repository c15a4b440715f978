// The software-service simulator's classes, what it refuses, its notification queue, control lines
// over POST /control and receiver removal. (The sample lesson's timeline and its automatic
// clickers are what scripts/demo plays.)
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <mutex>
#include <regex>

#include "tests/tools/SimRequests.h"
#include "tools/service-sim/ServiceSimulator.h"
#include "tools/service-sim/SimText.h"

using namespace ServiceSim;

namespace {

using namespace ServiceSimRequests;

Scenario Lesson() {
  std::string error;
  auto scenario = LoadScenario(OVANTA_SERVICE_SIM_DATA "/lesson.scenario", error);
  EXPECT_TRUE(scenario) << error;
  scenario->timeline.clear();
  return *scenario;
}

// A reply's status and body over a plain socket: one request, then the server closes.
std::pair<int, std::string> Post(uint16_t port, const std::string& method, const std::string& body) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string reply;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    const std::string request =
        method +
        " /control HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nContent-Length: " + std::to_string(body.size()) +
        "\r\n\r\n" + body;
    (void)!write(fd, request.data(), request.size());
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) reply.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  if (reply.rfind("HTTP/1.1 ", 0) != 0) return {0, reply};
  const size_t bodyAt = reply.find("\r\n\r\n");
  return {std::stoi(reply.substr(9, 3)), bodyAt == std::string::npos ? "" : reply.substr(bodyAt + 4)};
}

void Subscribe(SessionManager& manager, const std::string& receiver) {
  ASSERT_EQ(manager.Handle(Request("POST", kHello + "receiver", {{kEndpointHeader, receiver}})).status, 201);
  ASSERT_EQ(
      manager
          .Handle(Request("POST", "/voxlet/scripts/teachers/subscribe/ReceiverSubscribe.js?endpointXmlId=" + receiver))
          .status,
      200);
}

TEST(ToolsServiceSim, ScenarioFilesDescribeSeveralClasses) {
  const std::string path = ::testing::TempDir() + "/classes.scenario";
  std::ofstream(path) << "class-id = first\nstudent = 1 s-1 One\nassessment = " OVANTA_SERVICE_SIM_DATA
                         "/lesson-assessment.xml\nassessment-id = quiz-a\n"
                         "class = second anonymous\nassessment-id = quiz-b\nassessment-id = quiz-c\n";
  std::string error;
  const auto scenario = LoadScenario(path, error);
  ASSERT_TRUE(scenario) << error;
  ASSERT_EQ(scenario->classes.size(), 2u);
  EXPECT_EQ(scenario->classes[0].id, "first");
  ASSERT_EQ(scenario->classes[0].assessments.size(), 1u);
  EXPECT_EQ(scenario->classes[0].assessments[0].id, "quiz-a");  // named after its file
  EXPECT_FALSE(scenario->classes[0].assessments[0].xml.empty());
  EXPECT_TRUE(scenario->classes[1].anonymous);
  EXPECT_EQ(scenario->classes[1].assessments.size(), 2u);
  std::ofstream(path) << "class = a\nclass = a\n";
  EXPECT_FALSE(LoadScenario(path, error));
  EXPECT_NE(error.find(":2: class a given twice"), std::string::npos) << error;
  std::ofstream(path) << "class = a\nstudent = 1 x\nstudent = 1 y\n";
  EXPECT_FALSE(LoadScenario(path, error));
}

// What the session manager refuses (what it serves, the replay transcripts show; an unknown
// number's whois is the lesson transcript, a second goodbye the receiver-removal test below).
TEST(ToolsServiceSim, RefusesWhatItCannotServe) {
  SessionManager manager(Lesson());
  Subscribe(manager, "receiver.R");
  const auto handle = [&](const char* method, const std::string& target, const std::string& endpoint = "",
                          const std::string& student = "", const std::string& body = "") {
    std::map<std::string, std::string> headers;
    if (!endpoint.empty()) headers[kEndpointHeader] = endpoint;
    if (!student.empty()) headers[kStudentHeader] = student;
    return manager.Handle(Request(method, target, headers, body)).status;
  };
  ASSERT_EQ(handle("POST", kHello + "clicker", "clicker.5"), 201);
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
    EXPECT_EQ(handle(c.method, c.target, c.endpoint, c.student, c.body), c.status) << c.method << " " << c.target;
  EXPECT_FALSE(manager.Submissions().at(0).accepted);
}

// Only subscribed receivers get notifications; a poll returns them once, with ids in queue order
// (more than nine, so that ids compared as text still sort in that order). Another class
// activated while one runs: the running one stops for good first, in the same poll. (A class
// switch, which logs the clickers off, is the class-switch replay transcript.)
TEST(ToolsServiceSim, PollsReturnNotificationsOnceInQueueOrderAndAnotherClassStopsTheRunningOneFirst) {
  SessionManager manager(Lesson());
  Subscribe(manager, "receiver.R");
  ASSERT_EQ(manager.Handle(Request("POST", kHello + "receiver", {{kEndpointHeader, "receiver.Unsubscribed"}})).status,
            201);
  const auto poll = [&](const std::string& receiver) {
    return manager.Handle(Request("GET", kHello + "receiver", {{kEndpointHeader, receiver}})).body;
  };
  for (int i = 0; i < 12; ++i) manager.SetNetworkName("Room " + std::to_string(i) + "!");
  manager.DeactivateQuestion();
  const std::string body = poll("receiver.R");
  std::vector<std::string> ids;
  const std::regex id("xml:id=\"([^\"]+)\"");
  for (std::sregex_iterator it(body.begin(), body.end(), id), end; it != end; ++it) ids.push_back((*it)[1]);
  ASSERT_EQ(ids.size(), 13u);
  EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
  EXPECT_LT(body.find("Room 0!"), body.find("Room 11!"));
  EXPECT_NE(body.find("notifications/question/deactivated"), std::string::npos);
  EXPECT_EQ(poll("receiver.R").find("xml:id"), std::string::npos);
  EXPECT_EQ(poll("receiver.Unsubscribed").find("xml:id"), std::string::npos);

  ASSERT_TRUE(manager.ActivateClass());
  poll("receiver.R");
  EXPECT_FALSE(manager.SwitchClass("nowhere"));
  ASSERT_TRUE(manager.ActivateClass("drop-in"));
  const std::string again = poll("receiver.R");
  EXPECT_NE(again.find("voxlet:logoff=\"false\""), std::string::npos);
  EXPECT_LT(again.find("notifications/class/deactivated"), again.find("notifications/class/activated"));
  EXPECT_NE(again.find("voxlet:classid=\"drop-in\""), std::string::npos);
}

TEST(ToolsServiceSim, ControlLinesOverPostRunOneActionPerLineAndReportTheState) {
  std::mutex lock;  // outlives the simulator, whose server thread prints
  std::string printed;
  ServiceSimulator simulator(Lesson());
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

TEST(ToolsServiceSim, ReceiverRemovedTakesThatReceiversClickersOnly) {
  SessionManager manager(Lesson());
  Subscribe(manager, "receiver.R1");
  Subscribe(manager, "receiver.R2");
  const std::vector<std::pair<std::string, std::string>> clickers = {
      {"clickerhardware.receiver.R1.256", "receiver.R1"},
      {"clickerhardware.receiver.R1.257", "receiver.R1"},
      {"clickerhardware.receiver.R2.256", "receiver.R2"},
      {"clickerhardware.receiver.R10.256", "receiver.R10"}};
  for (const auto& [id, receiver] : clickers)
    ASSERT_EQ(manager
                  .Handle(Request("POST", kHello + "clicker", {{kEndpointHeader, id}},
                                  "<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\" xmlns:voxlet=\"" +
                                      kVocabulary + "\"><rdf:Description><voxlet:receiverid>" + receiver +
                                      "</voxlet:receiverid></rdf:Description></rdf:RDF>"))
                  .status,
              201);
  EXPECT_EQ(manager.Handle(Request("POST", "/voxlet/scripts/teachers/receiverRemoved.js?endpoint=receiver.R1")).status,
            200);
  const auto endpoints = manager.Endpoints();
  for (const auto& [id, receiver] : clickers) EXPECT_EQ(endpoints.count(id), receiver == "receiver.R1" ? 0u : 1u) << id;
  EXPECT_EQ(endpoints.count("receiver.R1"), 1u);  // the receiver says goodbye itself
  // The clickers' own goodbyes that follow are answered, once.
  const auto goodbye = [&](const std::string& id) {
    return manager.Handle(Request("POST", "/voxlet/builtins/anyone/goodbye", {{kEndpointHeader, id}})).status;
  };
  EXPECT_EQ(goodbye("clickerhardware.receiver.R1.256"), 200);
  EXPECT_EQ(goodbye("clickerhardware.receiver.R1.256"), 404);
  EXPECT_EQ(goodbye("receiver.R1"), 200);
}

}  // namespace
