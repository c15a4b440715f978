// Framing throughput: encode + decode of single packets, and AddReceivedBytes over a stream
// of many frames (receiver packets, so no acknowledgements are sent) read as a link reads them.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <vector>

#include "protocol/Frame.h"
#include "protocol/NullReceiverCommands.h"
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

class NullReceiver : public CNullReceiverCommands {
 public:
  void GetName(Voxlet::StringBuffer& name) override { name = u"bench"; }
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
