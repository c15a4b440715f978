#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "sdk/Message.h"
#include "sdk/ReceiverStatus.h"
#include "sdk/ServerIdentifier.h"

// The message ids of the SDK protocol.
enum class SdkMessage : int32_t {
  kRegistration = 1,
  kPing = 6,
  kPingAnswer = 7,
  kStatus = 8,
  kSendCommand = 9,
  kGetLogFileName = 10,
  kLogFileName = 11,
  kSetLogFlags = 12,
  kLogChanged = 13,
  kGetLogFlags = 14,
  kLogFlags = 15,
  kResetLog = 18,
};

// The SDK server's identifier, as sent.
constexpr ServerIdentifier kSdkServerIdentifier = {0xb4, 0x29, 0x30, 0xdc, 0x7a, 0xb8, 0x45, 0x30,
                                                   0x8a, 0x7a, 0xf7, 0x92, 0x07, 0x05, 0xc1, 0xfb};

class CEmptyMessage : public CAsyncMessageBase {
 public:
  explicit CEmptyMessage(MessageId messageId) : CAsyncMessageBase(messageId) {}
  size_t GetDataSize() const override { return 0; }
  void WriteData(CWireWriter&) const override {}
  bool ReadData(CWireReader&) override { return true; }
};

// A fixed number (set when made) of signed 32-bit values.
class CVariableIntMessage : public CAsyncMessageBase {
 public:
  CVariableIntMessage(MessageId messageId, size_t count) : CAsyncMessageBase(messageId), m_values(count) {}
  int32_t& operator[](size_t index) { return m_values.at(index); }
  int32_t operator[](size_t index) const { return m_values.at(index); }

  size_t GetDataSize() const override { return 4 * m_values.size(); }
  void WriteData(CWireWriter& out) const override;
  bool ReadData(CWireReader& in) override;

 private:
  std::vector<int32_t> m_values;
};

// The receiver list: a signed 32-bit record count, then per record the receiver number, its
// state and its name (a string). Names are cut to 31 characters when read.
class CStatusMessage : public CAsyncMessageBase {
 public:
  static constexpr size_t kMaxNameLength = 31;

  CStatusMessage() : CAsyncMessageBase(SdkMessage::kStatus) {}
  explicit CStatusMessage(std::vector<ReceiverStatusW> records)
      : CAsyncMessageBase(SdkMessage::kStatus), m_records(std::move(records)) {}
  const std::vector<ReceiverStatusW>& Records() const { return m_records; }

  size_t GetDataSize() const override;
  void WriteData(CWireWriter& out) const override;
  bool ReadData(CWireReader& in) override;

  // A record's name as text (up to its terminator, at most 31 characters).
  static std::u16string NameOf(const ReceiverStatusW& record);
  // Sets a record's name, cut to 31 characters (never between the halves of a surrogate pair).
  static void SetName(ReceiverStatusW& record, std::u16string_view name);

 private:
  std::vector<ReceiverStatusW> m_records;
};

class CEmptyRequestMessage : public CBlockingRequestMessageBase {
 public:
  CEmptyRequestMessage(MessageId messageId, MessageId responseId)
      : CBlockingRequestMessageBase(messageId, responseId) {}
  size_t GetDataSize() const override { return 0; }
  void WriteData(CWireWriter&) const override {}
  bool ReadData(CWireReader&) override { return true; }
};

class CEmptyResponseMessage : public CBlockingResponseMessageBase {
 public:
  CEmptyResponseMessage(MessageId messageId, uint32_t correlationId)
      : CBlockingResponseMessageBase(messageId, correlationId) {}
  size_t GetDataSize() const override { return 0; }
  void WriteData(CWireWriter&) const override {}
  bool ReadData(CWireReader&) override { return true; }
};

class CStringResponseMessage : public CBlockingResponseMessageBase {
 public:
  CStringResponseMessage(MessageId messageId, uint32_t correlationId, std::u16string text = {})
      : CBlockingResponseMessageBase(messageId, correlationId), m_text(std::move(text)) {}
  const std::u16string& Text() const { return m_text; }

  size_t GetDataSize() const override { return Wire::StringSize(m_text); }
  void WriteData(CWireWriter& out) const override { out.String(m_text); }
  bool ReadData(CWireReader& in) override { return in.String(m_text); }

 private:
  std::u16string m_text;
};
