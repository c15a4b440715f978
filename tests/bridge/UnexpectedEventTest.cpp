// The text written for an exchange with the software service that went wrong. (An error reply
// written out whole, status line, headers and body, is in ServiceConnectionTest.)
#include <gtest/gtest.h>

#include "bridge/UnexpectedEvent.h"
#include "client/http/Client.h"
#include "client/http/Globals.h"

TEST(UnexpectedEvent, ARequestThatNeverWentOutEndsWithFailedToSendAndOneUnderWayWritesNothing) {
  Voxlet::Globals library;
  Voxlet::Client unconnected(false);
  auto message = Voxlet::Message::Create();
  message->Open(Voxlet::Methods::Post, u"/voxlet/builtins/anyone/goodbye");
  message->Headers()[Voxlet::Header::XVantrelVoxletEndpoint] = u"receiver.00-11-22-33-44-55-66-77";
  message->Headers()[Voxlet::Header::ContentType] = u"text/xml";
  message->SetContent(Voxlet::Content(Voxlet::StringBuffer(u"<bye/>")));
  EXPECT_FALSE(unconnected.Send(message));
  ASSERT_EQ(message->State(), Voxlet::RequestStates::NotSent);
  EXPECT_EQ(Bridge::UnexpectedEventText(*message, Voxlet::ClientStates::Connecting),
            "Unexpected event communicating with Ovanta Software Service (client state: Connecting)\r\n"
            "POST /voxlet/builtins/anyone/goodbye HTTP/1.1\r\n"
            "X-Vantrel-Voxlet-Endpoint: receiver.00-11-22-33-44-55-66-77\r\n"
            "Content-Type: text/xml\r\n"
            "\r\n"
            "<bye/>\r\n"
            "Failed to send request.");
  auto underWay = Voxlet::Message::Create();
  underWay->Open(Voxlet::Methods::Get, u"/voxlet/builtins/anyone/hello");
  underWay->SetState(Voxlet::RequestStates::Waiting);
  EXPECT_EQ(Bridge::UnexpectedEventText(*underWay, Voxlet::ClientStates::Connected), "");
}
