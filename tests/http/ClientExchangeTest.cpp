// Exchanges of the HTTP client with the software-service simulator: endpoint hellos and
// notifications, ordering, what goes on the wire, and replies that are not what they should be.
#include <algorithm>
#include <regex>

#include "client/XmlSchema.h"
#include "tests/http/HttpFixture.h"

using namespace Voxlet;
using HttpTest::ConnectedClient;
using HttpTest::kPatience;
using HttpTest::kReceiverHello;
using HttpTest::NewMessage;

namespace {

// The xml:ids of the notifications of a runtime reply, in document order.
std::vector<std::string> NotificationIds(const std::string& body) {
  std::vector<std::string> ids;
  const std::regex id("xml:id=\"([^\"]+)\"");
  for (std::sregex_iterator it(body.begin(), body.end(), id), end; it != end; ++it) ids.push_back((*it)[1]);
  return ids;
}

}  // namespace

TEST_F(ConnectedClient, FirstHelloCreatesTheEndpointAndLaterHellosAnswer200) {
  auto first = NewMessage(Methods::Post, kReceiverHello, u"receiver.00-11-22-33-44-55-66-77");
  first->Headers()[Header::ContentType] = Content::Types::ApplicationRdfXml;
  first->SetContent(
      Content(u"<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\" "
              u"xmlns:voxlet=\"http://schemas.vantrel.org/2008/voxlet/\"><rdf:Description>"
              u"<voxlet:address>00-11-22-33-44-55-66-77</voxlet:address></rdf:Description></rdf:RDF>"));
  Exchange(first);
  EXPECT_EQ(first->StatusCode(), StatusCodes::Created);
  EXPECT_TRUE(first->Success(Content::Types::TextXml));
  EXPECT_FALSE(first->Failure());

  auto poll = Exchange(NewMessage(Methods::Get, kReceiverHello, u"receiver.00-11-22-33-44-55-66-77"));
  EXPECT_EQ(poll->StatusCode(), StatusCodes::OK);
  EXPECT_EQ(poll->ReasonPhrase(), u"OK");
  EXPECT_TRUE(poll->Success(Content::Types::TextXml));

  const auto endpoints = sim.Manager().Endpoints();
  ASSERT_EQ(endpoints.count("receiver.00-11-22-33-44-55-66-77"), 1u);
  EXPECT_EQ(endpoints.at("receiver.00-11-22-33-44-55-66-77").address, "00-11-22-33-44-55-66-77");
  EXPECT_EQ(endpoints.at("receiver.00-11-22-33-44-55-66-77").kind, "receiver");
}

TEST_F(ConnectedClient, PollHelloReturnsQueuedNotificationsOnceWithIdsInQueueOrder) {
  const std::u16string endpoint = u"receiver.AA";
  Exchange(NewMessage(Methods::Post, kReceiverHello, endpoint));
  Exchange(
      NewMessage(Methods::Post, u"/voxlet/scripts/teachers/subscribe/ReceiverSubscribe.js?endpointXmlId=receiver.AA"));

  // More than nine, so that ids compared as text still sort in queue order.
  for (int i = 0; i < 12; ++i) sim.Manager().SetNetworkName("Room " + std::to_string(i) + "!");
  sim.Manager().DeactivateQuestion();
  auto poll = Exchange(NewMessage(Methods::Get, kReceiverHello, endpoint));
  ASSERT_TRUE(poll->Success(Content::Types::TextXml));
  const std::string body = poll->ReplyBody();
  const auto ids = NotificationIds(body);
  ASSERT_EQ(ids.size(), 13u);
  EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
  EXPECT_LT(body.find("Room 0!"), body.find("Room 11!"));
  EXPECT_NE(body.find("notifications/question/deactivated"), std::string::npos);

  auto again = Exchange(NewMessage(Methods::Get, kReceiverHello, endpoint));
  EXPECT_TRUE(NotificationIds(again->ReplyBody()).empty());
}

TEST_F(ConnectedClient, RequestsCompleteInTheOrderSentUnderLoad) {
  constexpr int kCount = 300;
  HttpTest::Guarded<std::vector<int>> completed;
  std::vector<MessagePtr> messages;
  for (int i = 0; i < kCount; ++i) {
    auto m = NewMessage(Methods::Get,
                        u"/voxlet/scripts/teachers/getServerActivatedStatus.js?n=" + UTF8to16(std::to_string(i)));
    m->Completed().connect([&completed, i](const MessagePtr& done) {
      // The next request is written only after this one completed.
      EXPECT_EQ(done->State(), RequestStates::Complete);
      completed.Update([i](std::vector<int>& v) { v.push_back(i); });
    });
    messages.push_back(m);
    ASSERT_TRUE(client->Send(m));
  }
  ASSERT_TRUE(completed.WaitFor([](const std::vector<int>& v) { return v.size() == kCount; }));
  const auto order = completed.Get();
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));

  std::vector<int> received;
  for (const auto& r : sim.Manager().Requests())
    if (r.route == "activatedStatus") received.push_back(std::stoi(r.query.at("n")));
  ASSERT_EQ(received.size(), static_cast<size_t>(kCount));
  EXPECT_TRUE(std::is_sorted(received.begin(), received.end()));
}

TEST_F(ConnectedClient, ConcurrentSendersKeepEachThreadsOrder) {
  constexpr int kThreads = 4, kEach = 60;
  std::vector<std::jthread> senders;
  std::vector<MessagePtr> all[kThreads];
  for (int t = 0; t < kThreads; ++t)
    senders.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        auto m = NewMessage(Methods::Get, u"/voxlet/scripts/teachers/getServerActivatedStatus.js?t=" +
                                              UTF8to16(std::to_string(t)) + u"&n=" + UTF8to16(std::to_string(i)));
        all[t].push_back(m);
        EXPECT_TRUE(client->Send(m));
      }
    });
  for (auto& s : senders) s.join();
  for (auto& list : all)
    for (auto& m : list) ASSERT_TRUE(m->BlockUntil(RequestStates::Complete, kPatience));

  std::vector<int> last(kThreads, -1);
  for (const auto& r : sim.Manager().Requests()) {
    if (r.route != "activatedStatus") continue;
    const int t = std::stoi(r.query.at("t")), n = std::stoi(r.query.at("n"));
    EXPECT_EQ(n, last[t] + 1) << "thread " << t;
    last[t] = n;
  }
  EXPECT_EQ(last, std::vector<int>(kThreads, kEach - 1));
}

TEST_F(ConnectedClient, PartAndContentOfASubmissionArriveAsSent) {
  Exchange(NewMessage(Methods::Post, u"/voxlet/builtins/anyone/hello?subject=urn%3Acom.vantrel.voxlet%3Aclicker",
                      u"clickerhardware.receiver.AA.5"));
  const std::u16string document =
      u"<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?><voxlet:submission "
      u"voxlet:submitted=\"2026-12-06T09:10:00.000Z\" xmlns:voxlet=\"http://schemas.vantrel.org/2008/voxlet/\" "
      u"xmlns:xlink=\"http://www.w3.org/1999/xlink\"><voxlet:response voxlet:computermarks=\"1\" "
      u"voxlet:submitted=\"2026-12-06T09:10:00.000Z\" voxlet:teachermarks=\"\" voxlet:questionid=\"q1\">"
      u"Zoë &amp; B</voxlet:response></voxlet:submission>";
  auto m = NewMessage(Methods::Post, u"/voxlet/builtins/teachers/submit?assessment=assessment-1&class=class-1",
                      u"clickerhardware.receiver.AA.5");
  m->Headers()[u"X-Vantrel-Voxlet-Student"] = u"s-1001";
  Part part;
  part.Headers()[Header::ContentType] = Content::Types::TextXml;
  part.Headers()[u"Content-Disposition"] = u"filename=\"submission.xml\"";
  m->Parts().push_back(part);
  m->SetContent(Content(document));
  m->Headers()[Header::ContentType] = u"text/xml";
  Exchange(m);
  EXPECT_EQ(m->StatusCode(), StatusCodes::OK);

  const auto submissions = sim.Manager().Submissions();
  ASSERT_EQ(submissions.size(), 1u);
  const auto& s = submissions[0];
  EXPECT_EQ(s.parts, 1u);
  EXPECT_EQ(s.partContentType, "text/xml");
  EXPECT_EQ(s.partDisposition, "filename=\"submission.xml\"");
  EXPECT_EQ(s.document, UTF16to8(document));
  EXPECT_EQ(s.questionId, "q1");
  EXPECT_EQ(s.answer, "Zoë & B");
  EXPECT_EQ(s.studentId, "s-1001");
  EXPECT_EQ(s.endpointId, "clickerhardware.receiver.AA.5");
  EXPECT_TRUE(s.accepted);
}

TEST_F(ConnectedClient, PlainBodyAndHeadersArriveAsSent) {
  auto m = NewMessage(Methods::Post, u"/voxlet/builtins/teachers/raisedhand", u"clickerhardware.receiver.AA.7");
  m->Headers()[u"x-vantrel-voxlet-student"] = u"s-1002";
  m->Headers()[Header::ContentType] = u"text/xml";
  m->SetContent(
      Content(u"<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?><voxlet:raisedhand "
              u"xmlns:voxlet = \"http://schemas.vantrel.org/2008/voxlet/\" voxlet:time=\"t\" "
              u"voxlet:studentid=\"s-1002\" voxlet:value=\"true\"/>"));
  Exchange(m);
  const auto hands = sim.Manager().RaisedHands();
  ASSERT_EQ(hands.size(), 1u);
  EXPECT_EQ(hands[0].studentId, "s-1002");
  EXPECT_EQ(hands[0].value, "true");
  const auto requests = sim.Manager().Requests();
  EXPECT_EQ(requests.back().headers.at("x-vantrel-voxlet-student"), "s-1002");
  EXPECT_EQ(requests.back().headers.at("x-vantrel-voxlet-endpoint"), "clickerhardware.receiver.AA.7");
  EXPECT_EQ(requests.back().method, "POST");
}

TEST_F(ConnectedClient, ErrorStatusIsFailureAndTypeMismatchIsNoSuccess) {
  auto missing = Exchange(NewMessage(Methods::Post, u"/voxlet/builtins/anyone/goodbye", u"nobody"));
  EXPECT_EQ(missing->StatusCode(), StatusCodes::NotFound);
  EXPECT_TRUE(missing->Failure());
  EXPECT_FALSE(missing->Success(Content::Types::TextXml));

  auto activated = Exchange(NewMessage(Methods::Get, u"/voxlet/scripts/teachers/getServerActivatedStatus.js"));
  EXPECT_TRUE(activated->Success(u"TEXT/XML"));
  EXPECT_FALSE(activated->Success(Content::Types::ApplicationRdfXml));
  EXPECT_FALSE(activated->Failure());
}

TEST_F(ConnectedClient, MalformedXmlBodyIsDeliveredAsReceivedAndTheConnectionStays) {
  ServiceSim::SimReply broken;
  broken.contentType = "text/xml";
  broken.body = "<voxlet:runtime><voxlet:notifications><unclosed";
  sim.OverrideReply("/voxlet/builtins/anyone/hello", broken);
  auto m = Exchange(NewMessage(Methods::Get, kReceiverHello, u"receiver.AA"));
  EXPECT_EQ(m->State(), RequestStates::Complete);
  EXPECT_EQ(m->ReplyBody(), broken.body);
  EXPECT_TRUE(m->Success(Content::Types::TextXml));

  sim.OverrideReply("", {});
  auto next = Exchange(NewMessage(Methods::Get, kReceiverHello, u"receiver.AA"));
  EXPECT_EQ(next->StatusCode(), StatusCodes::Created);
  EXPECT_EQ(client->State(), ClientStates::Connected);
}

TEST_F(ConnectedClient, BrokenRepliesFailTheRequestAndTheClientReconnects) {
  const char* const broken[] = {
      "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: 500\r\n\r\n<voxlet:runtime>",  // cut short
      "this is not HTTP at all\r\n\r\n",
  };
  size_t expectedStates = 2;
  for (const char* raw : broken) {
    ServiceSim::SimReply reply;
    reply.raw = raw;
    sim.OverrideReply("/voxlet/builtins/anyone/hello", reply);
    auto m = NewMessage(Methods::Get, kReceiverHello, u"receiver.AA");
    ASSERT_TRUE(client->Send(m));
    EXPECT_FALSE(m->BlockUntil(RequestStates::Complete, kPatience)) << raw;
    EXPECT_TRUE(m->Ended());
    EXPECT_EQ(m->State(), RequestStates::NotSent);
    EXPECT_EQ(m->StatusCode(), 0);
    EXPECT_TRUE(m->Failure());

    // 2 -> 0 -> 1 -> 2: the recorder asks for the reconnection on 0.
    sim.OverrideReply("", {});
    expectedStates += 3;
    ASSERT_TRUE(recorder->WaitForCount(expectedStates));
    const auto states = recorder->states.Get();
    EXPECT_EQ(std::vector<int>(states.end() - 3, states.end()), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(Exchange(NewMessage(Methods::Get, kReceiverHello, u"receiver.AA"))->State(), RequestStates::Complete);
  }
}

TEST_F(ConnectedClient, HeaderValueWithLineBreakIsNeverWritten) {
  auto m = NewMessage(Methods::Post, u"/voxlet/builtins/teachers/signin", u"clicker\r\nX-Injected: yes");
  HttpTest::Guarded<int> fired;
  m->Completed().connect([&](const MessagePtr&) { fired.Update([](int& n) { ++n; }); });
  client->Send(m);
  ASSERT_TRUE(fired.WaitFor([](int n) { return n == 1; }));
  EXPECT_TRUE(m->Failure());
  EXPECT_EQ(sim.Manager().Count("signin"), 0u);
  // The connection is untouched and the next request goes out.
  EXPECT_EQ(Exchange(NewMessage(Methods::Get, u"/voxlet/scripts/teachers/getServerActivatedStatus.js"))->StatusCode(),
            StatusCodes::OK);
}

TEST_F(ConnectedClient, UnsafePathBytesArePercentEncoded) {
  Exchange(NewMessage(Methods::Post, u"/voxlet/builtins/teachers/submit?assessment=a b&class=c\u00e9"));
  const auto submissions = sim.Manager().Submissions();
  ASSERT_EQ(submissions.size(), 1u);
  EXPECT_EQ(submissions[0].assessmentId, "a b");
  EXPECT_EQ(submissions[0].classId, "c\u00e9");
}

TEST_F(ConnectedClient, DocumentContentGoesOutPrinted) {
  XmlDocumentPtr doc = XmlSchema::NewDoc(u"rdf:RDF");
  auto* description = XmlSchema::CreateElement(doc->Root(), u"rdf:Description");
  XmlSchema::SetAttribute(description, u"rdf:about", u"urn:com.vantrel.voxlet:student:1001");
  XmlSchema::CreateElement(description, u"voxlet:number", u"1001");
  auto m =
      NewMessage(Methods::Post, u"/voxlet/builtins/teachers/whois?subject=urn%3Acom.vantrel.voxlet%3Astudent%3A1001",
                 u"clickerhardware.receiver.AA.5");
  m->Headers()[Header::ContentType] = Content::Types::ApplicationRdfXml;
  m->SetContent(Content(doc));
  Exchange(NewMessage(Methods::Post, u"/voxlet/builtins/anyone/hello?subject=urn%3Acom.vantrel.voxlet%3Aclicker",
                      u"clickerhardware.receiver.AA.5"));
  Exchange(m);
  EXPECT_EQ(m->StatusCode(), StatusCodes::OK);
  EXPECT_EQ(m->ReplyHeaders().Get(u"X-Vantrel-Voxlet-Student"), u"s-1001");
  EXPECT_EQ(sim.Manager().Requests().back().body, XmlSchema::PrintDocUtf8(*doc));
}

TEST_F(ConnectedClient, StatusUpdateIsAGetThatCarriesItsBody) {
  const std::u16string clickerHello = u"/voxlet/builtins/anyone/hello?subject=urn%3Acom.vantrel.voxlet%3Aclicker";
  Exchange(NewMessage(Methods::Post, clickerHello, u"clickerhardware.receiver.AA.9"));
  auto update = NewMessage(Methods::Get, clickerHello, u"clickerhardware.receiver.AA.9");
  update->Headers()[Header::ContentType] = Content::Types::ApplicationRdfXml;
  update->SetContent(
      Content(u"<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\" "
              u"xmlns:voxlet=\"http://schemas.vantrel.org/2008/voxlet/\"><rdf:Description>"
              u"<voxlet:battery>1</voxlet:battery><voxlet:signal>3</voxlet:signal>"
              u"</rdf:Description></rdf:RDF>"));
  Exchange(update);
  EXPECT_EQ(update->StatusCode(), StatusCodes::OK);
  const auto clicker = sim.Manager().Endpoints().at("clickerhardware.receiver.AA.9");
  EXPECT_EQ(clicker.battery, "1");
  EXPECT_EQ(clicker.signal, "3");
  EXPECT_EQ(sim.Manager().Requests().back().method, "GET");
}
