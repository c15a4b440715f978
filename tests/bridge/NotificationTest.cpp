#include "tests/bridge/BridgeFixture.h"

namespace {

std::string ClassRef(const std::string& id) { return "<voxlet:classref voxlet:classid=\"" + id + "\"/>"; }

}  // namespace

TEST_F(BridgeTest, NotificationsAreHandledInXmlIdOrderNotInDocumentOrder) {
  OpenAndSubscribe();
  std::string sample;
  ASSERT_TRUE(ServiceSim::ReadWholeFile(std::string(OVANTA_SERVICE_SIM_DATA) + "/runtime-notifications.xml", sample));
  ServiceSim::SimReply reply;
  reply.contentType = "text/xml";
  reply.body = sample;
  service.OverrideReply("/voxlet/builtins/anyone/hello", reply);
  Tick();
  ASSERT_TRUE(session->WaitForCalls(7));
  service.OverrideReply("", {});
  // The last notification (n0011) puts the clickers out of review mode.
  ASSERT_TRUE(WaitForPacket({0x00, 0x00, 0x0E, 0x01}));
  EXPECT_EQ(session->Calls(), (std::vector<std::string>{
                                  "classroom name Room 101",                                                // n0001
                                  "stop class class-1",                                                     // n0003
                                  "activate assessment assessment-1",                                       // n0005
                                  "activate question q3",                                                   // n0006
                                  "cancel raised hand clickerhardware.receiver.00-11-AA-BB-CC-DD-EE-FF.5",  // n0007
                                  "disconnect clicker clickerhardware.receiver.00-11-AA-BB-CC-DD-EE-FF.6",  // n0008
                                  "deactivate assessment assessment-1",                                     // n0010
                              }));
  // n0009 (question deactivated: review mode) before n0011 (review mode off).
  const Packets packets = Received();
  const auto review = std::find(packets.begin(), packets.end(), Bytes{0x00, 0x00, 0x0E, 0x00});
  const auto reviewOff = std::find(packets.begin(), packets.end(), Bytes{0x00, 0x00, 0x0E, 0x01});
  EXPECT_LT(review - packets.begin(), reviewOff - packets.begin());
  // n0004 activated class-2 after the deactivation (not switching): its status was asked for.
  Settle();
  EXPECT_EQ(Count("activatedStatus"), 2u);
  EXPECT_EQ(session->CurrentClassId(), u"class-2");
  EXPECT_TRUE(session->CurrentQuestionId().empty());
  const std::string log = Log();
  EXPECT_EQ(Occurrences(log, "New .teacher file opened; this is essentially a no-op for us right now\r\n"), 1u);
  EXPECT_EQ(Occurrences(log, "Question deactivated; entering review mode\r\n"), 1u);
  EXPECT_EQ(Occurrences(log, "Review mode deactivated\r\n"), 1u);
}

TEST_F(BridgeTest, AnUnknownKindIsIgnoredAndASwitchingDeactivationSwallowsOnlyTheNextActivationOfItsBatch) {
  OpenAndSubscribe();
  // One poll's batch of notifications: kind, class id (or the whole document).
  const auto poll = [&](const std::vector<std::pair<std::string, std::string>>& batch) {
    for (const auto& [kind, id] : batch)
      service.Manager().QueueNotification(kEndpoint, "notifications/" + kind, id[0] == '<' ? id : ClassRef(id));
    PollOnce();
    Settle();
  };
  poll({{"something/else", "class-9"}, {"question/activated", "<voxlet:currentQuestion voxlet:questionid=\"q1\"/>"}});
  EXPECT_EQ(session->Calls(), std::vector<std::string>{"activate question q1"});
  EXPECT_TRUE(session->CurrentClassId().empty());

  session->switchingClasses = true;
  poll({{"class/deactivated", "class-1"}, {"class/activated", "class-2"}});
  EXPECT_EQ(Count("activatedStatus"), 1u);  // only the one after subscribing
  EXPECT_EQ(session->CurrentClassId(), u"class-2");

  // The flag is cleared by the activation it swallowed: a second activation in the same batch
  // asks for the status.
  poll({{"class/deactivated", "class-2"}, {"class/activated", "class-3"}, {"class/activated", "class-4"}});
  EXPECT_EQ(Count("activatedStatus"), 2u);
  EXPECT_EQ(session->CurrentClassId(), u"class-4");

  // The flag lives for one batch only: an activation in the next poll asks again.
  poll({{"class/deactivated", "class-4"}});
  poll({{"class/activated", "class-5"}});
  EXPECT_EQ(Count("activatedStatus"), 3u);
  EXPECT_EQ(Occurrences(Log(),
                        "Class activated; but, we're switching classes so skip the activated notification "
                        "(it's already been taken care of in the deactivate)\r\n"),
            2u);
}
