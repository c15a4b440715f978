#pragma once
#include <cstdint>
#include <memory>

// One block of link bytes. Stored not raw, the bytes follow one leading 0 byte (the slot a
// HID report id takes); the payload is everything after that first stored byte.
class CSBIOPacket {
 public:
  CSBIOPacket() = default;
  CSBIOPacket(const uint8_t* bytes, uint32_t length, bool raw) { Set(bytes, length, raw); }
  virtual ~CSBIOPacket() = default;

  void Set(const uint8_t* bytes, uint32_t length, bool raw);

  // COM and USB-serial links drop a flagged packet; the HID link sends it as a feature report.
  uint8_t m_flag = 0;

  const uint8_t* Data() const { return m_data.get(); }
  uint32_t StoredLength() const { return m_length; }
  const uint8_t* Payload() const { return m_data ? m_data.get() + 1 : nullptr; }
  uint32_t PayloadLength() const { return m_length > 0 ? m_length - 1 : 0; }

 private:
  std::unique_ptr<uint8_t[]> m_data;
  uint32_t m_length = 0;
};
