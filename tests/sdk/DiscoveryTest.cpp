// Multicast discovery on the local host.
#include <gtest/gtest.h>

#include "MessagingTestHelpers.h"
#include "sdk/Discovery.h"

namespace {

TEST(DiscoveryFormat, QueryAndAnnouncementLayouts) {
  ServerIdentifier id;
  for (size_t i = 0; i < id.size(); ++i) id[i] = static_cast<uint8_t>(i + 1);
  const auto query = Discovery::EncodeQuery(id);
  EXPECT_EQ(std::vector<uint8_t>(query.begin(), query.begin() + 5), (std::vector<uint8_t>{0, 0, 0, 100, 1}));
  EXPECT_EQ(Discovery::DecodeQuery(query), id);
  const auto announcement = Discovery::EncodeAnnouncement(id, 0xABCD);
  EXPECT_EQ(announcement[3], 101);
  EXPECT_EQ(announcement[20], 0xAB);
  EXPECT_EQ(announcement[21], 0xCD);
  const auto decoded = Discovery::DecodeAnnouncement(announcement);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->identifier, id);
  EXPECT_EQ(decoded->port, 0xABCD);
  // A query of 21 bytes, or with another code, is no query.
  std::vector<uint8_t> longer(query.begin(), query.end());
  longer.push_back(0);
  EXPECT_FALSE(Discovery::DecodeQuery(longer));
  std::vector<uint8_t> otherCode(query.begin(), query.end());
  otherCode[3] = 101;
  EXPECT_FALSE(Discovery::DecodeQuery(otherCode));
}

// A published server, and a discovery client that has heard its announcement.
class Discovered : public ::testing::Test {
 protected:
  void SetUp() override {
    a = TestServer::Start(true);
    ASSERT_EQ(finder.WaitAnnouncement(a->Identifier(), kTestWaitMs), a->Port());
  }
  void TearDown() override { a->Stop(); }

  // Sends a datagram, then a query for a fresh server (whose own announcement has been
  // heard). True when an announcement for `id` came before the fresh server's answer. Each
  // server answers on its own thread: an answer to the datagram would come first all but
  // always, as the datagram went first, and never makes the fence's answer fail to come.
  bool AnsweredBeforeFence(std::span<const uint8_t> datagram, const ServerIdentifier& id) {
    auto fence = TestServer::Start(true);
    EXPECT_EQ(finder.WaitAnnouncement(fence->Identifier(), kTestWaitMs), fence->Port());
    EXPECT_TRUE(finder.SendDatagram(datagram));
    EXPECT_TRUE(finder.SendQuery(fence->Identifier()));
    bool answered = false;
    for (;;) {
      auto announcement = finder.WaitAnyAnnouncement(kTestWaitMs);
      if (!announcement) {
        ADD_FAILURE() << "the fence's answer never came";
        break;
      }
      if (announcement->identifier == fence->Identifier()) break;
      if (announcement->identifier == id) answered = true;
    }
    fence->Stop();
    return answered;
  }

  CDiscoveryClient finder;  // before the servers, to hear their announcements
  std::shared_ptr<TestServer> a;
};

TEST_F(Discovered, QueryIsAnsweredWithTheServersPort) {
  EXPECT_TRUE(finder.SendDatagram(Discovery::EncodeQuery(a->Identifier())));
  EXPECT_EQ(finder.WaitAnnouncement(a->Identifier(), kTestWaitMs), a->Port());
}

// A query one byte too long, for a server nobody runs, for one that is not published, and for
// one that has gone: none is answered.
TEST_F(Discovered, OnlyQueriesForPublishedRunningServersAreAnswered) {
  const auto query = Discovery::EncodeQuery(a->Identifier());
  std::vector<uint8_t> longer(query.begin(), query.end());
  longer.push_back(0);
  EXPECT_FALSE(AnsweredBeforeFence(longer, a->Identifier()));
  const ServerIdentifier unknown = RandomIdentifier();
  EXPECT_FALSE(AnsweredBeforeFence(Discovery::EncodeQuery(unknown), unknown));
  auto hidden = TestServer::Start(false);
  EXPECT_FALSE(AnsweredBeforeFence(Discovery::EncodeQuery(hidden->Identifier()), hidden->Identifier()));
  hidden->Stop();
  const ServerIdentifier gone = a->Identifier();
  a->Stop();
  EXPECT_FALSE(AnsweredBeforeFence(Discovery::EncodeQuery(gone), gone));
}

}  // namespace
