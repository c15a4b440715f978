// TCP_NODELAY as the kernel reports it.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "sdk/SocketBase.h"

namespace {

TEST(SocketSetUp, NoDelayIsSetWhenAsked) {
  for (const TcpNoDelay asked : {TcpNoDelay::kOn, TcpNoDelay::kOff}) {
    CSocketBase tcp(Platform::SocketKind::kTcp, asked);
    int noDelay = 0;
    socklen_t size = sizeof noDelay;
    ASSERT_EQ(getsockopt(tcp.Handle(), IPPROTO_TCP, TCP_NODELAY, &noDelay, &size), 0);
    EXPECT_EQ(noDelay != 0, asked == TcpNoDelay::kOn);
  }
}

}  // namespace
