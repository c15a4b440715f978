// The listening thread in a process out of descriptors: it neither tries to accept again and
// again nor stops serving once descriptors are free again.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "../MessagingTestHelpers.h"
#include "sdk/Discovery.h"

namespace {

// Takes every free descriptor of the process under a lowered limit, until released.
class DescriptorsTaken {
 public:
  // Whether the build can run without a free descriptor (see the test's CMakeLists).
#ifdef OVANTA_UBSAN_NEEDS_DESCRIPTORS
  static constexpr bool kPossible = false;
#else
  static constexpr bool kPossible = true;
#endif
  DescriptorsTaken() {
    getrlimit(RLIMIT_NOFILE, &m_saved);
    const int lowest = open("/dev/null", O_RDONLY | O_CLOEXEC);
    rlimit lowered = m_saved;
    lowered.rlim_cur = std::min<rlim_t>(m_saved.rlim_cur, static_cast<rlim_t>(lowest) + 64);
    close(lowest);
    setrlimit(RLIMIT_NOFILE, &lowered);
    for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) m_taken.push_back(fd);
    m_error = errno;
  }
  ~DescriptorsTaken() { Release(); }
  DescriptorsTaken(const DescriptorsTaken&) = delete;
  DescriptorsTaken& operator=(const DescriptorsTaken&) = delete;

  // Why the next descriptor was refused (EMFILE).
  int Error() const { return m_error; }
  void Release() {
    for (int fd : m_taken) close(fd);
    m_taken.clear();
    setrlimit(RLIMIT_NOFILE, &m_saved);
  }

 private:
  rlimit m_saved{};
  std::vector<int> m_taken;
  int m_error = 0;
};

// Out of descriptors, a queued connection cannot be accepted, and stays queued: the listening
// thread does not try again at once, round and round, but rests (here longer than the test),
// answering discovery queries meanwhile. Each answered query has taken it round its loop.
TEST(OutOfDescriptors, TheListeningThreadRestsInsteadOfTryingAgainAtOnce) {
  if (!DescriptorsTaken::kPossible) GTEST_SKIP() << "UBSan cannot check types without a free descriptor";
  CDiscoveryClient finder;
  auto server = TestServer::Start(ListenOptions{.publish = true, .acceptRetryMs = 10 * kTestWaitMs});
  ASSERT_EQ(finder.WaitAnnouncement(server->Identifier(), kTestWaitMs), server->Port());
  RawClient client;  // its socket made while there are descriptors
  DescriptorsTaken taken;
  ASSERT_EQ(taken.Error(), EMFILE);
  client.Connect("127.0.0.1", server->Port());
  ASSERT_TRUE(WaitUntil([&] { return server->AcceptFailures() > 0; }));
  for (int query = 0; query < 3; ++query) {
    ASSERT_TRUE(finder.SendQuery(server->Identifier()));
    ASSERT_EQ(finder.WaitAnnouncement(server->Identifier(), kTestWaitMs), server->Port()) << query;
  }
  EXPECT_EQ(server->AcceptFailures(), 1u);
}

// Once descriptors are free again, the connection that waited is accepted and served; the log
// says when accepting failed and when it worked again.
TEST(OutOfDescriptors, AWaitingClientIsServedOnceDescriptorsAreFree) {
  if (!DescriptorsTaken::kPossible) GTEST_SKIP() << "UBSan cannot check types without a free descriptor";
  ScopedDiagnostics diagnostics;
  auto server = TestServer::Start(ListenOptions{.publish = false, .acceptRetryMs = 20});
  RawClient client;
  DescriptorsTaken taken;
  ASSERT_EQ(taken.Error(), EMFILE);
  client.Connect("127.0.0.1", server->Port());
  ASSERT_TRUE(WaitUntil([&] { return server->AcceptFailures() > 0; }));
  taken.Release();
  ASSERT_TRUE(client.Register(3));
  ASSERT_TRUE(server->WaitObject(0));
  EXPECT_TRUE(Served(client, 4));
  EXPECT_EQ(diagnostics.Count("CServerListeningThread::Run(): Cannot accept a connection (error 24)"), 1u);
  EXPECT_EQ(diagnostics.Count("CServerListeningThread::Run(): Accepting connections again"), 1u);
}

}  // namespace
