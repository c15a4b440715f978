// Multicast discovery on the local host.
#include <gtest/gtest.h>

#include "MessagingTestHelpers.h"
#include "sdk/Discovery.h"

namespace {

TEST(DiscoveryFormat, QueryAndAnnouncementLayouts) {
  ServerIdentifier id;
  for (size_t i = 0; i < id.size(); ++i) id[i] = static_cast<uint8_t>(i + 1);
  const auto query = Discovery::EncodeQuery(id);
  EXPECT_EQ(ByteVector(query.begin(), query.begin() + 5), (ByteVector{0, 0, 0, 100, 1}));
  EXPECT_EQ(Discovery::DecodeQuery(query), id);
  const auto announcement = Discovery::EncodeAnnouncement(id, 0xABCD);
  EXPECT_EQ(ByteVector(announcement.begin() + 3, announcement.begin() + 5), (ByteVector{101, 1}));
  EXPECT_EQ(ByteVector(announcement.begin() + 20, announcement.end()), (ByteVector{0xAB, 0xCD}));
  const auto decoded = Discovery::DecodeAnnouncement(announcement);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->identifier, id);
  EXPECT_EQ(decoded->port, 0xABCD);
  // A query of 21 bytes, or with another code, is no query.
  ByteVector longer(query.begin(), query.end());
  longer.push_back(0);
  EXPECT_FALSE(Discovery::DecodeQuery(longer));
  ByteVector otherCode(query.begin(), query.end());
  otherCode[3] = 101;
  EXPECT_FALSE(Discovery::DecodeQuery(otherCode));
}

// Sends a datagram, then a query for a fresh published server (whose own announcement has
// been heard). True when an announcement for `id` came before the fresh server's answer. Each
// server answers on its own thread: an answer to the datagram would come first all but
// always, as the datagram went first, and never makes the fence's answer fail to come.
bool AnsweredBeforeFence(CDiscoveryClient& finder, std::span<const uint8_t> datagram, const ServerIdentifier& id) {
  auto fence = TestServer::Start(true);
  EXPECT_EQ(finder.WaitAnnouncement(fence->Identifier(), kTestWaitMs), fence->Port());
  EXPECT_TRUE(finder.SendDatagram(datagram));
  EXPECT_TRUE(finder.SendQuery(fence->Identifier()));
  for (bool answered = false;;) {
    auto announcement = finder.WaitAnyAnnouncement(kTestWaitMs);
    if (!announcement) ADD_FAILURE() << "the fence's answer never came";
    if (!announcement || announcement->identifier == fence->Identifier()) return answered;
    answered = answered || announcement->identifier == id;
  }
}

// A published server announces itself when it starts and answers queries for it (the fence's);
// a query one byte too long, for a server nobody runs, for one that is not published, and for
// one that has gone are not answered.
TEST(DiscoveryAnswers, OnlyQueriesForPublishedRunningServersAreAnswered) {
  CDiscoveryClient finder;  // before the servers, to hear their announcements
  auto a = TestServer::Start(true);
  ASSERT_EQ(finder.WaitAnnouncement(a->Identifier(), kTestWaitMs), a->Port());
  const auto query = Discovery::EncodeQuery(a->Identifier());
  ByteVector longer(query.begin(), query.end());
  longer.push_back(0);
  EXPECT_FALSE(AnsweredBeforeFence(finder, longer, a->Identifier()));
  const ServerIdentifier unknown = RandomIdentifier();
  EXPECT_FALSE(AnsweredBeforeFence(finder, Discovery::EncodeQuery(unknown), unknown));
  auto hidden = TestServer::Start(false);
  EXPECT_FALSE(AnsweredBeforeFence(finder, Discovery::EncodeQuery(hidden->Identifier()), hidden->Identifier()));
  hidden->Stop();
  a->Stop();
  EXPECT_FALSE(AnsweredBeforeFence(finder, query, a->Identifier()));
}

}  // namespace
