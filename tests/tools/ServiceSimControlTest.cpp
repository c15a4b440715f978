// The software-service simulator's notification queue, control lines over POST /control and
// receiver removal. (The sample lesson's timeline and its automatic clickers are what
// scripts/demo plays.)
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <regex>

#include "tests/tools/SampleLesson.h"
#include "tools/service-sim/ServiceSimulator.h"
#include "tools/service-sim/SimText.h"

using namespace ServiceSim;

namespace {

const std::string kHello = "/voxlet/builtins/anyone/hello?subject=urn%3Acom.vantrel.voxlet%3A";

// A request as the simulator's HTTP server hands it to the session manager.
SimRequest Request(const std::string& method, const std::string& target,
                   const std::map<std::string, std::string>& headers = {}, const std::string& body = {}) {
  SimRequest r{method, target, {}, body};
  for (const auto& [name, value] : headers) r.headers[LowerAscii(name)] = value;
  return r;
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

// Only subscribed receivers get notifications; a poll returns them once, with ids in queue order
// (more than nine, so that ids compared as text still sort in that order). Another class
// activated while one runs: the running one stops for good first, in the same poll. (A class
// switch, which logs the clickers off, is the class-switch replay transcript.)
TEST(ToolsServiceSim, PollsReturnNotificationsOnceInQueueOrderAndAnotherClassStopsTheRunningOneFirst) {
  SessionManager manager(SampleLessonWithoutTimeline());
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

TEST(ToolsServiceSim, ReceiverRemovedTakesThatReceiversClickersOnly) {
  SessionManager manager(SampleLessonWithoutTimeline());
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
