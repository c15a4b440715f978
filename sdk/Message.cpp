#include "sdk/Message.h"

namespace MessageHeader {

int32_t PeekMessageId(std::span<const uint8_t> body) {
  return body.size() < 4 ? 0 : static_cast<int32_t>(Wire::GetU32(body.data()));
}

uint32_t PeekResponseCorrelationId(std::span<const uint8_t> body) {
  if (body.size() < kBlockingSize || body[4] != static_cast<uint8_t>(MessageKind::kBlockingResponse)) return 0;
  return Wire::GetU32(body.data() + 5);
}

}  // namespace MessageHeader

std::shared_ptr<CMessageBuffer> CMessageCommonBase::Write() const {
  std::vector<uint8_t> frame(CMessageBuffer::kPrefixSize);
  frame.reserve(CMessageBuffer::kPrefixSize + GetSize());
  CWireWriter out(frame);
  out.I32(m_messageId);
  out.U8(static_cast<uint8_t>(GetKind()));
  WriteHeaderRest(out);
  WriteData(out);
  return std::make_shared<CMessageBuffer>(CMessageBuffer::AdoptFrame{}, std::move(frame));
}

bool CMessageCommonBase::Read(const CMessageBuffer& buffer) {
  CWireReader in(buffer.Body());
  int32_t id = 0;
  uint8_t kind = 0;
  if (!in.I32(id) || !in.U8(kind)) return false;
  if (id != m_messageId || kind != static_cast<uint8_t>(GetKind())) return false;
  return ReadHeaderRest(in) && ReadData(in);
}
