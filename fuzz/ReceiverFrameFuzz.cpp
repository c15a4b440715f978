// Feeds arbitrary bytes to a receiver's protocol handler as if they arrived on the link, cut
// into reads of the sizes a serial line hands over, and runs every packet it takes through the
// incoming dispatch into a receiver whose handlers read all they are given.
//
// The input: one byte that picks the read sizes, then the link's bytes. Besides the
// sanitizers, checks that every packet taken frames again into the same packet.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

#include "fuzz/ReceiverSink.h"
#include "protocol/Frame.h"
#include "protocol/ReceiverProtocolHandler.h"

namespace {

// The packet an incoming record was decoded from.
std::vector<uint8_t> PacketOf(const IncomingRecord& record) {
  std::vector<uint8_t> packet = {static_cast<uint8_t>(record.address >> 8), static_cast<uint8_t>(record.address),
                                 record.command};
  packet.insert(packet.end(), record.payload.begin(), record.payload.begin() + record.payloadLength);
  return packet;
}

bool SameRecord(const IncomingRecord& a, const IncomingRecord& b) {
  return a.address == b.address && a.command == b.command && a.payloadLength == b.payloadLength &&
         std::memcmp(a.payload.data(), b.payload.data(), static_cast<size_t>(a.payloadLength)) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static constexpr size_t kReadSizes[] = {1, 2, 3, 7, 16, 64, 255, 4096};
  const size_t readSize = kReadSizes[data[0] % std::size(kReadSizes)];
  ++data;
  --size;

  FuzzReceiverSink receiver;
  uint32_t tick = 1000;
  CReceiverProtocolHandler handler(&receiver, [&tick] { return tick += 50; });
  std::deque<IncomingRecord> records;
  for (size_t at = 0; at < size; at += readSize) {
    handler.AddReceivedBytes(data + at, std::min(readSize, size - at));
    for (IncomingRecord& record : handler.TakeIncoming()) records.push_back(record);
  }
  for (const IncomingRecord& record : records) handler.DispatchIncoming(record);
  while (handler.SendNextPacket() != 0) {
  }

  for (const IncomingRecord& record : records) {
    if (record.payloadLength < 0 || record.payloadLength > static_cast<int32_t>(ReceiverFrame::kMaxPayload)) abort();
    const std::vector<uint8_t> packet = PacketOf(record);
    if (!ReceiverFrame::CanFrame(packet.data(), packet.size())) continue;
    std::vector<uint8_t> frame(packet.size() + 3);
    frame.resize(ReceiverFrame::Encode(packet.data(), packet.size(), frame.data()));
    FuzzReceiverSink again;
    CReceiverProtocolHandler check(&again, [] { return 1000u; });
    check.AddReceivedBytes(frame.data(), frame.size());
    const std::deque<IncomingRecord> back = check.TakeIncoming();
    if (back.size() != 1 || !SameRecord(back.front(), record)) abort();
  }
  return 0;
}
