// The SDK server end to end: SDK clients over loopback against the server with a recorded
// receiver manager, and the log lines it writes. Clients that misbehave, do not read or come
// past the connection limit are the messaging layer's tests (MessagingTest); the server the
// manager runs (the list on connect, commands, log reset) is ReceiverManagerTest's.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "SdkServerFakes.h"
#include "log/Logger.h"
#include "sdk/Discovery.h"
#include "sdk/server/OVSDKServerImpl.h"
#include "tests/service/TestFiles.h"

namespace {

// A log file the server's lines go to, with the source file named in each line.
class SdkServer : public ::testing::Test {
 protected:
  void SetUp() override {
    logger = std::make_unique<CLogger>(nullptr);
    ASSERT_TRUE(logger->Open(logPath));
    logger->SetMask(kLogDiagnostic | kLogSourceLocation);
    g_pLogger = logger.get();
  }
  void TearDown() override { StopLogging(); }
  // The log's lines, once clients and server have gone and everything has been written.
  std::vector<std::string> StopLogging() {
    clients.clear();
    server.reset();
    if (logger) {
      g_pLogger = nullptr;
      logger->Close();
      logger.reset();
    }
    return LogLines(logPath);
  }
  // How many lines of the server's source file end with the message.
  size_t Logged(const std::string& message) {
    const auto lines = StopLogging();
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
      return line.find("OVSDKServerImpl.cpp(") != std::string::npos && line.ends_with(message);
    }));
  }
  SdkListener& Connect() {
    clients.push_back(std::make_unique<SdkListener>());
    EXPECT_TRUE(clients.back()->sdk.Connect(static_cast<uint16_t>(server->Port()), 42));
    return *clients.back();
  }
  void Start(ISDKServerEvents* events) {
    server = StartSdkServer(events);
    ASSERT_TRUE(server);
  }

  TempDir dir;
  const std::string logPath = dir.File("sdk.log");
  std::unique_ptr<CLogger> logger;
  FakeManager manager;
  std::shared_ptr<ISDKServer> server;
  std::vector<std::unique_ptr<SdkListener>> clients;
};

// Commands (their text wide or narrow) and the log requests reach the manager; the log names
// each, with text from the client escaped so that it cannot forge a line (the manager gets it as
// it was sent). The log requests' answers and effects are also the client program's test.
TEST_F(SdkServer, RequestsReachTheManagerAndAreAnsweredAndLogged) {
  manager.logFile = "/var/log/ovanta/Debug/OvantaHardwareService.log";
  Start(&manager);
  CSdkClient& sdk = Connect().sdk;
  ASSERT_TRUE(sdk.SendCommand(2, u"1,2,3"));
  CVariableDataAsyncMessage narrow(SdkMessage::kSendCommand);
  narrow.Data().AddI32(4);
  narrow.Data().AddNarrowString("0,97,1");
  ASSERT_TRUE(sdk.Send(narrow));
  ASSERT_TRUE(sdk.SendCommand(3, u"1,2\r\n2031-01-01 00:00:00 forged\u0085\\x"));
  EXPECT_EQ(sdk.GetLogFlags(), 0);  // flags of 0 are answered too
  ASSERT_TRUE(sdk.SetLogFlags(0x15));
  // Handled in order: once the name is answered, everything before it has been handled.
  EXPECT_EQ(sdk.GetLogFileName(), u"/var/log/ovanta/Debug/OvantaHardwareService.log");
  manager.Locked([&] {
    EXPECT_EQ(manager.commands, (std::vector<std::pair<int, std::string>>{
                                    {2, "1,2,3"}, {4, "0,97,1"}, {3, "1,2\r\n2031-01-01 00:00:00 forged\xC2\x85\\x"}}));
  });
  for (const char* line : {"OnSendCommand: 2 - 1,2,3\n", "OnSendCommand: 4 - 0,97,1\n", "OnSetLoggingFlag: 21\n",
                           "OnLogFileName\n", "OnSendCommand: 3 - 1,2\\r\\n2031-01-01 00:00:00 forged\\u0085\\\\x\n"})
    EXPECT_EQ(Logged(line), 1u) << line;
  const auto lines = LogLines(logPath);
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const auto& l) { return l.find("forged") != l.npos; }), 1);
}

TEST_F(SdkServer, UnknownUnhandledAndMalformedMessagesAreIgnored) {
  Start(&manager);
  CSdkClient& sdk = Connect().sdk;
  std::vector<std::unique_ptr<MessageIntf>> ignored;
  // Ids past the table, below it, ids of the table without a handler (server-to-client), and
  // set-flags without its value, get-flags and ping not as requests.
  for (MessageId id : std::initializer_list<MessageId>{19, 1000, -1, 0, 7, 13, 8, 11, 15, SdkMessage::kSetLogFlags,
                                                       SdkMessage::kGetLogFlags, SdkMessage::kPing})
    ignored.push_back(std::make_unique<CEmptyMessage>(id));
  // Send-command with its fields the wrong way round, or only one; reset-log as a request.
  auto swapped = std::make_unique<CVariableDataAsyncMessage>(SdkMessage::kSendCommand),
       oneField = std::make_unique<CVariableDataAsyncMessage>(SdkMessage::kSendCommand);
  swapped->Data().AddWideString(u"1,2");
  swapped->Data().AddI32(1);
  oneField->Data().AddI32(1);
  ignored.push_back(std::move(swapped));
  ignored.push_back(std::move(oneField));
  ignored.push_back(std::make_unique<CEmptyRequestMessage>(SdkMessage::kResetLog, 0));
  for (size_t i = 0; i < ignored.size(); ++i) ASSERT_TRUE(sdk.Send(*ignored[i])) << i;
  // Handled in order: once the ping is answered, all of the above has been handled.
  EXPECT_TRUE(sdk.Ping());
  EXPECT_TRUE(manager.Locked([&] { return manager.commands.empty() && manager.flagsSet.empty() && !manager.flushes; }));
}

// Each client is sent the list when it connects (empty without receivers), and broadcasts reach
// every client; one that goes is removed, and a newcomer gets a number never used before.
TEST_F(SdkServer, BroadcastsReachEveryClientAndADisconnectedOneIsRemoved) {
  COVSDKServerImpl direct(&manager);
  const uint16_t port = direct.Start({.publish = false});
  for (int i = 0; i < 3; ++i) {
    clients.push_back(std::make_unique<SdkListener>());
    ASSERT_TRUE(clients.back()->sdk.Connect(port));
    ASSERT_TRUE(clients.back()->WaitStatuses(1));
    EXPECT_TRUE(clients.back()->Locked([&] { return clients.back()->statuses[0].empty(); }));
  }
  EXPECT_EQ(direct.ClientCount(), 3u);
  clients[0].reset();
  ASSERT_TRUE(WaitUntil([&] { return direct.ClientCount() == 2; }));
  direct.SendReceiverStatus({Receiver(7, 1, u"/dev/ttyUSB0")});
  direct.SendLogChanged();
  direct.SendLogChanged();
  for (size_t i = 1; i < clients.size(); ++i) {
    SdkListener& heard = *clients[i];
    ASSERT_TRUE(heard.WaitFor([&] { return heard.statuses.size() == 2 && heard.logChanges == 2; }));
    heard.Locked([&] {
      ASSERT_EQ(heard.statuses[1].size(), 1u);
      EXPECT_EQ(heard.statuses[1][0].receiverNumber, 7u);
      EXPECT_EQ(CStatusMessage::NameOf(heard.statuses[1][0]), u"/dev/ttyUSB0");
    });
  }
  clients.push_back(std::make_unique<SdkListener>());
  ASSERT_TRUE(clients.back()->sdk.Connect(port));
  ASSERT_TRUE(clients.back()->WaitStatuses(1));
  direct.Stop();
  EXPECT_EQ(direct.ClientCount(), 0u);
  EXPECT_EQ(Logged("OnClientConnected: 3\n"), 1u);
  EXPECT_GE(Logged("OnClientDisconnected\n"), 1u);
}

// A second server in one process is not started; the first (here without a manager: flags 0,
// no file name) still serves, until it stops and its clients are disconnected.
TEST_F(SdkServer, SecondServerIsNotStartedAndStoppingDisconnects) {
  Start(nullptr);
  EXPECT_EQ(StartSdkServer(&manager), nullptr);
  CSdkClient& sdk = Connect().sdk;
  EXPECT_EQ(sdk.GetLogFlags(), 0);
  EXPECT_EQ(sdk.GetLogFileName(), u"");
  ASSERT_TRUE(sdk.SendCommand(1, u"1"));
  ASSERT_TRUE(sdk.SetLogFlags(3));
  ASSERT_TRUE(sdk.ResetLog());
  EXPECT_TRUE(sdk.Ping());
  server.reset();
  ASSERT_TRUE(clients[0]->WaitFor([&] { return clients[0]->disconnected; }));
  EXPECT_FALSE(sdk.Ping());
  EXPECT_FALSE(sdk.ResetLog());
  const auto lines = StopLogging();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                          [](const std::string& line) { return line.find("SDK server not started") != line.npos; }));
}

// The server answers discovery queries with its port (another SDK server on this host may
// answer too: this one's port is looked for, which the client program's test cannot do).
TEST_F(SdkServer, ClientsFindTheServerByMulticast) {
  CDiscoveryClient finder;
  Start(&manager);
  bool found = false;
  for (int attempt = 0; attempt < 20 && !found; ++attempt) {
    finder.SendQuery(kSdkServerIdentifier);
    while (auto port = finder.WaitAnnouncement(kSdkServerIdentifier, 500)) found = found || *port == server->Port();
  }
  EXPECT_TRUE(found);
}

// A local program that connects and says nothing (its time-out here longer than the test)
// holds up neither the next client, which gets its receiver list, nor the answer to a discovery
// query. How long each took is recorded; it is no condition of the test.
TEST_F(SdkServer, AStalledClientHoldsUpNeitherTheNextClientsListNorDiscovery) {
  using Clock = std::chrono::steady_clock;
  const auto millis = [](Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); };
  manager.Locked([&] { manager.receivers = {Receiver(3, 1, u"/dev/ttyACM0")}; });
  CDiscoveryClient finder;
  COVSDKServerImpl direct(&manager);
  const uint16_t port = direct.Start({.handshakeTimeoutMs = 10 * kTestWaitMs});
  RawClient stalled(port);
  ASSERT_TRUE(stalled.Read(16));  // its handshake has begun

  auto start = Clock::now();
  clients.push_back(std::make_unique<SdkListener>());
  SdkListener& next = *clients.back();
  ASSERT_TRUE(next.sdk.Connect(port));
  ASSERT_TRUE(next.WaitStatuses(1));
  const double listMs = millis(Clock::now() - start);
  next.Locked([&] {
    ASSERT_EQ(next.statuses[0].size(), 1u);
    EXPECT_EQ(next.statuses[0][0].receiverNumber, 3u);
  });
  // Another SDK server on this host may answer too: this one's port is waited for.
  start = Clock::now();
  ASSERT_TRUE(finder.SendQuery(kSdkServerIdentifier));
  bool found = false;
  while (auto answer = finder.WaitAnnouncement(kSdkServerIdentifier, kTestWaitMs))
    if ((found = *answer == port)) break;
  const double discoveryMs = millis(Clock::now() - start);
  EXPECT_TRUE(found);
  EXPECT_TRUE(stalled.Waiting());  // still in its handshake
  EXPECT_EQ(direct.ClientCount(), 1u);
  RecordProperty("receiver_list_ms", std::to_string(listMs));
  RecordProperty("discovery_answer_ms", std::to_string(discoveryMs));
  std::printf("with a stalled handshake: receiver list after %.1f ms, discovery answer after %.1f ms\n", listMs,
              discoveryMs);
}

// An idle layer's threads sleep in their waits: the I/O and incoming-message threads do not
// wake at all, the listening thread only for discovery queries (which any process on this
// host may send). A thread that spins wakes thousands of times in the window, even on a
// loaded machine; the budget of 20 leaves room for a stray client of another process on this
// host connecting once, which is no spin.
TEST_F(SdkServer, IdleServerAndClientDoNotWake) {
  Start(&manager);
  SdkListener& client = Connect();
  ASSERT_TRUE(client.WaitStatuses(1));
  ASSERT_TRUE(client.sdk.Ping());
  const auto* listening = dynamic_cast<COVSDKServerImpl*>(server.get());
  ASSERT_TRUE(listening);
  const auto layer = CConnectionManager::Acquire();
  layer->Flush();  // the ping's last bookkeeping is done
  const auto before = layer->ThreadWakeups();
  const uint64_t listeningBefore = listening->ListeningWakeups();
  const auto woken = [&] {
    const auto now = layer->ThreadWakeups();
    return (now.io - before.io) + (now.incoming - before.incoming) > 20 ||
           listening->ListeningWakeups() - listeningBefore > 200;
  };
  EXPECT_FALSE(WaitUntil(woken, 1000)) << layer->ThreadWakeups().io - before.io << " "
                                       << layer->ThreadWakeups().incoming - before.incoming << " "
                                       << listening->ListeningWakeups() - listeningBefore;
  const auto after = layer->ThreadWakeups();
  // And a request wakes them: the counters count.
  ASSERT_TRUE(client.sdk.Ping());
  EXPECT_GT(layer->ThreadWakeups().io, after.io);
  EXPECT_GT(layer->ThreadWakeups().incoming, after.incoming);
}

}  // namespace
