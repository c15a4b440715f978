// What an open's failure becomes on its way out: the link thread hands the port's error code
// back untouched, and the connection turns it into the interface's open code, where no errno
// may read as another outcome (Linux's time-out, 110, is the code for "already open").
#include <gtest/gtest.h>

#include <cerrno>
#include <set>
#include <string>
#include <system_error>

#include "connections/LinkResult.h"
#include "connections/LinkThread.h"
#include "platform/ErrorCodes.h"

namespace {

// A link whose open answers what the test says, and which then idles until it is stopped.
class ScriptedOpenLink : public CLinkThread {
 public:
  explicit ScriptedOpenLink(std::error_code result) : m_result(result) {}
  ~ScriptedOpenLink() override { ClosePort(); }
  void Run() override {
    if (!OpenOnThread()) return;
    m_stopEvent.Wait(-1);
    MarkClosed();
  }

 protected:
  std::error_code DoOpen(const std::string&) override { return m_result; }

 private:
  const std::error_code m_result;
};

}  // namespace

TEST(LinkOpenResultTest, TheLinkThreadAnswersThePortsOwnErrorAndItsOwnRefusals) {
  // A system error keeps its category and number through the I/O thread's hand-over.
  for (const std::error_code error :
       {std::error_code(ETIMEDOUT, std::generic_category()), std::error_code(Platform::Error::kNotALinkDevice)}) {
    ScriptedOpenLink link(error);
    EXPECT_EQ(link.OpenPort("tty-a"), error);
    EXPECT_FALSE(link.IsOpen());
    EXPECT_FALSE(link.IsRunning());  // a failed open leaves no thread behind
  }
  ScriptedOpenLink link{std::error_code()};
  ASSERT_EQ(link.OpenPort("tty-a"), std::error_code());
  EXPECT_TRUE(link.IsOpen());
  EXPECT_EQ(link.OpenPort("tty-a"), std::error_code(Platform::Error::kAlreadyOpen));
  EXPECT_EQ(link.OpenPort("tty-b"), std::error_code(Platform::Error::kInUse));
  EXPECT_TRUE(link.IsOpen());  // the refusals leave the open link as it was
  link.ClosePort();
  EXPECT_FALSE(link.IsOpen());
  EXPECT_EQ(link.OpenPort("tty-b"), std::error_code());  // and it opens again on another name
}

TEST(LinkOpenResultTest, TheServicesOwnFailuresBecomeTheInterfacesCodes) {
  EXPECT_EQ(LinkResult::FromError({}), LinkResult::kSuccess);
  EXPECT_EQ(LinkResult::FromError(Platform::Error::kNotPresent), LinkResult::kNotPresent);
  EXPECT_EQ(LinkResult::FromError(Platform::Error::kInUse), LinkResult::kInUse);
  EXPECT_EQ(LinkResult::FromError(Platform::Error::kAlreadyOpen), LinkResult::kAlreadyOpen);
  EXPECT_EQ(LinkResult::FromError(Platform::Error::kNotALinkDevice), LinkResult::kNotALinkDevice);
  // Each reason has a text of its own for whoever logs the code.
  std::set<std::string> texts;
  for (const Platform::Error e : {Platform::Error::kNotPresent, Platform::Error::kInUse, Platform::Error::kAlreadyOpen,
                                  Platform::Error::kNotALinkDevice})
    texts.insert(std::error_code(e).message());
  EXPECT_EQ(texts.size(), 4u);
  EXPECT_STREQ(std::error_code(Platform::Error::kInUse).category().name(), "ovanta");
}

// No errno reads as success or as "already open" (whatever the C library numbers it: 110 is a
// time-out on Linux, an unreachable host in mingw's); "not present", "in use" and a device
// without a link come only from errors that say so; everything else keeps its number.
TEST(LinkOpenResultTest, NoErrnoReadsAsAnotherOutcome) {
  const std::set<std::errc> absent = {std::errc::no_such_file_or_directory, std::errc::no_such_device,
                                      std::errc::no_such_device_or_address, std::errc::not_a_directory,
                                      std::errc::no_such_process};
  const std::set<std::errc> held = {std::errc::device_or_resource_busy, std::errc::permission_denied,
                                    std::errc::operation_not_permitted, std::errc::operation_would_block};
  for (int e = 1; e < 200; ++e) {
    const std::errc errc = static_cast<std::errc>(e);
    const uint32_t code = LinkResult::FromError(std::error_code(e, std::generic_category()));
    EXPECT_NE(code, LinkResult::kSuccess) << e;
    EXPECT_NE(code, LinkResult::kAlreadyOpen) << e;
    if (absent.count(errc)) {
      EXPECT_EQ(code, LinkResult::kNotPresent) << e;
    } else if (held.count(errc)) {
      EXPECT_EQ(code, LinkResult::kInUse) << e;
    } else if (errc == std::errc::timed_out) {
      EXPECT_EQ(code, LinkResult::kTimedOut);
    } else if (errc == std::errc::inappropriate_io_control_operation) {
      EXPECT_EQ(code, LinkResult::kNotALinkDevice);
    } else if (static_cast<uint32_t>(e) != LinkResult::kAlreadyOpen) {
      EXPECT_EQ(code, static_cast<uint32_t>(e)) << e;
    }
  }
}
