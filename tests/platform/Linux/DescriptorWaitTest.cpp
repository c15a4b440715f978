// Waits on events and any pollable descriptor (here a pipe) together.
#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/WaitEvent.h"

namespace {

constexpr int kDescriptorWaitMs = 10000;
using Platform::WaitHandle;

TEST(WaitForAny, DescriptorsBesideEventsReportTheirPollEvents) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  CWaitEvent stop;
  ReceiverService::CWaitEvent wake;
  const WaitHandle handles[] = {WaitHandle::Of(stop), WaitHandle::Of(wake), WaitHandle::Descriptor(fds[0])};
  ASSERT_EQ(write(fds[1], "x", 1), 1);
  short revents = 0;
  EXPECT_EQ(Platform::WaitForAny(handles, kDescriptorWaitMs, &revents), 2);
  EXPECT_TRUE(revents & POLLIN);
  wake.Set();
  EXPECT_EQ(Platform::WaitForAny(handles, kDescriptorWaitMs, &revents), 1);
  EXPECT_EQ(Platform::WaitForAny(handles, kDescriptorWaitMs, &revents), 2);  // the byte is still unread
  char byte;
  ASSERT_EQ(read(fds[0], &byte, 1), 1);
  close(fds[1]);
  EXPECT_EQ(Platform::WaitForAny(handles, kDescriptorWaitMs, &revents), 2);
  EXPECT_TRUE(revents & POLLHUP);
  close(fds[0]);
  // A closed descriptor, a negative one (which poll() itself would skip) and no handles fail.
  EXPECT_EQ(Platform::WaitForAny({&handles[2], 1}, 0), Platform::kWaitFailed);
  const WaitHandle negative[] = {WaitHandle::Of(stop), WaitHandle::Descriptor(-1)};
  EXPECT_EQ(Platform::WaitForAny(negative, 0), Platform::kWaitFailed);
  EXPECT_EQ(Platform::WaitForAny({}, 0), Platform::kWaitFailed);
}

}  // namespace
