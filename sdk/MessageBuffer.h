#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "sdk/Wire.h"

// One frame: the 4-byte big-endian body length, then the message body. A message is written
// into one buffer and read from one; the buffer keeps the length in front of the body so that
// the frame goes out without another copy.
class CMessageBuffer {
 public:
  static constexpr size_t kPrefixSize = 4;

  // A buffer for a body of the given length, prefix filled in, body zeroed.
  explicit CMessageBuffer(size_t bodyLength) : m_frame(kPrefixSize + bodyLength) {
    Wire::PutU32(m_frame.data(), static_cast<uint32_t>(bodyLength));
  }
  // Takes a frame whose first kPrefixSize bytes are room for the prefix, and fills them in.
  struct AdoptFrame {};
  CMessageBuffer(AdoptFrame, std::vector<uint8_t>&& frame) : m_frame(std::move(frame)) {
    Wire::PutU32(m_frame.data(), static_cast<uint32_t>(m_frame.size() - kPrefixSize));
  }
  static std::shared_ptr<CMessageBuffer> FromBody(std::span<const uint8_t> body) {
    auto buffer = std::make_shared<CMessageBuffer>(body.size());
    std::copy(body.begin(), body.end(), buffer->Body().begin());
    return buffer;
  }

  std::span<uint8_t> Body() { return std::span<uint8_t>(m_frame).subspan(kPrefixSize); }
  std::span<const uint8_t> Body() const { return std::span<const uint8_t>(m_frame).subspan(kPrefixSize); }
  std::span<const uint8_t> Frame() const { return m_frame; }
  size_t Length() const { return m_frame.size() - kPrefixSize; }

 private:
  std::vector<uint8_t> m_frame;
};

using MessageBufferPtr = std::shared_ptr<const CMessageBuffer>;
