// Decoding of every incoming packet kind and the handler it reaches.
#include "log/Logger.h"
#include "protocol/CommandIds.h"
#include "protocol/JoinPayload.h"
#include "protocol/ReceiverProtocolHandler.h"

using namespace ReceiverCommand;

namespace {

Voxlet::StringBuffer BytesAsText(const uint8_t* bytes, size_t length) {
  Voxlet::StringBuffer text;
  text.reserve(length);
  for (size_t i = 0; i < length; ++i) text.push_back(static_cast<char16_t>(bytes[i]));
  return text;
}

uint32_t BigEndian32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
         p[3];
}

uint16_t BigEndian16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

}  // namespace

void CReceiverProtocolHandler::DispatchIncoming(const IncomingRecord& r) {
  if (!m_sink) return;
  IReceiverCommands& sink = *m_sink;
  const uint16_t a = r.address;
  const int32_t n = r.payloadLength;
  const uint8_t* p = r.payload.data();

  switch (r.command) {
    case kFwInfoQuery:
      if (n >= 5) {
        RemoveAckedCommand(kFwInfoQuery);
        sink.OnFirmwareInfo(p[0], p[1], p[2], BigEndian16(p + 3));
      }
      break;
    case kDeviceStatus:
      if (a != 0 && n >= 2) sink.OnClickerStatus(a, p[0] & 1, p[1]);
      if (a == 0 && n >= 1) sink.OnReceiverStatus(p[0]);
      break;
    case kTransmitPower:
      RemoveAckedCommand(kTransmitPower);
      if (n >= 1) sink.OnTransmitPower(a, p[0]);
      break;
    case kPanId:
      if (n == 0 || n >= 2) RemoveAckedCommand(kPanId);
      if (n >= 2) sink.OnPanId(a, BigEndian16(p));
      break;
    case kNetworkState:
      RemoveAckedCommand(kNetworkState);
      if (n == 0)
        ReplyNetworkState(a);
      else
        sink.OnNetworkState(p[0] != 0);
      break;
    case kClassName:
      RemoveAckedCommand(kClassName);
      if (n >= 1) sink.OnClassName(a, BytesAsText(p, n < 8 ? n : 8));
      break;
    case kLoginRequirement:
      RemoveAckedCommand(kLoginRequirement);
      if (n >= 1) sink.OnLoginRequirement(a, p[0] & 1, p[0] & 2, p[0] & 4);
      break;
    case kJoinLoginResponse:
      DispatchJoin(r);
      break;
    case kLoginGrant:
      if (n >= 1) {
        SendLoginGrantReply(a);
        sink.OnLoginGrant(a, BytesAsText(p + 1, static_cast<size_t>(n - 1)), p[0] & 1, p[0] & 2);
      }
      break;
    case kLoginOff:
      DispatchLoginOff(r);
      break;
    case kQuestionBatch:
      if (n == 0) RemoveAckedCommand(kQuestionBatch);
      break;
    case kAnswerUpload:
      if (n == 0)
        RemoveAckedCommand(kHandUp);
      else
        sink.OnAnswerUpload(a, p[0], std::vector<uint8_t>(p + 1, p + n));
      break;
    case kHandUp:
      if (n == 0)
        RemoveAckedCommand(kHandUp);
      else
        sink.OnHandUp(a, p[0] & 1);
      break;
    case kChannel:
      if (n >= 1) {
        RemoveAckedCommand(kChannel);
        sink.OnChannel(a, p[0] & 0x0F);
      }
      break;
    case kSessionEnd:
      if (n == 0) {
        RemoveAckedCommand(kSessionEnd);
        sink.OnSessionEndRemote(a);
      }
      break;
    case kSelectTeam:
      if (n >= 1) {
        RemoveAckedCommand(kSelectTeam);
        sink.OnSelectTeam(a, p[0]);
      }
      break;
    case kStartGame:
      if (n >= 1) sink.OnStartGame(a, p[0]);
      break;
    case kScanResults:
      DispatchScanResults(r);
      break;
    case kLoginGrantConfirm:
      if (n >= 1) {
        RemoveAckedCommand(kLoginGrantConfirm);
        sink.OnLoginGrantConfirm(a, p[0] & 1);
      }
      break;
    case kDeviceDisassociated:
      sink.OnDeviceDisassociated(a);
      break;
    case kPropertyQuery:
      DispatchPropertyQuery(r);
      break;
    case kBackgroundScan:
      RemoveAckedCommand(kBackgroundScan);
      break;
    case kEnhancedAnswerUpload:
      DispatchEnhancedAnswer(r);
      break;
    case kStudentResults:
      OV_LOG(kLogDiagnostic, "We are removing command %d since we have received the ACK. Short address: %d",
             kStudentResults, a);
      EraseAckWait(kStudentResults);
      RemoveAckedCommand(kStudentResults);
      break;
    case kProductCodeQuery:
      if (n >= 1) sink.OnProductCode(p[0]);
      break;
    case kReceiverPrintf:
      sink.OnReceiverPrintf(a, BytesAsText(p, static_cast<size_t>(n)));
      break;
    case kNack:
      DispatchNack(r);
      break;
    default:
      OV_LOG(kLogDiagnostic, "Unknown command 0x%x - %d bytes : %s", r.command, n,
             ReceiverFrame::HexDump(p, static_cast<size_t>(n)).c_str());
      break;
  }
}

void CReceiverProtocolHandler::DispatchJoin(const IncomingRecord& r) {
  const int32_t n = r.payloadLength;
  const uint8_t* p = r.payload.data();
  if (n == 8) {
    m_sink->OnJoinNoLoginRequired(r.address, BigEndian32(p), BigEndian32(p + 4));
  } else if (n >= 9) {
    m_sink->OnJoinLoginRequired(r.address, BigEndian32(p), BigEndian32(p + 4),
                                DecodeStudentId(p + 8, static_cast<size_t>(n - 9)), p[n - 1] & 1);
  }
}

void CReceiverProtocolHandler::DispatchLoginOff(const IncomingRecord& r) {
  // The answer is queued before the handler runs, so nothing the handler queues for this
  // clicker goes ahead of it; the handler runs without the send lock (it takes the session's
  // locks, which come before the send lock).
  {
    CCriticalSectionProtectScope guard(m_sendLock);
    m_ackWait.erase(kLoginOff);
    QueueBytes({static_cast<uint8_t>(r.address >> 8), static_cast<uint8_t>(r.address), kLoginOff | kAckFlag},
               Delivery::kReply);
  }
  m_sink->OnLoginOff(r.address);
}

void CReceiverProtocolHandler::DispatchPropertyQuery(const IncomingRecord& r) {
  const int32_t n = r.payloadLength;
  const uint8_t* p = r.payload.data();
  if (n < 1) return;
  RemoveAckedCommand(kPropertyQuery);
  const int32_t m = n - 1;
  if (p[0] == 0x00 && m >= 8) {
    m_sink->OnPropertyQueryMacAddr(BigEndian32(p + 1), BigEndian32(p + 5));
  } else if (p[0] == 0x80 && m >= 8) {
    OV_LOG(kLogDiagnostic, "Receiver Buffer Statistics: highwater=%d bytes, overflow=%d messages, unacked=%d messages",
           BigEndian16(p + 3), BigEndian16(p + 5), BigEndian16(p + 7));
  } else {
    OV_LOG(kLogDiagnostic, "Unhandled property query type=%d, len=%d", p[0], m);
  }
}

void CReceiverProtocolHandler::DispatchEnhancedAnswer(const IncomingRecord& r) {
  const int32_t n = r.payloadLength;
  const uint8_t* p = r.payload.data();
  if (n == 0) {
    RemoveAckedCommand(kHandUp);
    return;
  }
  // The header needs its three bytes (six on the first packet, which carries the question
  // number); a shorter payload has no data to hand on.
  const uint8_t packetNumber = n >= 3 ? p[2] : 0;
  const int32_t header = packetNumber == 0 ? 6 : 3;
  if (n < header) {
    OV_LOG(kLogDiagnostic, "%s - ENHANCED_ANSWER_UPLOAD packet too short: %d bytes", m_name.c_str(), n);
    return;
  }
  const uint8_t question = packetNumber == 0 ? p[3] : 0;
  m_sink->OnEnhancedAnswerUpload(r.address, p[0], p[1], packetNumber, question, p + header,
                                 static_cast<uint32_t>(n - header));
}

void CReceiverProtocolHandler::DispatchScanResults(const IncomingRecord& r) {
  const int32_t n = r.payloadLength;
  const uint8_t* p = r.payload.data();
  if (n < 4) return;
  RemoveAckedCommand(kScanResults);
  const uint16_t scanned = BigEndian16(p);
  const uint16_t pans = BigEndian16(p + 2);
  const size_t entries = static_cast<size_t>(n - 4) / 3;
  if (entries == 0) return;
  auto results = std::make_shared<std::vector<CChannelScanResults>>();
  results->reserve(entries);
  for (size_t j = 0; j < entries; ++j) {
    const uint8_t* e = p + 4 + 3 * j;
    results->emplace_back(BigEndian16(e), e[2]);
  }
  m_sink->OnScanResults(scanned, pans, results);
}

void CReceiverProtocolHandler::DispatchNack(const IncomingRecord& r) {
  const int32_t n = r.payloadLength;
  const uint8_t* p = r.payload.data();
  if (n >= 1 && p[0] == kProductCodeQuery) m_sink->OnProductCode(0);
  OV_LOG(kLogDiagnostic, "Command rejected: %x,%x,%s", r.address, kNack,
         ReceiverFrame::HexDump(p, static_cast<size_t>(n)).c_str());
  m_sink->OnCommandNacked(kNack);
}
