// The Win32 serial link for real: under Wine, against serial devices on the Linux side that
// serial_peer.py maps to COM ports (their names come in OVANTA_TEST_COM_*).
#include <windows.h>
// After windows.h:
#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "connections/SBConnection.h"
#include "connections/Windows/ThreadedCOMPort.h"
#include "connections/Windows/Win32LinkErrors.h"
#include "tests/connections/LinkBlocks.h"

namespace {

// "\\.\COMn" of a peer, empty (and a failure) when the test runs without the peers.
std::string PeerPort(const char* peer) {
  const std::string variable = std::string("OVANTA_TEST_COM_") + peer;
  const char* port = std::getenv(variable.c_str());
  if (!port || !*port) {
    ADD_FAILURE() << variable << " is not set: these tests run beside serial_peer.py (scripts/windows/test)";
    return {};
  }
  return std::string("\\\\.\\") + port;
}

// The threads of this process now.
int ThreadCount() {
  const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  int count = 0;
  for (BOOL more = ::Thread32First(snapshot, &entry); more; more = ::Thread32Next(snapshot, &entry))
    if (entry.th32OwnerProcessID == ::GetCurrentProcessId()) ++count;
  ::CloseHandle(snapshot);
  return count;
}

// Everything received until `want` bytes came, the link reported its device lost, or nothing
// came for 10 s.
Bytes Receive(ISBConnection& link, size_t want) {
  Bytes got;
  while (got.size() < want && !link.IsDeviceLost()) {
    while (auto packet = link.GetReceivedPacket())
      got.insert(got.end(), packet->Payload(), packet->Payload() + packet->PayloadLength());
    if (got.size() >= want) break;
    if (!link.GetReceiveEvent()->Wait(10000)) break;
  }
  return got;
}

// Waits (at most 10 s) for the link to report its device lost.
bool WaitUntilLost(ISBConnection& link) {
  for (int i = 0; i < 100 && !link.IsDeviceLost(); ++i) {
    link.GetReceiveEvent()->Wait(100);
    while (link.GetReceivedPacket()) {
    }
  }
  return link.IsDeviceLost();
}

}  // namespace

// A port named as the registry names it, without the device namespace ("COM40": above COM9
// there is no other name), opens as its device path does.
TEST(ComPortTest, APortNamedAsTheRegistryNamesItOpens) {
  const std::string path = PeerPort("ECHO");
  ASSERT_FALSE(path.empty());
  CSBConnection link(LinkInfo(path.substr(4)));
  EXPECT_EQ(link.Open(), LinkResult::kSuccess);
  link.Close();
}

// What is written arrives exactly, every byte value (the flow-control characters, 0, CR and LF
// among them) and blocks longer than a read and than the output queue, in order and without
// the flagged block; and what the device sends back is read. The port opens at 9600 8N1 and
// takes the receiver's baud rate.
TEST(ComPortTest, WrittenBytesArriveExactlyAndTheAnswerIsRead) {
  CSBConnection link(LinkInfo(PeerPort("ECHO")));
  ASSERT_EQ(link.Open(), LinkResult::kSuccess);
  EXPECT_TRUE(link.IsOpen());
  EXPECT_EQ(link.Open(), LinkResult::kAlreadyOpen);
  uint32_t baud = 0;
  uint8_t size = 0, parity = 9, stop = 9;
  ASSERT_TRUE(link.GetCommParams(&baud, &size, &parity, &stop));
  EXPECT_EQ((std::vector<uint32_t>{baud, size, parity, stop}), (std::vector<uint32_t>{9600, 8, 0, 0}));
  ASSERT_TRUE(link.SetCommParams(115200, 8, 0, 0));
  ASSERT_TRUE(link.GetCommParams(&baud, &size, &parity, &stop));
  EXPECT_EQ(baud, 115200u);
  EXPECT_FALSE(link.SetCommParams(115200, 9, 0, 0));

  Bytes everyValue;
  for (int i = 0; i < 256; ++i) everyValue.push_back(static_cast<uint8_t>(i));
  Bytes longBlock;
  for (int i = 0; i < 5000; ++i) longBlock.push_back(static_cast<uint8_t>(i * 7 + i / 256));
  link.Send(Block(everyValue));
  link.Send(Block({0xEE, 0xEE, 0xEE}, 1));  // flagged: for another kind of port
  link.Send(Block(longBlock));
  link.Send(Block({0x11, 0x13, 0x00, 0x0D, 0x0A}));
  Bytes expected = everyValue;
  expected.insert(expected.end(), longBlock.begin(), longBlock.end());
  expected.insert(expected.end(), {0x11, 0x13, 0x00, 0x0D, 0x0A});
  EXPECT_TRUE(link.WaitForSendsDone());
  const Bytes got = Receive(link, expected.size());
  ASSERT_EQ(got.size(), expected.size());
  EXPECT_TRUE(got == expected);
  EXPECT_FALSE(link.IsDeviceLost());
  EXPECT_EQ(link.GetPnPId(), u"");  // a pty never answers the Plug and Play sequence
}

// The settings a port opens with, byte for byte as a receiver's line wants them: a 28-byte DCB
// at 9600 8N1 whose flag word is 0x1003 (binary, parity checking, DTR off, RTS on, no flow
// control), XON/XOFF limits 2048 and 512 and the usual XON/XOFF characters.
TEST(ComPortTest, ThePortOpensWithTheReceiversLineTemplate) {
  const DCB dcb = CThreadedCOMPort::OpenTemplate();
  uint8_t bytes[sizeof(DCB)];
  static_assert(sizeof(DCB) == 28);
  std::memcpy(bytes, &dcb, sizeof bytes);
  uint32_t length = 0, baud = 0, flags = 0;
  std::memcpy(&length, bytes, 4);
  std::memcpy(&baud, bytes + 4, 4);
  std::memcpy(&flags, bytes + 8, 4);
  EXPECT_EQ((std::vector<uint32_t>{length, baud, flags}), (std::vector<uint32_t>{28, 9600, 0x1003}));
  EXPECT_EQ((std::vector<uint32_t>{dcb.XonLim, dcb.XoffLim, dcb.ByteSize, dcb.Parity, dcb.StopBits,
                                   static_cast<uint8_t>(dcb.XonChar), static_cast<uint8_t>(dcb.XoffChar)}),
            (std::vector<uint32_t>{2048, 512, 8, 0, 0, 0x11, 0x13}));
}

// A device that closes its end is reported: the consumer wakes and the link is lost; writes to
// it go nowhere and the close is clean.
TEST(ComPortTest, ADeviceThatHangsUpIsALostDevice) {
  CSBConnection link(LinkInfo(PeerPort("HANGUP")));
  ASSERT_EQ(link.Open(), LinkResult::kSuccess);
  const Bytes command = {'H', 'A', 'N', 'G', 'U', 'P'};
  link.Send(Block(command));
  EXPECT_TRUE(WaitUntilLost(link));
  link.Send(Block({0x01, 0x02}));
  EXPECT_TRUE(link.WaitForSendsDone());
  link.Close();
  EXPECT_FALSE(link.IsOpen());
}

// A port name that leads to no device is "not present", an empty one too, a file that is no
// serial port is refused with its error, and none of them leaves the link open.
TEST(ComPortTest, OpeningWhatIsNoPortFailsWithItsReason) {
  for (const std::string& name : {PeerPort("MISSING"), std::string("\\\\.\\COM239"), std::string()}) {
    CSBConnection link(LinkInfo(name));
    EXPECT_EQ(link.Open(), LinkResult::kNotPresent) << name;
    EXPECT_FALSE(link.IsOpen());
  }
  char folder[MAX_PATH] = {};
  ASSERT_GT(::GetTempPathA(MAX_PATH, folder), 0u);
  const std::string file = std::string(folder) + "ovanta-not-a-port";
  const HANDLE h =
      ::CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ::CloseHandle(h);
  const uint32_t result = CSBConnection(LinkInfo(file)).Open();
  EXPECT_NE(result, LinkResult::kSuccess);
  EXPECT_NE(result, LinkResult::kInUse);
  EXPECT_NE(result, LinkResult::kNotPresent);
  ::DeleteFileA(file.c_str());
  // A port another program holds (opened without sharing): Windows refuses it with access
  // denied, Wine does not refuse it at all, so only the mapping is checked here. The path
  // error (3) must not pass through as "in use" (3).
  EXPECT_EQ((std::vector<uint32_t>{
                Win32LinkErrors::OpenResult(ERROR_ACCESS_DENIED), Win32LinkErrors::OpenResult(ERROR_SHARING_VIOLATION),
                Win32LinkErrors::OpenResult(ERROR_FILE_NOT_FOUND), Win32LinkErrors::OpenResult(ERROR_PATH_NOT_FOUND),
                Win32LinkErrors::OpenResult(ERROR_GEN_FAILURE)}),
            (std::vector<uint32_t>{LinkResult::kInUse, LinkResult::kInUse, LinkResult::kNotPresent,
                                   LinkResult::kNotPresent, ERROR_GEN_FAILURE}));
  // The connection's conversion keeps that mapping for the system's errors, and a step after the
  // open that failed without an error is refused, never "success".
  EXPECT_EQ(LinkResult::FromError(std::error_code(ERROR_PATH_NOT_FOUND, std::system_category())),
            LinkResult::kNotPresent);
  EXPECT_EQ(LinkResult::FromError(std::error_code(ERROR_SEM_TIMEOUT, std::system_category())),
            static_cast<uint32_t>(ERROR_SEM_TIMEOUT));
  EXPECT_EQ(LinkResult::FromError(Win32LinkErrors::OpenFailure(ERROR_SUCCESS)), LinkResult::kNotALinkDevice);
  EXPECT_EQ(LinkResult::FromError(Win32LinkErrors::OpenFailure(ERROR_GEN_FAILURE)),
            static_cast<uint32_t>(ERROR_GEN_FAILURE));
  // A serial port is neither a HID device nor a USB-serial bridge behind its own driver: those
  // kinds refuse it, and leave it free.
  for (const uint32_t kind : {kConnectionHid, kConnectionProlific}) {
    CSBConnection other(LinkInfo(PeerPort("ECHO"), kind));
    const uint32_t refused = other.Open();
    EXPECT_NE(refused, LinkResult::kSuccess) << kind;
    EXPECT_NE(refused, LinkResult::kInUse) << kind;
    EXPECT_FALSE(other.IsOpen());
  }
  CSBConnection com(LinkInfo(PeerPort("ECHO")));
  EXPECT_EQ(com.Open(), LinkResult::kSuccess);
}

// Closing ends the I/O thread (with its read outstanding, and with writes still on their way),
// the port opens again and carries bytes, and a link destroyed while open closes too.
TEST(ComPortTest, CloseEndsTheIoThreadAndThePortOpensAgain) {
  const std::string port = PeerPort("ECHO");
  const int before = ThreadCount();
  ASSERT_GT(before, 0);
  {
    CSBConnection link(LinkInfo(port));
    ASSERT_EQ(link.Open(), LinkResult::kSuccess);
    EXPECT_EQ(ThreadCount(), before + 1);
    link.Close();
    EXPECT_FALSE(link.IsOpen());
    EXPECT_EQ(ThreadCount(), before);

    ASSERT_EQ(link.Open(), LinkResult::kSuccess);
    link.Send(Block({0x42, 0x43}));
    EXPECT_EQ(Receive(link, 2), (Bytes{0x42, 0x43}));
    for (int i = 0; i < 20; ++i) link.Send(Block(Bytes(1000, static_cast<uint8_t>(i))));
    link.Close();
    EXPECT_EQ(ThreadCount(), before);
    ASSERT_EQ(link.Open(), LinkResult::kSuccess);
  }
  EXPECT_EQ(ThreadCount(), before);
}

// The detection routine against a device that echoes (it answers the first probe at the first
// candidate, 9600) and one that answers nothing (the port is left at 9600 8N1).
TEST(ComPortTest, DetectionFindsAnEchoAndFallsBackOnASilentDevice) {
  CSBConnection echo(LinkInfo(PeerPort("ECHO")));
  ASSERT_EQ(echo.Open(), LinkResult::kSuccess);
  EXPECT_TRUE(echo.ResetDevice(0));
  uint32_t baud = 0;
  uint8_t size = 0, parity = 9, stop = 9;
  ASSERT_TRUE(echo.GetCommParams(&baud, &size, &parity, &stop));
  EXPECT_EQ(baud, 9600u);
  // Bytes still move after the routine.
  echo.Send(Block({0x5A}));
  EXPECT_EQ(Receive(echo, 1), (Bytes{0x5A}));

  CSBConnection silent(LinkInfo(PeerPort("SILENT")));
  ASSERT_EQ(silent.Open(), LinkResult::kSuccess);
  ASSERT_TRUE(silent.SetCommParams(57600, 8, 0, 0));
  EXPECT_FALSE(silent.ResetDevice(1));
  ASSERT_TRUE(silent.GetCommParams(&baud, &size, &parity, &stop));
  EXPECT_EQ((std::vector<uint32_t>{baud, size, parity, stop}), (std::vector<uint32_t>{9600, 8, 0, 0}));
}
