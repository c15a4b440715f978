// Framing throughput: encode + decode of single packets, and AddReceivedBytes over a stream
// of many frames (receiver packets, so no acknowledgements are sent) read as a link reads them.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <vector>

#include "protocol/Frame.h"
#include "protocol/ReceiverProtocolHandler.h"

namespace {

// A receiver packet of `length` bytes: address 0, a command id, payload bytes with a zero
// now and then (as real payloads have), no run too long to frame.
std::vector<uint8_t> Packet(size_t length, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> p(length);
  for (size_t i = 0; i < length; ++i) p[i] = static_cast<uint8_t>(1 + random() % 255);
  p[0] = 0;
  p[1] = 0;
  if (length > 2) p[2] = 0x0B;
  for (size_t i = 40; i < length; i += 97) p[i] = 0;
  return p;
}

class NullReceiver : public IReceiverCommands {
 public:
  void SendBytes(const uint8_t*, uint32_t) override {}
  void LogReceived(const uint8_t*, uint32_t) override {}
  void GetName(Voxlet::StringBuffer& name) override { name = u"bench"; }
  void OnFirmwareInfo(uint8_t, uint8_t, uint8_t, uint16_t) override {}
  void OnPropertyQueryMacAddr(uint32_t, uint32_t) override {}
  void OnReceiverStatus(uint8_t) override {}
  void OnClickerStatus(uint16_t, uint8_t, uint8_t) override {}
  void OnTransmitPower(uint16_t, uint8_t) override {}
  void OnPanId(uint16_t, uint16_t) override {}
  void OnClassName(uint16_t, const Voxlet::StringBuffer&) override {}
  void OnLoginRequirement(uint16_t, bool, bool, bool) override {}
  void OnJoinLoginRequired(uint16_t, uint32_t, uint32_t, const Voxlet::StringBuffer&, bool) override {}
  void OnJoinNoLoginRequired(uint16_t, uint32_t, uint32_t) override {}
  void OnLoginGrant(uint16_t, const Voxlet::StringBuffer&, bool, bool) override {}
  void OnLoginOff(uint16_t) override {}
  void OnHandUp(uint16_t, bool) override {}
  void OnChannel(uint16_t, uint8_t) override {}
  void OnSelectTeam(uint16_t, uint8_t) override {}
  void OnStartGame(uint16_t, uint8_t) override {}
  void OnScanResults(uint16_t, uint16_t, const ChannelScanResultsArray&) override {}
  void OnAnswerUpload(uint16_t, uint8_t, const std::vector<uint8_t>&) override {}
  void OnEnhancedAnswerUpload(uint16_t, uint8_t, uint8_t, uint8_t, uint8_t, const uint8_t*, uint32_t) override {}
  void OnDeviceDisassociated(uint16_t) override {}
  void OnLoginGrantConfirm(uint16_t, bool) override {}
  void OnSessionEndRemote(uint16_t) override {}
  void OnCommandNacked(uint8_t) override {}
  void OnNetworkState(bool) override {}
  void OnReceiverPrintf(uint16_t, const Voxlet::StringBuffer&) override {}
  void OnProductCode(uint8_t) override {}
};

void EncodeDecode(benchmark::State& state) {
  const size_t length = static_cast<size_t>(state.range(0));
  const std::vector<uint8_t> packet = Packet(length, 7);
  std::vector<uint8_t> frame(length + 3);
  std::vector<uint8_t> decoded(length + 3);
  for (auto _ : state) {
    const size_t n = ReceiverFrame::Encode(packet.data(), packet.size(), frame.data());
    const ReceiverFrame::Decoded d = ReceiverFrame::Decode(frame.data(), n, decoded.data());
    benchmark::DoNotOptimize(d);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * length));
}
BENCHMARK(EncodeDecode)->Arg(8)->Arg(64)->Arg(256);

// What one read of the serial link delivers at most (the COM port's read buffer).
constexpr size_t kLinkReadBytes = 2048;
constexpr uint32_t kFrames = 1000;

void AddReceivedBytesStream(benchmark::State& state) {
  const size_t length = static_cast<size_t>(state.range(0));
  // 1000 frames as a busy link delivers them: in reads of up to 2 KB, each read's records taken
  // by the dispatcher before the next read (a dispatcher that keeps up; one that falls far
  // behind makes clickers send again, which is not framing work).
  std::vector<uint8_t> stream;
  for (uint32_t i = 0; i < kFrames; ++i) {
    const std::vector<uint8_t> packet = Packet(length, i);
    std::vector<uint8_t> frame(length + 3);
    frame.resize(ReceiverFrame::Encode(packet.data(), packet.size(), frame.data()));
    stream.insert(stream.end(), frame.begin(), frame.end());
  }
  NullReceiver receiver;
  CReceiverProtocolHandler handler(&receiver);
  size_t records = 0;
  for (auto _ : state) {
    for (size_t at = 0; at < stream.size(); at += kLinkReadBytes) {
      handler.AddReceivedBytes(stream.data() + at, std::min(kLinkReadBytes, stream.size() - at));
      records += handler.TakeIncoming().size();
    }
  }
  if (records != static_cast<size_t>(state.iterations()) * kFrames) state.SkipWithError("frames lost");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFrames * length));
}
BENCHMARK(AddReceivedBytesStream)->Arg(8)->Arg(64)->Arg(256);

}  // namespace

BENCHMARK_MAIN();
