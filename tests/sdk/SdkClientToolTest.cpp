// The ovanta-sdk-client program against an SDK server in this process.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "MessagingTestHelpers.h"
#include "sdk/SdkMessages.h"
#include "sdk/server/SdkServerFactory.h"

namespace {

class Manager : public ISDKServerEvents {
 public:
  int GetReceiverCount() override { return 1; }
  int GetReceiverStatus(int count, ReceiverStatusW* records) override {
    if (count < 1) return 0;
    records[0].receiverNumber = 3;
    records[0].receiverState = 1;
    CStatusMessage::SetName(records[0], u"/dev/ttyACM0");
    return 1;
  }
  void OnSendCommand(int receiverNumber, const std::string& command) override {
    std::lock_guard<std::mutex> guard(lock);
    commands.push_back(std::to_string(receiverNumber) + ":" + command);
  }
  void GetLogFileName(std::string& path) override { path = "/tmp/service.log"; }
  void SetLogFlags(uint16_t value) override {
    std::lock_guard<std::mutex> guard(lock);
    flags = value;
  }
  uint16_t GetLogFlags() override {
    std::lock_guard<std::mutex> guard(lock);
    return flags;
  }
  void FlushLog() override {
    std::lock_guard<std::mutex> guard(lock);
    ++flushes;
  }

  std::mutex lock;
  std::vector<std::string> commands;
  uint16_t flags = 0x11;
  int flushes = 0;
};

struct Result {
  int status;
  std::string output;
};

Result RunTool(const std::string& args) {
  const std::string command = std::string(OVANTA_SDK_CLIENT) + " " + args + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  std::string output;
  char buffer[512];
  while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
  const int status = pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

class SdkClientTool : public ::testing::Test {
 protected:
  void SetUp() override {
    server = StartSdkServer(&manager);
    ASSERT_TRUE(server);
    port = "--port " + std::to_string(server->Port()) + " ";
  }
  Manager manager;
  std::shared_ptr<ISDKServer> server;
  std::string port;
};

TEST_F(SdkClientTool, ListsReceivers) {
  const Result result = RunTool(port + "list");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.output, "1 receiver(s)\n3\tstate 1\t/dev/ttyACM0\n");
}

TEST_F(SdkClientTool, DrivesTheLogAndSendsCommands) {
  EXPECT_EQ(RunTool(port + "get-flags").output, "0x11\n");
  EXPECT_EQ(RunTool(port + "set-flags 0x15").status, 0);
  EXPECT_EQ(RunTool(port + "get-flags").output, "0x15\n");
  EXPECT_EQ(RunTool(port + "log-file").output, "/tmp/service.log\n");
  EXPECT_EQ(RunTool(port + "reset-log").status, 0);
  EXPECT_EQ(RunTool(port + "send 3 0,97,1").status, 0);
  std::lock_guard<std::mutex> guard(manager.lock);
  EXPECT_EQ(manager.flushes, 1);
  EXPECT_EQ(manager.commands, std::vector<std::string>{"3:0,97,1"});
}

TEST_F(SdkClientTool, FindsTheServerByMulticast) {
  // Without --port: whichever SDK server on this host answers first; this one when alone.
  const Result result = RunTool("ping");
  EXPECT_EQ(result.status, 0) << result.output;
}

TEST_F(SdkClientTool, RefusesBadArgumentsAndWrongServers) {
  EXPECT_EQ(RunTool(port + "send x 1").status, 2);
  EXPECT_EQ(RunTool("--port 0 list").status, 2);
  EXPECT_EQ(RunTool(port + "frobnicate").status, 2);
  auto other = TestServer::Start();
  EXPECT_EQ(RunTool("--port " + std::to_string(other->Port()) + " ping").status, 1);
}

}  // namespace
