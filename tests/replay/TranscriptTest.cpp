// The transcript's rules for what is written and in which order: these decide whether a replay
// is the same on every run, so a wrong rule shows as a flaky replay long before anyone finds it.
#include <gtest/gtest.h>

#include "tests/replay/Transcript.h"

namespace {

using Replay::Line;
using Replay::Sections;

ServiceSim::ReceivedRequest Request(const std::string& route, int status, const std::string& endpoint,
                                    std::map<std::string, std::string> query = {}, const std::string& body = "") {
  ServiceSim::ReceivedRequest r;
  r.route = route;
  r.method = "POST";
  r.path = "/voxlet/builtins/teachers/" + route;
  r.status = status;
  r.query = std::move(query);
  r.body = body;
  if (!endpoint.empty()) r.headers["x-vantrel-voxlet-endpoint"] = endpoint;
  return r;
}

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

TEST(TranscriptLines, TimingDependentTrafficIsLeftOutAndTheRestNamed) {
  struct Case {
    std::vector<uint8_t> packet;
    bool toReceiver;
    std::string expected;  // "" = left out
  };
  const Case cases[] = {
      {{0x00, 0x00, 0x01, 0x02}, false, ""},  // the receiver's status report
      {{0x00, 0x00, 0x17, 0x0B}, true, ""},   // background scan
      {{0x00, 0x00, 0x11, 0x01}, false, ""},  // scan results
      {{0x00, 0x00, 0x00}, true, ""},         // firmware query
      {{0x01, 0x02, 0x01, 0x05}, false, "wire from clicker-2: DEVICE_STATUS 05"},
      {{0x00, 0x00, 0x04, 0x01}, true, "wire to receiver: NETWORK_STATE 01"},
      {{0x00, 0x00, 0x8B}, true, ""},  // the service's acknowledgement
      {{0x00, 0x00, 0x84, 0x01}, false, "wire from receiver: ack NETWORK_STATE 01"},
      {{0xFF, 0xFF, 0x0E, 0x02}, true, "wire to all: SESSION_END 02"},
      {{0x00, 0x00, 0xFF, 0x0A}, false, "wire from receiver: NACK 0a"},
      {{0x01, 0x00, 0x33}, true, "wire to clicker-0: cmd-33"},
      {{0x00, 0x00, 0x0D, 0x0E}, true, "wire to receiver: CHANNEL .."},
      {{0x00, 0x00, 0x0A, 0x36, 0x02, 0x01}, true, "wire to receiver: QUESTION_BATCH .. 02 01"},
  };
  for (const Case& c : cases) {
    const auto line = Replay::PacketLine(c.packet, c.toReceiver);
    EXPECT_EQ(line ? line->group + ": " + line->text : "", c.expected);
  }
}

TEST(TranscriptLines, EndpointsAreNamedByWhatTheyAreNotByTheirIds) {
  Replay::EndpointNames names({{Replay::MacKey("00:12:4B:00:0A:0B:0C:0F"), 2}});
  // A clicker's endpoint is made before the service knows its MAC address; a later request
  // names it, and the name holds for what came before.
  const auto hello = Request("hello", 201, "clickerhardware.r1.x", {{"subject", "urn:com.vantrel.voxlet:clicker"}});
  auto whois = Request("whois", 200, "clickerhardware.r1.x", {}, "<voxlet:number>1003</voxlet:number>");
  whois.headers["x-vantrel-voxlet-macaddress"] = "00-12-4B-00-0A-0B-0C-0F";
  names.Learn(hello);
  names.Learn(whois);
  names.Learn(Request("hello", 201, "rcv-42", {{"subject", "urn:com.vantrel.voxlet:receiver"}}));

  auto text = [&](const ServiceSim::ReceivedRequest& r) {
    const auto line = Replay::RequestLine(r, nullptr, names);
    return line ? line->group + ": " + line->text : "";
  };
  EXPECT_EQ(text(hello), "http clicker-2: hello -> 201");
  EXPECT_EQ(text(whois), "http clicker-2: whois number=1003 -> 200");
  // A poll is as many as the time taken: left out.
  EXPECT_EQ(text(Request("hello", 200, "rcv-42")), "");
  auto subscribe = Request("subscribe", 200, "", {{"endpointXmlId", "rcv-42"}});
  subscribe.path = "/voxlet/scripts/teachers/subscribe/ReceiverSubscribe.js";
  EXPECT_EQ(text(subscribe), "http service subscribe: subscribe ReceiverSubscribe.js receiver -> 200");
  // An endpoint never announced is not given a made-up name.
  EXPECT_EQ(text(Request("goodbye", 404, "gone")), "http unknown goodbye: goodbye -> 404");
}

}  // namespace
