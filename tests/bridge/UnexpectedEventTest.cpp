#include <gtest/gtest.h>

#include <future>
#include <mutex>

#include "bridge/UnexpectedEvent.h"
#include "client/http/Client.h"
#include "client/http/Globals.h"
#include "tools/service-sim/ServiceSimulator.h"

namespace {

Voxlet::MessagePtr Request() {
  auto message = Voxlet::Message::Create();
  message->Open(Voxlet::Methods::Post, u"/voxlet/builtins/anyone/goodbye");
  message->Headers()[Voxlet::Header::XVantrelVoxletEndpoint] = u"receiver.00-11-22-33-44-55-66-77";
  message->Headers()[Voxlet::Header::ContentType] = u"text/xml";
  message->SetContent(Voxlet::Content(Voxlet::StringBuffer(u"<bye/>")));
  return message;
}

const std::string kRequestPart =
    "POST /voxlet/builtins/anyone/goodbye HTTP/1.1\r\n"
    "X-Vantrel-Voxlet-Endpoint: receiver.00-11-22-33-44-55-66-77\r\n"
    "Content-Type: text/xml\r\n"
    "\r\n"
    "<bye/>\r\n";

}  // namespace

TEST(UnexpectedEvent, ARequestThatNeverWentOutEndsWithFailedToSend) {
  Voxlet::Globals library;
  Voxlet::Client unconnected(false);
  Voxlet::MessagePtr message = Request();
  EXPECT_FALSE(unconnected.Send(message));
  ASSERT_EQ(message->State(), Voxlet::RequestStates::NotSent);
  EXPECT_EQ(Bridge::UnexpectedEventText(*message, Voxlet::ClientStates::Connecting),
            "Unexpected event communicating with Ovanta Software Service (client state: Connecting)\r\n" +
                kRequestPart + "Failed to send request.");
}

TEST(UnexpectedEvent, AnErrorReplyIsWrittenOutWithItsStatusLineHeadersAndBody) {
  Voxlet::Globals library;
  ServiceSim::ServiceSimulator service{ServiceSim::Scenario{}};
  ASSERT_TRUE(service.Start(0));
  ServiceSim::SimReply broken;
  broken.raw = "HTTP/1.1 500 Internal Server Error\r\nContent-Type: text/xml\r\nContent-Length: 9\r\n\r\n<broken/>";
  service.OverrideReply("/voxlet/builtins/anyone/goodbye", broken);
  Voxlet::Client client(false);
  auto connected = std::make_shared<std::promise<void>>();
  client.StateChanged().connect([connected, once = std::make_shared<std::once_flag>()](Voxlet::Client&, int state) {
    if (state == Voxlet::ClientStates::Connected) std::call_once(*once, [&] { connected->set_value(); });
  });
  ASSERT_TRUE(client.Connect(Voxlet::UTF8to16(service.Uri())));
  ASSERT_EQ(connected->get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
  Voxlet::MessagePtr message = Request();
  ASSERT_TRUE(client.Send(message));
  ASSERT_TRUE(message->BlockUntil(Voxlet::RequestStates::Complete, 20.0));
  EXPECT_EQ(Bridge::UnexpectedEventText(*message, Voxlet::ClientStates::Connected),
            "Unexpected event communicating with Ovanta Software Service (client state: Connected)\r\n" + kRequestPart +
                "HTTP/1.1 500 Internal Server Error\r\n"
                "Content-Type: text/xml\r\n"
                "Content-Length: 9\r\n"
                "\r\n"
                "<broken/>\r\n");
  client.Disconnect();
  service.Stop();
}

TEST(UnexpectedEvent, ARequestStillUnderWayWritesNothing) {
  auto message = Voxlet::Message::Create();
  message->Open(Voxlet::Methods::Get, u"/voxlet/builtins/anyone/hello");
  message->SetState(Voxlet::RequestStates::Waiting);
  EXPECT_EQ(Bridge::UnexpectedEventText(*message, Voxlet::ClientStates::Connected), "");
}
