// The USB-serial bridge's link under Wine, against a bridge driver in memory (FakeBridge.h):
// the port's own I/O thread, queues, line-setting and control-line words, detection, Plug and
// Play identifier and its restart after failed reads, with SetupAPI stood in for.
#include <windows.h>
// After windows.h:
#include <gtest/gtest.h>

#include <string>

#include "connections/RestartDeviceThread.h"
#include "connections/SBConnection.h"
#include "connections/Windows/ThreadedProlificPort.h"
#include "tests/connections/LinkBlocks.h"
#include "tests/connections/Windows/FakeBridge.h"
#include "tests/connections/Windows/FakeSetupApi.h"

namespace {

constexpr const char* kInstanceId = "USB\\VID_067B&PID_2303\\5&1A2B3C&0&2";

// A file in the temporary folder that the port opens as its device (the driver is the fake's).
class DeviceFile {
 public:
  explicit DeviceFile(const char* name) {
    char folder[MAX_PATH] = {};
    ::GetTempPathA(MAX_PATH, folder);
    m_path = std::string(folder) + name;
    const HANDLE h =
        ::CreateFileA(m_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
  }
  ~DeviceFile() { ::DeleteFileA(m_path.c_str()); }
  const std::string& Path() const { return m_path; }

 private:
  std::string m_path;
};

// The port with the driver of a test; a failed read is read again at once.
class BridgePort : public CThreadedProlificPort {
 public:
  explicit BridgePort(CProlificDriver& driver) : CThreadedProlificPort(kInstanceId, driver) {}
  ~BridgePort() override { ClosePort(); }

 protected:
  int ReadRetryMs() const override { return 1; }
};

// Everything received until `want` bytes came or nothing came for 10 s.
Bytes ReceiveFrom(CLinkThread& port, size_t want) {
  Bytes got;
  while (got.size() < want) {
    while (auto packet = port.Queue().PopReceived())
      got.insert(got.end(), packet->Payload(), packet->Payload() + packet->PayloadLength());
    if (got.size() >= want || !port.Queue().ReceivedEvent().Wait(10000)) break;
  }
  return got;
}

LineSettings Line(CLinkThread& port) {
  LineSettings line{0, 0, 9, 9};
  port.GetLine(&line);
  return line;
}

}  // namespace

// The open sets 9600 8N1 on the driver's line coding (its spare byte kept) and raises RTS
// alone; the receiver's settings go into the coding and come back from it.
TEST(ProlificPortTest, OpenSetsTheLineAndRtsThroughTheDriversWords) {
  DeviceFile device("ovanta-bridge-open");
  FakeBridge driver;
  BridgePort port(driver);
  ASSERT_EQ(port.OpenPort(device.Path()), std::error_code());
  EXPECT_EQ(port.OpenPort(device.Path()), std::error_code(Platform::Error::kAlreadyOpen));
  EXPECT_EQ(driver.Coding(), (ProlificLine::Coding{0x80, 0x25, 0, 0, 0, 0, 8, 0x5A}));
  EXPECT_EQ(driver.Words(), (std::vector<uint16_t>{ProlificLine::kRts}));
  EXPECT_EQ(Line(port), (LineSettings{9600, 8, 0, 0}));

  ASSERT_TRUE(port.SetLine(LineSettings{57600, 8, 2, 2}));
  EXPECT_EQ(driver.Coding(), (ProlificLine::Coding{0x00, 0xE1, 0, 0, 2, 2, 8, 0x5A}));
  EXPECT_EQ(Line(port), (LineSettings{57600, 8, 2, 2}));
  EXPECT_FALSE(port.SetLine(LineSettings{57600, 9, 0, 0}));
  EXPECT_FALSE(port.SetLine(LineSettings{57600, 8, 5, 0}));
  EXPECT_EQ(Line(port), (LineSettings{57600, 8, 2, 2}));
  port.ClosePort();
  EXPECT_FALSE(port.IsOpen());
  // A close purges everything; the closed port has no line.
  ASSERT_FALSE(driver.Purges().empty());
  EXPECT_EQ(driver.Purges().back(), static_cast<DWORD>(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR));
  LineSettings none;
  EXPECT_FALSE(port.GetLine(&none));
  EXPECT_FALSE(port.SetLine(LineSettings{9600, 8, 0, 0}));
}

// What does not open: a missing device is "not present", one another program holds is "in
// use", a device whose driver has no line coding is refused with the driver's error, and the
// connection of the bridge kind reaches the port (whose system driver a plain file has not).
TEST(ProlificPortTest, OpenFailuresAnswerTheirReasons) {
  DeviceFile device("ovanta-bridge-fail");
  FakeBridge driver;
  {
    BridgePort port(driver);
    EXPECT_EQ(LinkResult::FromError(port.OpenPort(device.Path() + ".missing")), LinkResult::kNotPresent);
    EXPECT_EQ(LinkResult::FromError(port.OpenPort("")), LinkResult::kNotPresent);
    const HANDLE held = ::CreateFileA(device.Path().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(LinkResult::FromError(port.OpenPort(device.Path())), LinkResult::kInUse);
    ::CloseHandle(held);
    driver.refuseLineCoding = true;
    EXPECT_EQ(port.OpenPort(device.Path()), std::error_code(ERROR_NOT_SUPPORTED, std::system_category()));
    EXPECT_FALSE(port.IsOpen());
  }
  SBConnectionInfo info = LinkInfo(device.Path(), kConnectionProlific);
  CSBConnection link(info);
  const uint32_t result = link.Open();
  EXPECT_NE(result, LinkResult::kSuccess);
  EXPECT_NE(result, LinkResult::kNotPresent);
  EXPECT_FALSE(link.IsOpen());
}

// Bytes go both ways through the driver's data requests: received blocks are stored not raw,
// queued blocks are written in order without the flagged one.
TEST(ProlificPortTest, BytesMoveThroughTheDataRequests) {
  DeviceFile device("ovanta-bridge-data");
  FakeBridge driver;
  BridgePort port(driver);
  ASSERT_EQ(port.OpenPort(device.Path()), std::error_code());
  ASSERT_TRUE(driver.WaitForReads(1));
  driver.Deliver({0x00, 0x15, 0x2A});
  auto packet = port.Queue().PopReceived();
  for (int i = 0; !packet && i < 100; ++i) {
    port.Queue().ReceivedEvent().Wait(100);
    packet = port.Queue().PopReceived();
  }
  ASSERT_NE(packet, nullptr);
  EXPECT_EQ(Bytes(packet->Data(), packet->Data() + packet->StoredLength()), (Bytes{0x00, 0x00, 0x15, 0x2A}));
  Bytes big(5000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 13);
  driver.Deliver(big);
  EXPECT_EQ(ReceiveFrom(port, big.size()), big);

  port.Queue().PushOutgoing(Block({0x01, 0x02}));
  port.Queue().PushOutgoing(Block({0xEE}, 1));
  port.Queue().PushOutgoing(Block({0x03}));
  EXPECT_TRUE(port.Queue().WaitUntilOutgoingEmpty());
  EXPECT_EQ(driver.WaitForWritten(3), (Bytes{0x01, 0x02, 0x03}));
  // Closing with a read outstanding cancels it; the port opens again.
  port.ClosePort();
  ASSERT_EQ(port.OpenPort(device.Path()), std::error_code());
}

// Detection over the driver: the RTS pulses are control-line words (DTR stays down), the first
// candidate 9600 8O2 is set on the line coding, and an echoing device answers its probe.
TEST(ProlificPortTest, DetectionPulsesRtsAndFindsAnEchoingReceiver) {
  DeviceFile device("ovanta-bridge-detect");
  FakeBridge driver;
  driver.echo = true;
  BridgePort port(driver);
  ASSERT_EQ(port.OpenPort(device.Path()), std::error_code());
  driver.ClearRecords();
  EXPECT_TRUE(port.RequestReset(true));
  const uint16_t up = ProlificLine::kRts;
  EXPECT_EQ(driver.Words(), (std::vector<uint16_t>{0, up, 0, up, 0, up}));
  // A read was outstanding: the purge takes everything.
  ASSERT_FALSE(driver.Purges().empty());
  EXPECT_EQ(driver.Purges().front(), static_cast<DWORD>(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR));
  EXPECT_EQ(Line(port), (LineSettings{9600, 8, 1, 2}));
  EXPECT_EQ(driver.WaitForWritten(6), (Bytes{0x15, 0x2A, 0x16, 0x02, 0x00, 0x00}));
  // The loop reads again afterwards.
  port.Queue().PushOutgoing(Block({0x5A}));
  EXPECT_EQ(ReceiveFrom(port, 1), (Bytes{0x5A}));
}

// The serial Plug and Play identifier over the control-line words at 1200 7N1; the line the
// receiver had comes back afterwards, and DTR ends down with RTS up.
TEST(ProlificPortTest, PlugAndPlayIdentifierComesOverTheControlLines) {
  DeviceFile device("ovanta-bridge-pnp");
  FakeBridge driver;
  driver.pnpId = "M(ABC1234)";
  BridgePort port(driver);
  ASSERT_EQ(port.OpenPort(device.Path()), std::error_code());
  ASSERT_TRUE(port.SetLine(LineSettings{19200, 8, 0, 0}));
  EXPECT_EQ(port.RequestPnPId(), u"M(ABC1234)");
  EXPECT_EQ(Line(port), (LineSettings{19200, 8, 0, 0}));
  ASSERT_FALSE(driver.Words().empty());
  EXPECT_EQ(driver.Words().back(), ProlificLine::kRts);
  // A device that does not answer gives no identifier.
  driver.pnpId.clear();
  EXPECT_EQ(port.RequestPnPId(), u"");
}

// A bridge that keeps failing reads: the 75th failure closes the port, makes the link lost and
// restarts the device through SetupAPI (DIF_PROPERTYCHANGE, DICS_PROPCHANGE, every profile);
// the count starts again, and a port opened again is restarted after 75 more.
TEST(ProlificPortTest, ABridgeIsRestartedOnceEvery75FailedReads) {
  DeviceFile device("ovanta-bridge-restart");
  RestartRecorder setupApi(L"USB\\VID_067B&PID_2303\\5&1A2B3C&0&2");
  FakeBridge driver;
  driver.failReads = true;
  BridgePort port(driver);
  ASSERT_EQ(port.OpenPort(device.Path()), std::error_code());
  ASSERT_TRUE(setupApi.ended.Wait(10000));
  EXPECT_TRUE(port.IsDeviceLost());
  EXPECT_EQ(port.Restarts(), 1);
  EXPECT_EQ(port.FailedReads(), 0);
  ASSERT_EQ(setupApi.restarts.size(), 1u);
  const SP_PROPCHANGE_PARAMS& params = setupApi.restarts[0];
  EXPECT_EQ(params.ClassInstallHeader.cbSize, 8u);
  EXPECT_EQ(params.ClassInstallHeader.InstallFunction, static_cast<DI_FUNCTION>(DIF_PROPERTYCHANGE));
  EXPECT_EQ(params.StateChange, static_cast<DWORD>(DICS_PROPCHANGE));
  EXPECT_EQ(params.Scope, static_cast<DWORD>(DICS_FLAG_GLOBAL));
  EXPECT_EQ(params.HwProfile, 0u);
  EXPECT_EQ(setupApi.destroyed, 1);
  // The port was closed: nothing more was read, and a setting finds no device.
  EXPECT_EQ(driver.Reads(), 75);
  EXPECT_FALSE(port.SetLine(LineSettings{9600, 8, 0, 0}));

  port.ClosePort();
  setupApi.ended.Reset();
  ASSERT_EQ(port.OpenPort(device.Path()), std::error_code());
  ASSERT_TRUE(setupApi.ended.Wait(10000));
  EXPECT_EQ(port.Restarts(), 2);
  EXPECT_EQ(setupApi.restarts.size(), 2u);
  EXPECT_EQ(driver.Reads(), 150);
}

// A bridge that is unplugged is no failing bridge: the link is lost at its first read, and
// nothing is restarted.
TEST(ProlificPortTest, AnUnpluggedBridgeIsALostDeviceAndNotRestarted) {
  DeviceFile device("ovanta-bridge-unplugged");
  RestartRecorder setupApi(L"USB\\VID_067B&PID_2303\\5&1A2B3C&0&2");
  FakeBridge driver;
  driver.unplugged = true;
  BridgePort port(driver);
  ASSERT_EQ(port.OpenPort(device.Path()), std::error_code());
  ASSERT_TRUE(port.Queue().ReceivedEvent().Wait(10000));
  EXPECT_TRUE(port.IsDeviceLost());
  EXPECT_EQ(port.Queue().PopReceived(), nullptr);
  EXPECT_EQ(driver.Reads(), 1);
  EXPECT_EQ(port.FailedReads(), 0);
  EXPECT_EQ(port.Restarts(), 0);
  port.ClosePort();
  EXPECT_EQ(setupApi.lists, 0);
}

// The restart with the system's SetupAPI: a device the system does not know is not restarted.
TEST(ProlificPortTest, TheSystemCannotRestartADeviceItDoesNotKnow) {
  EXPECT_FALSE(CRestartDeviceThread::RestartDevice("USB\\VID_16D3&PID_3000\\NO-SUCH-DEVICE"));
  EXPECT_FALSE(CRestartDeviceThread::RestartDevice(""));
}
