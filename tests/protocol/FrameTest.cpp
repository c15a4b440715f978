#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "FakeReceiver.h"
#include "SimFraming.h"

namespace {

// Decodes into a buffer of its own, or in place when `inPlace`.
Bytes Decode(Bytes frame, ReceiverFrame::DecodeResult* result = nullptr, bool inPlace = false) {
  Bytes out(frame.size());
  uint8_t* to = inPlace ? frame.data() : out.data();
  const ReceiverFrame::Decoded d = ReceiverFrame::Decode(frame.data(), frame.size(), to);
  if (result) *result = d.result;
  return Bytes(to, to + d.length);
}

}  // namespace

// Random packets (the empty one, ones with a zero checksum, long runs of zeros) frame as the
// receiver simulator's encoder, written apart from the service's, does, and decode back, in
// place too.
TEST(FrameTest, RandomPacketsMatchTheSimulatorsEncoderAndRoundTrip) {
  std::mt19937 random(1234);
  for (int round = 0; round < 3000; ++round) {
    Bytes packet(random() % 200);
    const unsigned zeroChance = random() % 4;  // many zeros in some packets, none in others
    for (auto& b : packet) b = (random() % 4 < zeroChance) ? 0 : static_cast<uint8_t>(1 + random() % 255);
    const Bytes frame = Frame(packet);
    ASSERT_EQ(frame, SimFraming::Frame(packet)) << "length " << packet.size();
    for (size_t i = 0; i + 1 < frame.size(); ++i) ASSERT_NE(frame[i], 0);  // only the delimiter is zero
    ReceiverFrame::DecodeResult result;
    ASSERT_EQ(Decode(frame, &result, round % 2 == 0), packet);
    ASSERT_EQ(result, ReceiverFrame::DecodeResult::kOk);
  }
  EXPECT_EQ(Frame({0x01, 0x02, 0x03}), (Bytes{0x04, 0x01, 0x02, 0x03, 0x01, 0x00}));  // a zero checksum is stuffed
}

TEST(FrameTest, RunsOfUpTo254BytesFrameAndLongerRunsAreRefused) {
  // 253 non-zero bytes and a non-zero checksum: a run of 254, the longest one code describes.
  Bytes packet(253, 0x01);
  packet[0] = 0x03;  // XOR of 0x03 and 252 times 0x01 is 0x03: non-zero
  ASSERT_EQ(ReceiverFrame::LongestRun(packet.data(), packet.size()), 254u);
  const Bytes frame = Frame(packet);
  ASSERT_EQ(frame.size(), packet.size() + 3);
  EXPECT_EQ(frame[0], 255);
  EXPECT_EQ(Decode(frame), packet);

  packet.push_back(0x01);  // now 255 with the checksum
  EXPECT_EQ(ReceiverFrame::LongestRun(packet.data(), packet.size()), 255u);
  EXPECT_FALSE(ReceiverFrame::CanFrame(packet.data(), packet.size()));
  Bytes out(packet.size() + 3);
  EXPECT_EQ(ReceiverFrame::Encode(packet.data(), packet.size(), out.data()), 0u);
}
