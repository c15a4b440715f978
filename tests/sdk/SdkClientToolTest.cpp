// The ovanta-sdk-client program against an SDK server in this process.
#include <gtest/gtest.h>
#if __has_include(<sys/wait.h>)
#include <sys/wait.h>
#endif

#include <cstdio>
#include <string>

#include "SdkServerFakes.h"

namespace {

struct Result {
  int status;
  std::string output;
};

Result RunTool(const std::string& args) {
  FILE* pipe = popen((std::string(OVANTA_SDK_CLIENT) + " " + args + " 2>&1").c_str(), "r");
  std::string output;
  char buffer[512];
  while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
  const int status = pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

class SdkClientTool : public ::testing::Test {
 protected:
  void SetUp() override {
    manager.receivers = {Receiver(3, 1, u"/dev/ttyACM0")};
    manager.flags = 0x11;
    manager.logFile = "/tmp/service.log";
    server = StartSdkServer(&manager);
    ASSERT_TRUE(server);
    port = "--port " + std::to_string(server->Port()) + " ";
  }
  FakeManager manager;
  std::shared_ptr<ISDKServer> server;
  std::string port;
};

// Every state a receiver's link reports is printed by name; a code the service does not name
// keeps its number.
TEST_F(SdkClientTool, ListNamesEachReceiverState) {
  manager.Locked([&] {
    manager.receivers = {Receiver(1, 0, u"/dev/ttyACM0"), Receiver(2, 2, u"/dev/ttyACM1"),
                         Receiver(3, 3, u"/dev/ttyUSB0"), Receiver(4, 31, u"COM7")};
  });
  const Result list = RunTool(port + "list");
  EXPECT_EQ(list.status, 0);
  EXPECT_EQ(list.output,
            "4 receiver(s)\n1\topen\t/dev/ttyACM0\n2\tdevice not present\t/dev/ttyACM1\n"
            "3\tdevice in use\t/dev/ttyUSB0\n4\tunknown (31)\tCOM7\n");
}

TEST_F(SdkClientTool, ListsReceiversDrivesTheLogSendsCommandsAndFindsTheServer) {
  const Result list = RunTool(port + "list");
  EXPECT_EQ(list.status, 0);
  EXPECT_EQ(list.output, "1 receiver(s)\n3\tanalyzing data\t/dev/ttyACM0\n");
  EXPECT_EQ(RunTool(port + "get-flags").output, "0x11\n");
  EXPECT_EQ(RunTool(port + "set-flags 0x15").status, 0);
  EXPECT_EQ(RunTool(port + "log-file").output, "/tmp/service.log\n");
  EXPECT_EQ(RunTool(port + "reset-log").status, 0);
  EXPECT_EQ(RunTool(port + "send 3 0,97,1").status, 0);
  // Without --port: whichever SDK server on this host answers first; this one when alone.
  EXPECT_EQ(RunTool("ping").status, 0);
  // The program ends once its messages are sent; the server handles them after.
  ASSERT_TRUE(manager.WaitFor(
      [&] { return !manager.flagsSet.empty() && manager.flushes == 1 && manager.commands.size() == 1; }));
  manager.Locked([&] {
    EXPECT_EQ(manager.flagsSet, std::vector<uint16_t>{0x15});
    EXPECT_EQ(manager.commands, (std::vector<std::pair<int, std::string>>{{3, "0,97,1"}}));
  });
}

TEST_F(SdkClientTool, RefusesBadArgumentsAndWrongServers) {
  EXPECT_EQ(RunTool(port + "send x 1").status, 2);
  EXPECT_EQ(RunTool("--port 0 list").status, 2);
  EXPECT_EQ(RunTool(port + "frobnicate").status, 2);
  auto other = TestServer::Start();
  EXPECT_EQ(RunTool("--port " + std::to_string(other->Port()) + " ping").status, 1);
}

}  // namespace
