// The HID link under Wine: Hid.dll is stood in for (Wine has no HID receiver), and the device
// handle is a message pipe whose other end the test holds, so that the port's own overlapped
// reads and writes carry whole reports as the HID class driver does.
#include <windows.h>
// After windows.h:
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "connections/SBConnection.h"
#include "connections/Windows/HidDll.h"
#include "connections/Windows/ThreadedHIDPort.h"
#include "tests/connections/LinkBlocks.h"

namespace {

// Hid.dll for one device with the given report lengths and product id; in place of the
// system's while it lives.
class FakeHid : public CHidDll {
 public:
  FakeHid(USHORT input, USHORT output, USHORT feature, USHORT productId) : m_productId(productId) {
    m_caps.InputReportByteLength = input;
    m_caps.OutputReportByteLength = output;
    m_caps.FeatureReportByteLength = feature;
    CHidDll::Use(this);
  }
  ~FakeHid() override { CHidDll::Use(nullptr); }

  BOOLEAN GetPreparsedData(HANDLE, PHIDP_PREPARSED_DATA* data) override {
    *data = reinterpret_cast<PHIDP_PREPARSED_DATA>(&m_preparsed);
    ++preparsedTaken;
    return TRUE;
  }
  NTSTATUS GetCaps(PHIDP_PREPARSED_DATA data, PHIDP_CAPS caps) override {
    if (data != reinterpret_cast<PHIDP_PREPARSED_DATA>(&m_preparsed)) return HIDP_STATUS_INVALID_PREPARSED_DATA;
    *caps = m_caps;
    return capsStatus;
  }
  BOOLEAN FreePreparsedData(PHIDP_PREPARSED_DATA data) override {
    if (data == reinterpret_cast<PHIDP_PREPARSED_DATA>(&m_preparsed)) ++preparsedFreed;
    return TRUE;
  }
  BOOLEAN GetAttributes(HANDLE, PHIDD_ATTRIBUTES attributes) override {
    if (attributes->Size != sizeof(HIDD_ATTRIBUTES)) return FALSE;
    attributes->VendorID = 0x16D3;
    attributes->ProductID = m_productId;
    return TRUE;
  }
  // The test device is a message pipe: read in message mode, each read is one whole report.
  BOOLEAN FlushQueue(HANDLE device) override {
    ++flushes;
    DWORD mode = PIPE_READMODE_MESSAGE;
    return ::SetNamedPipeHandleState(device, &mode, nullptr, nullptr);
  }
  BOOLEAN SetFeature(HANDLE, PVOID report, ULONG length) override {
    std::lock_guard<std::mutex> guard(m_lock);
    const auto* bytes = static_cast<const uint8_t*>(report);
    m_features.emplace_back(bytes, bytes + length);
    return TRUE;
  }
  std::vector<Bytes> Features() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_features;
  }

  NTSTATUS capsStatus = HIDP_STATUS_SUCCESS;
  std::atomic<int> preparsedTaken{0};
  std::atomic<int> preparsedFreed{0};
  std::atomic<int> flushes{0};

 private:
  int m_preparsed = 0;
  HIDP_CAPS m_caps{};
  USHORT m_productId;
  std::mutex m_lock;
  std::vector<Bytes> m_features;
};

// The device end of a HID link: a message pipe; each message is one report.
class ReportPipe {
 public:
  ReportPipe() {
    static std::atomic<int> count{0};
    m_name = "\\\\.\\pipe\\ovanta-hid-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(++count);
    m_pipe = ::CreateNamedPipeA(m_name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
    m_event = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }
  ~ReportPipe() {
    Close();
    ::CloseHandle(m_event);
  }
  void Close() {
    if (m_pipe != INVALID_HANDLE_VALUE) ::CloseHandle(m_pipe);
    m_pipe = INVALID_HANDLE_VALUE;
  }
  const std::string& Name() const { return m_name; }
  bool Valid() const { return m_pipe != INVALID_HANDLE_VALUE; }

  // After the port opened its end.
  bool Connected() {
    OVERLAPPED overlapped = Overlapped();
    return ::ConnectNamedPipe(m_pipe, &overlapped) || ::GetLastError() == ERROR_PIPE_CONNECTED;
  }
  bool Send(const Bytes& report) {
    OVERLAPPED overlapped = Overlapped();
    DWORD n = 0;
    return Finish(::WriteFile(m_pipe, report.data(), static_cast<DWORD>(report.size()), &n, &overlapped), &overlapped,
                  &n) &&
           n == report.size();
  }
  // The next report written to the device, empty when none came within 5 s.
  Bytes Receive() {
    Bytes report(4096);
    OVERLAPPED overlapped = Overlapped();
    DWORD n = 0;
    if (!Finish(::ReadFile(m_pipe, report.data(), static_cast<DWORD>(report.size()), &n, &overlapped), &overlapped, &n))
      return {};
    report.resize(n);
    return report;
  }

 private:
  OVERLAPPED Overlapped() {
    ::ResetEvent(m_event);
    OVERLAPPED overlapped{};
    overlapped.hEvent = m_event;
    return overlapped;
  }
  bool Finish(BOOL started, OVERLAPPED* overlapped, DWORD* n) {
    if (started) return true;
    if (::GetLastError() != ERROR_IO_PENDING) return false;
    if (::WaitForSingleObject(m_event, 5000) != WAIT_OBJECT_0) ::CancelIoEx(m_pipe, overlapped);
    return ::GetOverlappedResult(m_pipe, overlapped, n, TRUE);
  }

  std::string m_name;
  HANDLE m_pipe = INVALID_HANDLE_VALUE;
  HANDLE m_event = nullptr;
};

// The next received packet, waiting at most 5 s.
std::unique_ptr<CSBIOPacket> NextPacket(CLinkThread& port) {
  for (int i = 0; i < 50; ++i) {
    if (auto packet = port.Queue().PopReceived()) return packet;
    port.Queue().ReceivedEvent().Wait(100);
  }
  return nullptr;
}

Bytes Stored(const CSBIOPacket& packet) { return Bytes(packet.Data(), packet.Data() + packet.StoredLength()); }

}  // namespace

// Only whole reports of the device's lengths pass: an output report of another length fails
// without being written, a flagged packet of the feature length is a feature report (of another
// length nothing), and an input report is stored raw with its report id first; a read of
// another length is dropped.
TEST(HidPortTest, OnlyWholeReportsOfTheDevicesLengthsPass) {
  FakeHid hid(5, 4, 3, 0x3000);
  ReportPipe device;
  ASSERT_TRUE(device.Valid());
  CThreadedHIDPort port;
  ASSERT_EQ(port.OpenPort(device.Name()), std::error_code());
  ASSERT_TRUE(device.Connected());
  EXPECT_EQ(port.OpenPort(device.Name()), std::error_code(Platform::Error::kAlreadyOpen));
  EXPECT_EQ(port.Lengths().input, 5);
  EXPECT_EQ(port.Lengths().output, 4);
  EXPECT_EQ(port.Lengths().feature, 3);
  EXPECT_EQ(hid.flushes.load(), 1);
  EXPECT_EQ(hid.preparsedFreed.load(), hid.preparsedTaken.load());

  port.Queue().PushOutgoing(Block({0x02, 0xAA, 0xBB}, 0, true));        // three bytes: not the output length
  port.Queue().PushOutgoing(Block({0x03, 0x10, 0x20}, 1, true));        // a feature report
  port.Queue().PushOutgoing(Block({0x03, 0x10, 0x20, 0x30}, 1, true));  // not the feature length
  port.Queue().PushOutgoing(Block({0x01, 0x11, 0x22, 0x33}, 0, true));  // an output report
  port.Queue().PushOutgoing(Block({0x11, 0x22, 0x33}));                 // not raw: the id slot is 0
  EXPECT_EQ(device.Receive(), (Bytes{0x01, 0x11, 0x22, 0x33}));
  EXPECT_EQ(device.Receive(), (Bytes{0x00, 0x11, 0x22, 0x33}));
  EXPECT_EQ(hid.Features(), (std::vector<Bytes>{{0x03, 0x10, 0x20}}));

  ASSERT_TRUE(device.Send({0x04, 0x01, 0x02}));  // shorter than an input report
  ASSERT_TRUE(device.Send({0x04, 0x01, 0x02, 0x03, 0x04}));
  auto packet = NextPacket(port);
  ASSERT_NE(packet, nullptr);
  // Product 0x3000 is not product 3000: nothing is trimmed.
  EXPECT_EQ(Stored(*packet), (Bytes{0x04, 0x01, 0x02, 0x03, 0x04}));
  EXPECT_EQ(Bytes(packet->Payload(), packet->Payload() + packet->PayloadLength()), (Bytes{0x01, 0x02, 0x03, 0x04}));
  EXPECT_EQ(port.Queue().PopReceived(), nullptr);

  // Closing ends the outstanding read; the device opens again.
  port.ClosePort();
  EXPECT_FALSE(port.IsOpen());
}

// A device of HID product 3000 carries two bytes at the end of each input report that are
// not data.
TEST(HidPortTest, ProductThreeThousandsReportsLoseTheirLastTwoBytes) {
  FakeHid hid(6, 6, 0, 3000);
  ReportPipe device;
  CThreadedHIDPort port;
  ASSERT_EQ(port.OpenPort(device.Name()), std::error_code());
  ASSERT_TRUE(device.Connected());
  ASSERT_TRUE(device.Send({0x00, 0x51, 0x52, 0x53, 0xFE, 0xFF}));
  auto packet = NextPacket(port);
  ASSERT_NE(packet, nullptr);
  EXPECT_EQ(Stored(*packet), (Bytes{0x00, 0x51, 0x52, 0x53}));
  // A device without feature reports takes no flagged packet.
  port.Queue().PushOutgoing(Block({0x00}, 1, true));
  port.Queue().PushOutgoing(Block({0x00, 1, 2, 3, 4, 5}, 0, true));
  EXPECT_EQ(device.Receive(), (Bytes{0x00, 1, 2, 3, 4, 5}));
  EXPECT_TRUE(hid.Features().empty());
}

// The connection of the HID kind: its open fails on a device without HID capabilities (and on
// a path that leads nowhere), it has no line settings, detection or Plug and Play identifier,
// it carries reports once open, and a device that goes away makes it lost.
TEST(HidPortTest, TheHidConnectionHasReportsButNoSerialLine) {
  FakeHid hid(3, 3, 0, 0x0051);
  {
    ReportPipe device;
    hid.capsStatus = HIDP_STATUS_INVALID_PREPARSED_DATA;
    CSBConnection link(LinkInfo(device.Name(), kConnectionHid));
    EXPECT_EQ(link.Open(), LinkResult::kNotALinkDevice);
    EXPECT_FALSE(link.IsOpen());
    EXPECT_EQ(hid.preparsedFreed.load(), hid.preparsedTaken.load());
  }
  hid.capsStatus = HIDP_STATUS_SUCCESS;
  EXPECT_EQ(CSBConnection(LinkInfo("\\\\.\\pipe\\ovanta-no-such-hid", kConnectionHid)).Open(), LinkResult::kNotPresent);
  ReportPipe device;
  CSBConnection link(LinkInfo(device.Name(), kConnectionHid));
  ASSERT_EQ(link.Open(), LinkResult::kSuccess);
  ASSERT_TRUE(device.Connected());
  EXPECT_EQ(link.GetPnPId(), u"DOES NOT APPLY");
  EXPECT_FALSE(link.SetCommParams(9600, 8, 0, 0));
  uint32_t baud = 0;
  uint8_t size = 0, parity = 0, stop = 0;
  EXPECT_FALSE(link.GetCommParams(&baud, &size, &parity, &stop));
  EXPECT_FALSE(link.GetNextCommParams(&baud, &size, &parity, &stop));
  EXPECT_FALSE(link.ResetDevice(1));
  link.Send(Block({0x7E, 0x7F}));
  EXPECT_EQ(device.Receive(), (Bytes{0x00, 0x7E, 0x7F}));
  ASSERT_TRUE(device.Send({0x00, 0x41, 0x42}));
  ASSERT_TRUE(link.GetReceiveEvent()->Wait(5000));
  auto packet = link.GetReceivedPacket();
  ASSERT_NE(packet, nullptr);
  EXPECT_EQ(Bytes(packet->Payload(), packet->Payload() + packet->PayloadLength()), (Bytes{0x41, 0x42}));
  // The device goes away (its end closes): the consumer wakes and the link is lost.
  device.Close();
  for (int i = 0; i < 100 && !link.IsDeviceLost(); ++i) link.GetReceiveEvent()->Wait(100);
  EXPECT_TRUE(link.IsDeviceLost());
  EXPECT_EQ(link.GetReceivedPacket(), nullptr);
  link.Close();
  EXPECT_FALSE(link.IsOpen());
}

// The system's Hid.dll (Wine's) is found and gives the HID device interface class.
TEST(HidPortTest, TheSystemsHidDllIsLoadedAtRunTime) {
  GUID guid{};
  ASSERT_TRUE(CHidDll::Current().GetHidGuid(&guid));
  const GUID hidClass = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
  EXPECT_TRUE(IsEqualGUID(guid, hidClass));
}
