#pragma once
#include <cstdint>
#include <memory>
#include <type_traits>

#include "sdk/MessageBuffer.h"
#include "sdk/VariableData.h"
#include "sdk/Wire.h"

// The kinds of message. A body starts with the message id (signed 32-bit) and the kind byte;
// blocking kinds carry a correlation id after it.
enum class MessageKind : uint8_t { kAsync = 1, kBlockingRequest = 2, kBlockingResponse = 3 };

// A message id where a message is made: a number, or an id of a protocol's enum class of
// 32-bit ids (the SDK's SdkMessage), which the wire carries as its number.
class MessageId {
 public:
  constexpr MessageId(int32_t value) : m_value(value) {}  // NOLINT(google-explicit-constructor)
  template <class Id>
  requires std::is_enum_v<Id> && std::is_same_v<std::underlying_type_t<Id>, int32_t>
  constexpr MessageId(Id id) : m_value(static_cast<int32_t>(id)) {}  // NOLINT(google-explicit-constructor)
  constexpr int32_t Value() const { return m_value; }

 private:
  int32_t m_value;
};

namespace MessageHeader {
constexpr size_t kAsyncSize = 5;
constexpr size_t kBlockingSize = 9;
// The message id of a body, 0 when it is shorter than 4 bytes.
int32_t PeekMessageId(std::span<const uint8_t> body);
// The correlation id of a body that is a blocking response (at least 9 bytes, kind 3); 0
// for anything else.
uint32_t PeekResponseCorrelationId(std::span<const uint8_t> body);
}  // namespace MessageHeader

// A message: its header and the data its class lays out.
class MessageIntf {
 public:
  virtual ~MessageIntf() = default;
  virtual int32_t GetMessageId() const = 0;
  virtual MessageKind GetKind() const = 0;
  // Header plus data size.
  virtual size_t GetSize() const = 0;
  // Header, then data, into a new buffer.
  virtual std::shared_ptr<CMessageBuffer> Write() const = 0;
  // Checks the header (id and kind must be this object's) and reads the data.
  virtual bool Read(const CMessageBuffer& buffer) = 0;

  virtual size_t GetDataSize() const = 0;
  virtual void WriteData(CWireWriter& out) const = 0;
  virtual bool ReadData(CWireReader& in) = 0;
};

class CMessageCommonBase : public MessageIntf {
 public:
  int32_t GetMessageId() const override { return m_messageId; }
  size_t GetSize() const override { return HeaderSize() + GetDataSize(); }
  std::shared_ptr<CMessageBuffer> Write() const override;
  bool Read(const CMessageBuffer& buffer) override;

 protected:
  explicit CMessageCommonBase(MessageId messageId) : m_messageId(messageId.Value()) {}
  virtual size_t HeaderSize() const = 0;
  // Writes what follows the kind byte in the header; reads it back.
  virtual void WriteHeaderRest(CWireWriter&) const {}
  virtual bool ReadHeaderRest(CWireReader&) { return true; }

 private:
  int32_t m_messageId;
};

class CAsyncMessageBase : public CMessageCommonBase {
 public:
  MessageKind GetKind() const override { return MessageKind::kAsync; }

 protected:
  using CMessageCommonBase::CMessageCommonBase;
  size_t HeaderSize() const override { return MessageHeader::kAsyncSize; }
};

class CBlockingMessageCommonBase : public CMessageCommonBase {
 public:
  uint32_t GetCorrelationId() const { return m_correlationId; }
  void SetCorrelationId(uint32_t id) { m_correlationId = id; }

 protected:
  CBlockingMessageCommonBase(MessageId messageId, uint32_t correlationId)
      : CMessageCommonBase(messageId), m_correlationId(correlationId) {}
  size_t HeaderSize() const override { return MessageHeader::kBlockingSize; }
  void WriteHeaderRest(CWireWriter& out) const override { out.U32(m_correlationId); }
  bool ReadHeaderRest(CWireReader& in) override { return in.U32(m_correlationId); }

 private:
  uint32_t m_correlationId;
};

// A request whose sender waits for the response with the id it names.
class CBlockingRequestMessageBase : public CBlockingMessageCommonBase {
 public:
  MessageKind GetKind() const override { return MessageKind::kBlockingRequest; }
  int32_t GetResponseId() const { return m_responseId; }

 protected:
  CBlockingRequestMessageBase(MessageId messageId, MessageId responseId)
      : CBlockingMessageCommonBase(messageId, 0), m_responseId(responseId.Value()) {}

 private:
  int32_t m_responseId;
};

class CBlockingResponseMessageBase : public CBlockingMessageCommonBase {
 public:
  MessageKind GetKind() const override { return MessageKind::kBlockingResponse; }

 protected:
  using CBlockingMessageCommonBase::CBlockingMessageCommonBase;
};

// The registration a client sends after reading the server's identifier (message id 1).
class CRegistrationMessage : public CAsyncMessageBase {
 public:
  static constexpr int32_t kId = 1;
  explicit CRegistrationMessage(int32_t registrationId = 0)
      : CAsyncMessageBase(kId), m_registrationId(registrationId) {}
  int32_t RegistrationId() const { return m_registrationId; }

  size_t GetDataSize() const override { return 4; }
  void WriteData(CWireWriter& out) const override { out.I32(m_registrationId); }
  bool ReadData(CWireReader& in) override { return in.I32(m_registrationId); }

 private:
  int32_t m_registrationId;
};

// Messages whose data is one CVariableData.
template <class Base>
class CVariableDataMessage : public Base {
 public:
  using Base::Base;
  CVariableData& Data() { return m_data; }
  const CVariableData& Data() const { return m_data; }

  size_t GetDataSize() const override { return m_data.EncodedSize(); }
  void WriteData(CWireWriter& out) const override { m_data.Write(out); }
  bool ReadData(CWireReader& in) override { return m_data.Read(in); }

 private:
  CVariableData m_data;
};

class CVariableDataAsyncMessage : public CVariableDataMessage<CAsyncMessageBase> {
 public:
  explicit CVariableDataAsyncMessage(MessageId messageId) : CVariableDataMessage(messageId) {}
};

class CVariableDataResponseMessage : public CVariableDataMessage<CBlockingResponseMessageBase> {
 public:
  CVariableDataResponseMessage(MessageId messageId, uint32_t correlationId)
      : CVariableDataMessage(messageId, correlationId) {}
};
