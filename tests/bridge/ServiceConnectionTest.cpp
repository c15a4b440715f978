#include <future>

#include "tests/bridge/BridgeFixture.h"

using ServiceSim::ReceivedRequest;

// The hello describes the receiver with its firmware, product and address.
TEST_F(BridgeTest, ACreatedEndpointIsSubscribedReportedDownAndAskedForTheActivatedStatusInThatOrderOnce) {
  config.macHigh = 0xA1B2C3D4;
  config.macLow = 0x0E0F1A2B;
  config.productCode = 1;
  const std::string endpoint = "receiver.A1-B2-C3-D4-0E-0F-1A-2B";
  OpenAndSubscribe();
  Settle();
  std::vector<std::string> routes = Routes();
  std::erase(routes, "unknown");  // the markers
  EXPECT_EQ(routes, (std::vector<std::string>{"hello", "subscribe", "receiverConnected", "activatedStatus"}));
  // The start-up queries went out in order once the client was connected.
  const Packets packets = Received();
  const Bytes queries[] = {{0x00, 0x00, 0x2A}, {0x00, 0x00, 0x06}, {0x00, 0x00, 0x00}, kMacQuery};
  auto at = packets.begin();
  for (const Bytes& query : queries) {
    at = std::find(at, packets.end(), query);
    EXPECT_NE(at, packets.end()) << "query " << int(query[2]) << " missing or out of order";
  }

  const std::vector<ReceivedRequest> requests = Requests();
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].query.at("subject"), "urn:com.vantrel.voxlet:receiver");
  EXPECT_EQ(requests[0].headers.at("content-type"), "application/rdf+xml");
  EXPECT_EQ(requests[0].body,
            "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>"
            "<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">"
            "<rdf:Description rdf:about=\"urn:com.vantrel.voxlet:receiver\">"
            "<voxlet:make xmlns:voxlet=\"http://schemas.vantrel.org/2008/voxlet/\">ZORIN Ovanta\xE2\x84\xA2 Receiver "
            "Hardware</voxlet:make>"
            "<voxlet:address xmlns:voxlet=\"http://schemas.vantrel.org/2008/voxlet/\">A1-B2-C3-D4-0E-0F-1A-2B"
            "</voxlet:address>"
            "<dc:title xmlns:dc=\"http://purl.org/dc/elements/1.1/\">2.5.17 (BEEF)</dc:title>"
            "<voxlet:hardwaredevicetype xmlns:voxlet=\"http://schemas.vantrel.org/2008/voxlet/\">"
            "http://schemas.vantrel.org/2008/voxlet/hardwaredevicetype#receiver</voxlet:hardwaredevicetype>"
            "<voxlet:receivertype xmlns:voxlet=\"http://schemas.vantrel.org/2008/voxlet/\">QX</voxlet:receivertype>"
            "</rdf:Description></rdf:RDF>");
  EXPECT_EQ(requests[1].method, "POST");
  EXPECT_EQ(requests[1].path, "/voxlet/scripts/teachers/subscribe/ReceiverSubscribe.js");
  EXPECT_EQ(requests[1].query.at("endpointXmlId"), endpoint);
  EXPECT_EQ(requests[1].headers.count("x-vantrel-voxlet-endpoint"), 0u);  // the id is in the query
  EXPECT_EQ(requests[2].method, "GET");
  EXPECT_EQ(requests[2].query.at("up"), "false");
  for (size_t i : {0u, 2u, 3u}) EXPECT_EQ(requests[i].headers.at("x-vantrel-voxlet-endpoint"), endpoint) << i;
  EXPECT_EQ(requests[3].method, "GET");

  EXPECT_EQ(Voxlet::UTF16to8(session->EndpointId()), endpoint);
  EXPECT_TRUE(session->Subscribed());
  const auto endpoints = service.Manager().Endpoints();
  ASSERT_EQ(endpoints.count(endpoint), 1u);
  EXPECT_TRUE(endpoints.at(endpoint).subscribed);
  EXPECT_EQ(endpoints.at(endpoint).address, "A1-B2-C3-D4-0E-0F-1A-2B");
  const std::string log = Log();
  for (const std::string& line : std::vector<std::string>{
           "Connected to software service; querying information from the receiver\r\n",
           "OnPropertyQueryMacAddr addr=A1-B2-C3-D4-0E-0F-1A-2B; saying hello to software service...\r\n",
           "Endpoint " + endpoint + " created; subscribing for notifications and querying the current state...\r\n",
           "Getting the server activated status...\r\n"})
    EXPECT_EQ(Occurrences(log, line), 1u) << line;
  EXPECT_EQ(Occurrences(log, "still scanning"), 0u);

  // A network that comes up is reported once. (That later polls neither subscribe nor report
  // again is pinned by the replay transcripts.)
  simulator->SendStatus(2);
  simulator->SendStatus(2);
  // A NETWORK_STATE query from the receiver is answered after both reports were handled.
  simulator->SendPacket({0x00, 0x00, 0x04});
  ASSERT_TRUE(WaitForPacket({0x00, 0x00, 0x04}));
  Settle();
  const std::vector<ReceivedRequest> reports = Requests("receiverConnected");
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[1].query.at("up"), "true");
  EXPECT_TRUE(service.Manager().Endpoints().at(endpoint).networkUp);
}

TEST_F(BridgeTest, WhileScanningTheStatusQueryWaitsAndTheDelayIsLoggedOnceHoweverManyTicks) {
  config.scanMs = 600000;  // the start-up scan runs until the test ends it
  OpenReceiver();
  ASSERT_TRUE(WaitForCount("receiverConnected", 1));
  for (int i = 0; i < 4; ++i) PollOnce();
  Settle();
  EXPECT_EQ(Count("activatedStatus"), 0u);
  EXPECT_EQ(Routes()[1], "subscribe");

  simulator->SendStatus(0);  // scanning --> idle: the scan is over
  ASSERT_TRUE(WaitForPacket(kScanResultsQuery));
  PollOnce();
  ASSERT_TRUE(WaitForCount("activatedStatus", 1));
  PollOnce();
  Settle();
  EXPECT_EQ(Count("activatedStatus"), 1u);
  const std::string log = Log();
  EXPECT_EQ(Occurrences(log, "Delaying getting the server activated status because we're still scanning\r\n"), 1u);
  EXPECT_EQ(Occurrences(log, "Getting the server activated status...\r\n"), 1u);
}

// Scan results that come while a class start waits for its network (a start sent in the moment
// between the scan's end and its results) ask for the activated status again with the next poll;
// once the network runs, they do not.
TEST_F(BridgeTest, ScanResultsWhileAClassStartWaitsAskForTheActivatedStatusAgain) {
  OpenAndSubscribe();
  Settle();
  ASSERT_EQ(Count("activatedStatus"), 1u);
  const Bytes results = {0x00, 0x00, 0x11, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x20};
  // A firmware report after the results: once the dispatcher has taken it, it took the results.
  const auto resultsHandled = [&](uint8_t build) {
    simulator->SendPackets({results, {0x00, 0x00, 0x00, 9, 9, build, 0x00, 0x01}});
    return WaitUntil([&] {
      return Voxlet::UTF16to8(receiver->Network().FirmwareVersion()).rfind("9.9." + std::to_string(build), 0) == 0;
    });
  };
  receiver->Network().SetNetworkStartPending(true);
  ASSERT_TRUE(resultsHandled(1));
  PollOnce();
  ASSERT_TRUE(WaitForCount("activatedStatus", 2));

  receiver->OnNetworkState(true);
  ASSERT_TRUE(resultsHandled(2));
  PollOnce();
  Settle();
  EXPECT_EQ(Count("activatedStatus"), 2u);
  EXPECT_EQ(Occurrences(Log(), "Getting the server activated status...\r\n"), 2u);
}

TEST_F(BridgeTest, ARefusedSubscriptionIsLoggedWithTheWholeExchange) {
  ServiceSim::SimReply refused;
  refused.status = 403;
  refused.contentType = "text/plain";
  refused.body = "no";
  service.OverrideReply("/voxlet/scripts/teachers/subscribe/ReceiverSubscribe.js", refused);
  OpenWithScanDone();
  ASSERT_TRUE(WaitForCount("activatedStatus", 1));
  const std::string log = Log();
  EXPECT_EQ(Occurrences(log,
                        "Unexpected event communicating with Ovanta Software Service (client state: Connected)\r\n"
                        "POST /voxlet/scripts/teachers/subscribe/ReceiverSubscribe.js?endpointXmlId=" +
                            kEndpoint +
                            " HTTP/1.1\r\n"
                            "\r\n"
                            "\r\n"
                            "HTTP/1.1 403 Forbidden\r\n"
                            "Server: ovanta-service-sim\r\n"
                            "Content-Type: text/plain\r\n"
                            "Content-Length: 2\r\n"
                            "\r\n"
                            "no\r\n"),
            1u);
  // Successful replies write nothing.
  EXPECT_EQ(Occurrences(log, "Unexpected event"), 1u);
}

// The pauses of the power-down are kept by the receiver's send queue: the client library's
// thread that reported the disconnection is free at once, and the next commands of the session
// wait behind the pauses on the wire instead of behind a sleeping thread. A close that meets the
// power-down half-way through its pauses ends with its own network stop, and nothing follows it.
TEST_F(BridgeTest, PowerDownPausesHoldTheWireButNoThreadAndACloseEndsWithTheNetworkStop) {
  powerDownStepMs = 60000;
  OpenAndSubscribe();
  receiver->Network().SetNetworkStarted(true);
  const size_t powerDowns = CountOf(Received(), kPowerDownAll);
  const size_t stops = CountOf(Received(), kNetworkStop);
  service.Stop();
  ASSERT_TRUE(WaitForPacket(kPowerDownAll, powerDowns + 1));
  // The power-down's packet is on the wire before its pauses are queued: the command lock the
  // power-down holds meanwhile is free once they are, not held for the pauses. (A tick would not
  // do here: with the client disconnected it returns before taking the lock.)
  auto command = std::async(std::launch::async, [&] { return session->PassCommandLock(); });
  ASSERT_EQ(command.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_TRUE(command.get());
  EXPECT_EQ(CountOf(Received(), kNetworkStop), stops);  // still behind the first pause
  EXPECT_GE(receiver->Handler()->SendQueueSize(), 3u);  // pause, stop, pause
  receiver->Close();
  // The close's own network stop is on the wire before the link closed; the simulator reads it
  // in its own time. (The sequence's own stop is dropped as moot when the close finds it queued.)
  ASSERT_TRUE(WaitForPacket(kNetworkStop, stops + 1));
  const Packets packets = Received();
  EXPECT_EQ(CountOf(packets, kPowerDownAll), powerDowns + 1);
  EXPECT_EQ(packets.back(), kNetworkStop);
  EXPECT_TRUE(session->ServiceClient() == nullptr);
}

// A software service that keeps answering the polls with something the receiver cannot read (no
// content, then a body that is not XML) gets one line when such replies start and one when they
// end, with how many came, instead of one a poll; a second kind of trouble ends the first.
TEST_F(BridgeTest, UnreadablePollRepliesAreLoggedWhenTheyStartAndWhenTheyEndWithTheirCount) {
  constexpr int kPolls = 5;
  OpenAndSubscribe();
  Settle();
  ServiceSim::SimReply noContent;
  noContent.status = 204;
  service.OverrideReply("/voxlet/builtins/anyone/hello", noContent);
  PollsHandled(kPolls);
  ServiceSim::SimReply notXml;
  notXml.contentType = "text/xml";
  notXml.body = "<voxlet:runtime><unclosed";
  service.OverrideReply("/voxlet/builtins/anyone/hello", notXml);
  PollsHandled(kPolls);
  service.OverrideReply("", {});
  PollsHandled(2);

  const std::string log = Log();
  EXPECT_EQ(Occurrences(log, "Unexpected event communicating with Ovanta Software Service"), 1u);
  EXPECT_EQ(Occurrences(log, "HTTP/1.1 204 No Content\r\n"), 1u);
  EXPECT_EQ(Occurrences(log, "Notifications not read: the reply to the hello is not an XML document (25 bytes)\r\n"),
            1u);
  EXPECT_EQ(Occurrences(log,
                        "5 replies to the receiver's hello in a row could not be read (status 204, content type "
                        "\"\"); other replies followed\r\n"),
            1u);
  EXPECT_EQ(Occurrences(log,
                        "5 replies to the receiver's hello in a row could not be read (not an XML document); "
                        "the next one could\r\n"),
            1u);
  EXPECT_EQ(Occurrences(log, "replies to the receiver's hello in a row could not be read"), 2u);
}

// A trouble still in course when the receiver closes is ended with its count too.
TEST_F(BridgeTest, UnreadablePollRepliesStillComingWhenTheReceiverClosesAreCounted) {
  OpenAndSubscribe();
  Settle();
  ServiceSim::SimReply redirect;
  redirect.status = 302;
  redirect.headers = {{"Location", "/elsewhere"}};
  service.OverrideReply("/voxlet/builtins/anyone/hello", redirect);
  PollsHandled(3);
  receiver->Close();
  const std::string log = Log();
  EXPECT_EQ(Occurrences(log, "HTTP/1.1 302 Found\r\n"), 1u);
  EXPECT_EQ(Occurrences(log,
                        "3 replies to the receiver's hello in a row could not be read (status 302, content type "
                        "\"\"); the receiver closed\r\n"),
            1u);
}
