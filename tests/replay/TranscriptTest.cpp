// The transcript's rules for what is written and in which order: these decide whether a replay
// is the same on every run, so a wrong rule shows as a flaky replay long before anyone finds it.
#include <gtest/gtest.h>

#include "tests/replay/Transcript.h"

namespace {

using Replay::Line;
using Replay::Sections;

TEST(TranscriptSections, GroupsSortedOrderKeptWithinAGroupRepeatsWrittenOnce) {
  Sections sections;
  sections.Add({"wire to clicker-1", "LOGIN_GRANT 01"});
  sections.Add({"wire to clicker-0", "LOGIN_GRANT 02"});
  sections.Add({"wire to clicker-1", "SESSION_END 00"});
  sections.Add({"wire to clicker-1", "LOGIN_GRANT 01"});  // a resend
  sections.Add({"wire to clicker-0", "HAND_UP"});
  sections.Add({"http receiver database", "database q -> 200"});
  sections.Add({"http receiver activatedStatus", "activatedStatus -> 200"});
  sections.Add({"http clicker-0", "lowBattery -> 200"});
  sections.Add({"http receiver activatedStatus", "activatedStatus -> 200"});  // asked for again
  sections.Add({"http clicker-0", "lowBattery -> 200"});                      // a fault: written
  EXPECT_EQ(sections.Close("## step\n"),
            "## step\n"
            "http clicker-0: lowBattery -> 200\n"
            "http clicker-0: lowBattery -> 200\n"
            "http receiver activatedStatus: activatedStatus -> 200\n"
            "http receiver database: database q -> 200\n"
            "wire to clicker-0: LOGIN_GRANT 02\n"
            "wire to clicker-0: HAND_UP\n"
            "wire to clicker-1: LOGIN_GRANT 01\n"
            "wire to clicker-1: SESSION_END 00\n");
  // A resend that crossed into the next section is not written again; the same packet after
  // another one is, and so is a request asked for again (the software service has no resends).
  sections.Add({"wire to clicker-1", "SESSION_END 00"});
  sections.Add({"http receiver database", "database q -> 200"});
  sections.Add({"wire to clicker-0", "HAND_UP"});
  sections.Add({"wire to clicker-0", "LOGIN_GRANT 02"});
  sections.Add({"wire to clicker-0", "HAND_UP"});
  EXPECT_EQ(
      sections.Close(""),
      "http receiver database: database q -> 200\nwire to clicker-0: LOGIN_GRANT 02\nwire to clicker-0: HAND_UP\n");
}

// The rows are what no transcript shows: timing-dependent traffic left out, and names that only
// a fault or a broadcast brings (the rest is in every transcript).
TEST(TranscriptLines, TimingDependentTrafficIsLeftOutAndTheRestNamed) {
  struct Case {
    std::vector<uint8_t> packet;
    bool toReceiver;
    std::string expected;  // "" = left out
  };
  const Case cases[] = {
      {{0x00, 0x00, 0x01, 0x02}, false, ""},  // the receiver's status report
      {{0x00, 0x00, 0x8B}, true, ""},         // the service's acknowledgement
      {{0x00, 0x00, 0x84, 0x01}, false, "wire from receiver: ack NETWORK_STATE 01"},
      {{0xFF, 0xFF, 0x0E, 0x02}, true, "wire to all: SESSION_END 02"},
      {{0x00, 0x00, 0xFF, 0x0A}, false, "wire from receiver: NACK 0a"},
      {{0x01, 0x00, 0x33}, true, "wire to clicker-0: cmd-33"},
  };
  for (const Case& c : cases) {
    const auto line = Replay::PacketLine(c.packet, c.toReceiver);
    EXPECT_EQ(line ? line->group + ": " + line->text : "", c.expected);
  }
}

// (Clickers named by their MAC address, the receiver, the hardware service and the subscription
// are in every transcript.) An endpoint never announced is not given a made-up name.
TEST(TranscriptLines, AnEndpointNeverAnnouncedIsUnknown) {
  ServiceSim::ReceivedRequest goodbye;
  goodbye.route = "goodbye";
  goodbye.status = 404;
  goodbye.headers["x-vantrel-voxlet-endpoint"] = "gone";
  const auto line = Replay::RequestLine(goodbye, nullptr, Replay::EndpointNames({}));
  ASSERT_TRUE(line);
  EXPECT_EQ(line->group + ": " + line->text, "http unknown goodbye: goodbye -> 404");
}

// The hardware service and a receiver each subscribe from their own hello; when both connect
// again at once the two subscriptions arrive in either order and the section reads the same.
TEST(TranscriptLines, SubscriptionsOfTwoEndpointsMayArriveInEitherOrder) {
  Replay::EndpointNames names({});
  for (const char* who : {"hardwareservice", "receiver"}) {
    ServiceSim::ReceivedRequest hello;
    hello.route = "hello";
    hello.status = 201;
    hello.headers["x-vantrel-voxlet-endpoint"] = std::string("id-") + who;
    hello.query["subject"] = std::string("urn:x:") + who;
    names.Learn(hello);
  }
  const auto subscription = [&](const char* who) {
    ServiceSim::ReceivedRequest subscribe;
    subscribe.route = "subscribe";
    subscribe.status = 200;
    subscribe.path = std::string("/scripts/") + who + ".js";
    subscribe.query["endpointXmlId"] = std::string("id-") + who;
    return *Replay::RequestLine(subscribe, nullptr, names);
  };
  Sections inOrder, crossed;
  inOrder.Add(subscription("hardwareservice"));
  inOrder.Add(subscription("receiver"));
  crossed.Add(subscription("receiver"));
  crossed.Add(subscription("hardwareservice"));
  const std::string section = inOrder.Close("");
  EXPECT_EQ(section, crossed.Close(""));
  EXPECT_EQ(section,
            "http service subscribe hardware: subscribe hardwareservice.js hardware -> 200\n"
            "http service subscribe receiver: subscribe receiver.js receiver -> 200\n");
}

}  // namespace
