#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "protocol/Frame.h"

using Bytes = std::vector<uint8_t>;

namespace {

Bytes Encode(const Bytes& packet) {
  Bytes out(packet.size() + 3);
  const size_t n = ReceiverFrame::Encode(packet.data(), packet.size(), out.data());
  out.resize(n);
  return out;
}

// The frame built the literal way, one byte at a time in place, as the receiver firmware's
// description of the format reads; the library's run-wise encoder must agree with it.
Bytes ByteWiseFrame(const Bytes& packet) {
  Bytes buf(packet.size() + 3, 0);
  uint8_t sum = 0;
  for (size_t i = 0; i < packet.size(); ++i) {
    buf[i + 1] = packet[i];
    sum ^= packet[i];
  }
  buf[packet.size() + 1] = sum;
  size_t last = 0;
  uint8_t count = 1;
  for (size_t i = 1; i < buf.size(); ++i) {
    if (buf[i] == 0) {
      buf[last] = count;
      last = i;
      count = 1;
    } else {
      ++count;
    }
  }
  return buf;
}

Bytes Decode(const Bytes& frame, ReceiverFrame::DecodeResult* result = nullptr) {
  Bytes out(frame.size());
  const ReceiverFrame::Decoded d = ReceiverFrame::Decode(frame.data(), frame.size(), out.data());
  if (result) *result = d.result;
  out.resize(d.length);
  return out;
}

}  // namespace

TEST(FrameTest, KnownPacketsFrameByteForByteAndDecodeBack) {
  const std::vector<std::pair<Bytes, Bytes>> cases = {
      {{0x00, 0x00, 0x04, 0x01}, {0x01, 0x01, 0x04, 0x04, 0x01, 0x05, 0x00}},
      {{0x00, 0x00, 0x2A}, {0x01, 0x01, 0x03, 0x2A, 0x2A, 0x00}},
      {{0xFF, 0xFF, 0x26, 0x03}, {0x06, 0xFF, 0xFF, 0x26, 0x03, 0x25, 0x00}},
      // A zero checksum is itself stuffed: {1, 2, 3} XORs to 0.
      {{0x01, 0x02, 0x03}, {0x04, 0x01, 0x02, 0x03, 0x01, 0x00}},
      // The empty packet: checksum 0 only.
      {{}, {0x01, 0x01, 0x00}},
  };
  for (const auto& [packet, frame] : cases) {
    EXPECT_EQ(Encode(packet), frame);
    ReceiverFrame::DecodeResult result;
    const Bytes decoded = Decode(frame, &result);
    if (frame.size() >= 3) {
      EXPECT_EQ(result, ReceiverFrame::DecodeResult::kOk);
      EXPECT_EQ(decoded, packet);
    }
  }
}

TEST(FrameTest, RandomPacketsMatchTheByteWiseEncoderAndRoundTrip) {
  std::mt19937 random(1234);
  for (int round = 0; round < 3000; ++round) {
    const size_t n = random() % 200;
    Bytes packet(n);
    // Many zeros in some packets, none in others.
    const unsigned zeroChance = random() % 4;
    for (auto& b : packet) b = (random() % 4 < zeroChance) ? 0 : static_cast<uint8_t>(1 + random() % 255);
    const Bytes frame = Encode(packet);
    ASSERT_EQ(frame, ByteWiseFrame(packet)) << "length " << n;
    // No zero inside a frame except its delimiter.
    for (size_t i = 0; i + 1 < frame.size(); ++i) ASSERT_NE(frame[i], 0);
    ASSERT_EQ(Decode(frame), packet);
  }
}

TEST(FrameTest, DecodingInPlaceGivesThePacket) {
  Bytes frame = {0x06, 0xFF, 0xFF, 0x26, 0x03, 0x25, 0x00};
  const ReceiverFrame::Decoded d = ReceiverFrame::Decode(frame.data(), frame.size(), frame.data());
  ASSERT_EQ(d.result, ReceiverFrame::DecodeResult::kOk);
  EXPECT_EQ(Bytes(frame.begin(), frame.begin() + d.length), (Bytes{0xFF, 0xFF, 0x26, 0x03}));
}

TEST(FrameTest, RunsOfUpTo254BytesFrameAndLongerRunsAreRefused) {
  // 253 non-zero bytes and a non-zero checksum: a run of 254, the longest one code describes.
  Bytes packet(253, 0x01);
  packet[0] = 0x03;  // XOR of 0x03 and 252 times 0x01 is 0x03: non-zero
  ASSERT_EQ(ReceiverFrame::LongestRun(packet.data(), packet.size()), 254u);
  Bytes frame = Encode(packet);
  ASSERT_EQ(frame.size(), packet.size() + 3);
  EXPECT_EQ(frame[0], 255);
  EXPECT_EQ(Decode(frame), packet);

  packet.push_back(0x01);  // now 255 with the checksum
  EXPECT_EQ(ReceiverFrame::LongestRun(packet.data(), packet.size()), 255u);
  EXPECT_FALSE(ReceiverFrame::CanFrame(packet.data(), packet.size()));
  Bytes out(packet.size() + 3);
  EXPECT_EQ(ReceiverFrame::Encode(packet.data(), packet.size(), out.data()), 0u);

  // Long packets frame when zeros break them into short runs.
  Bytes broken(600, 0x7F);
  for (size_t i = 0; i < broken.size(); i += 200) broken[i] = 0;
  EXPECT_EQ(Decode(Encode(broken)), broken);
}

TEST(FrameTest, CorruptedFramesFailTheChecksum) {
  Bytes frame = {0x01, 0x01, 0x04, 0x04, 0x01, 0x05, 0x00};
  frame[4] = 0x02;
  ReceiverFrame::DecodeResult result;
  EXPECT_TRUE(Decode(frame, &result).empty());
  EXPECT_EQ(result, ReceiverFrame::DecodeResult::kBadChecksum);
  Bytes shortFrame = {0x01, 0x00};
  Decode(shortFrame, &result);
  EXPECT_EQ(result, ReceiverFrame::DecodeResult::kTooShort);
}
