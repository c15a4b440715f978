#include "protocol/ReceiverProtocolHandler.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <optional>
#include <set>

#include "log/Logger.h"
#include "platform/Tick.h"
#include "protocol/CommandIds.h"

namespace {

// Bytes without a delimiter beyond this many cannot belong to any frame the receiver sends
// (the longest is under 300 bytes): they are dropped rather than kept without bound.
constexpr size_t kMaxUnframedBytes = 65536;

// A send tick must never collide with the two markers of CQueuedPacket::lastSendTime.
uint32_t SendTick(uint32_t now) {
  if (now == 0) return 1;
  if (now == CQueuedPacket::kSendOnce) return CQueuedPacket::kSendOnce - 1;
  return now;
}

}  // namespace

bool LogWanted(uint16_t flags) {
  auto logger = g_pLogger.Acquire();
  return logger && (logger->GetMask() & flags) != 0;
}

CReceiverProtocolHandler::CReceiverProtocolHandler(IReceiverCommands* sink, TickSource clock)
    : m_sink(sink),
      m_clock(clock ? std::move(clock) : TickSource(&Platform::TickMs)),
      m_ackWaitCommands{ReceiverCommand::kStudentResults, ReceiverCommand::kLoginOff} {
  Voxlet::StringBuffer name;
  if (m_sink) m_sink->GetName(name);
  m_name = Voxlet::UTF16to8(name);
}

CReceiverProtocolHandler::~CReceiverProtocolHandler() { Stop(); }

void CReceiverProtocolHandler::Stop() {
  m_stopEvent.Set();
  Join();
}

std::shared_ptr<CQueuedPacket> CReceiverProtocolHandler::MakePacket(int32_t length, const uint8_t* bytes,
                                                                    Delivery delivery) const {
  if (length < 0 || (length > 0 && !bytes)) return nullptr;
  const size_t n = static_cast<size_t>(length);
  if (LogWanted(kLogRawData))
    OV_LOG(kLogRawData, "Queue packet to send: %s. Packet length is: %i.", ReceiverFrame::HexDump(bytes, n).c_str(),
           length);
  if (n > ReceiverFrame::kMaxPacket) {
    OV_LOG(kLogDiagnostic, "%s - Packet refused: %u bytes, a receiver takes at most %u.", m_name.c_str(),
           static_cast<unsigned>(n), static_cast<unsigned>(ReceiverFrame::kMaxPacket));
    return nullptr;
  }
  const size_t run = ReceiverFrame::LongestRun(bytes, n);
  if (run > ReceiverFrame::kMaxRun) {
    OV_LOG(kLogDiagnostic, "%s - Packet refused: a run of %u non-zero bytes cannot be framed (at most %u).",
           m_name.c_str(), static_cast<unsigned>(run), static_cast<unsigned>(ReceiverFrame::kMaxRun));
    return nullptr;
  }
  auto packet = std::make_shared<CQueuedPacket>();
  packet->data = std::shared_ptr<uint8_t[]>(new uint8_t[n ? n : 1]);
  if (n) memcpy(packet->data.get(), bytes, n);
  packet->length = length;
  packet->lastSendTime = delivery == Delivery::kRetry ? 0 : CQueuedPacket::kSendOnce;
  packet->reply = delivery == Delivery::kReply;
  return packet;
}

bool CReceiverProtocolHandler::QueuePacket(int32_t length, const uint8_t* bytes, Delivery delivery) {
  const std::shared_ptr<CQueuedPacket> packet = MakePacket(length, bytes, delivery);
  if (!packet) return false;
  bool wake = false;
  {
    CCriticalSectionProtectScope guard(m_sendLock);
    if (!EnqueueLocked(packet, &wake)) return false;
  }
  if (wake) m_sendEvent.Set();
  return true;
}

bool CReceiverProtocolHandler::EnqueueLocked(const std::shared_ptr<CQueuedPacket>& packet, bool* wake) {
  if (m_closed) {
    if (LogWanted(kLogRawData))
      OV_LOG(kLogRawData, "%s - Not sent, the network was stopped for closing: %s.", m_name.c_str(),
             ReceiverFrame::HexDump(packet->data.get(), static_cast<size_t>(packet->length)).c_str());
    return false;
  }
  bool front = false;
  if (packet->reply) {
    front = InsertAheadOfPauses(packet);
  } else {
    m_sendQueue.push_back(packet);
    front = m_sendQueue.size() == 1;
  }
  // Woken for a new front (a reply may come ahead of a pause the I/O loop sleeps out), and
  // while the front is held by the acknowledgement wait, so that a packet that may pass it
  // goes out without waiting for the hold to end.
  uint32_t left = 0;
  *wake = front || HeldByAckWait(*m_sendQueue.front(), m_clock(), &left);
  return true;
}

bool CReceiverProtocolHandler::InsertAheadOfPauses(const std::shared_ptr<CQueuedPacket>& packet) {
  const auto pause = std::find_if(m_sendQueue.begin(), m_sendQueue.end(),
                                  [](const std::shared_ptr<CQueuedPacket>& queued) { return queued->pauseMs != 0; });
  const bool front = pause == m_sendQueue.begin();
  m_sendQueue.insert(pause, packet);
  return front;
}

void CReceiverProtocolHandler::QueuePause(uint32_t ms) {
  if (ms == 0) return;
  auto pause = std::make_shared<CQueuedPacket>();
  pause->pauseMs = ms;
  bool wake = false;
  {
    CCriticalSectionProtectScope guard(m_sendLock);
    if (m_closed) return;
    m_sendQueue.push_back(pause);
    wake = m_sendQueue.size() == 1;
  }
  if (wake) m_sendEvent.Set();
}

bool CReceiverProtocolHandler::HeldByAckWait(const CQueuedPacket& packet, uint32_t now, uint32_t* waitLeft) const {
  if (packet.length < 3 || packet.lastSendTime != CQueuedPacket::kSendOnce) return false;
  const uint8_t cmd = packet.data[2];
  const uint8_t addr = packet.data[1];
  if (addr == 0 || !m_ackWaitCommands.count(cmd)) return false;
  const auto it = m_ackWait.find(cmd);
  if (it == m_ackWait.end()) return false;
  const uint32_t waited = now - it->second;
  if (waited > kAckWaitMs) return false;
  *waitLeft = kAckWaitMs + 1 - waited;
  return true;
}

void CReceiverProtocolHandler::EraseAckWait(uint8_t command) {
  CCriticalSectionProtectScope guard(m_sendLock);
  m_ackWait.erase(command);
}

int CReceiverProtocolHandler::SendNextPacket() {
  CCriticalSectionProtectScope guard(m_sendLock);
  return SendNextPacketLocked();
}

int CReceiverProtocolHandler::SendNextPacketLocked() {
  if (m_sendQueue.empty()) return 0;
  std::shared_ptr<CQueuedPacket> packet = m_sendQueue.front();
  const uint32_t now = m_clock();
  if (packet->pauseMs != 0) {
    if (packet->lastSendTime == 0) {
      packet->lastSendTime = SendTick(now);  // the pause starts now
    } else if (now - packet->lastSendTime >= packet->pauseMs) {
      m_sendQueue.pop_front();
      if (!m_sendQueue.empty()) m_sendEvent.Set();  // what waited behind it goes now
    }
    return 0;
  }
  const uint8_t* bytes = packet->data.get();
  uint8_t cmd = 0;
  uint8_t addr = 0;
  if (packet->length >= 3) {
    cmd = bytes[2];
    addr = bytes[1];
  }

  if (addr != 0 && m_ackWaitCommands.count(cmd)) {
    const auto it = m_ackWait.find(cmd);
    if (it == m_ackWait.end()) {
      m_ackWait[cmd] = now;
      OV_LOG(kLogDiagnostic, "We are adding command %d to the map of waiting for short address %d. Send count: %d", cmd,
             addr, packet->sendCount);
    } else if (now - it->second > kAckWaitMs) {
      OV_LOG(kLogPacket, "We've waited awhile for an ACK from command %x. Move on to the next command", cmd);
      m_ackWait.erase(it);
    } else if (packet->lastSendTime == CQueuedPacket::kSendOnce) {
      OV_LOG(kLogDiagnostic, "We are pushing the %d command to the end for short address %d. Send count: %d", cmd, addr,
             packet->sendCount);
      m_sendQueue.pop_front();
      if (packet->reply)
        InsertAheadOfPauses(packet);
      else
        m_sendQueue.push_back(packet);
      return 0;
    }
  }

  if (packet->lastSendTime == 0) {
    packet->lastSendTime = SendTick(now);
    ++packet->sendCount;
  } else if (packet->lastSendTime == CQueuedPacket::kSendOnce) {
    m_sendQueue.pop_front();
  } else {
    if (now - packet->lastSendTime <= kRetryIntervalMs) return 0;
    if (packet->sendCount >= kMaxSendCount) {
      OV_LOG(kLogDiagnostic, "Giving up on trying to send packet.");
      m_sendQueue.pop_front();
      return -1;
    }
    packet->lastSendTime = SendTick(now);
    ++packet->sendCount;
  }

  const size_t n = static_cast<size_t>(packet->length);
  if (cmd != 0x81 && packet->sendCount >= 2)
    OV_LOG(kLogDiagnostic, "Attempt %d to send packet with command id 0x%x.", packet->sendCount, cmd);
  if (LogWanted(kLogRawData)) OV_LOG(kLogRawData, "sending: %s.", ReceiverFrame::HexDump(bytes, n).c_str());
  m_frameScratch.resize(n + 3);
  const size_t frameLength = ReceiverFrame::Encode(bytes, n, m_frameScratch.data());
  if (frameLength && m_sink) m_sink->SendBytes(m_frameScratch.data(), static_cast<uint32_t>(frameLength));
  return 1;
}

uint32_t CReceiverProtocolHandler::GetNextSendDelay() {
  CCriticalSectionProtectScope guard(m_sendLock);
  if (m_sendQueue.empty()) return kWaitForever;
  const uint32_t now = m_clock();
  const CQueuedPacket& front = *m_sendQueue.front();
  if (front.pauseMs != 0) {
    if (front.lastSendTime == 0) return 0;
    const uint32_t elapsed = now - front.lastSendTime;
    return elapsed >= front.pauseMs ? 0 : front.pauseMs - elapsed;
  }
  uint32_t shortest = 0;
  if (HeldByAckWait(front, now, &shortest)) {
    // Held packets go to the back one step at a time: any packet that is not held is
    // reached at once; when every packet is held, sleep until the first hold ends.
    for (const auto& packet : m_sendQueue) {
      if (front.reply && packet->pauseMs != 0) break;  // a held reply only moves ahead of the pauses
      uint32_t left = 0;
      if (!HeldByAckWait(*packet, now, &left)) return 0;
      shortest = std::min(shortest, left);
    }
    return shortest;
  }
  if (front.lastSendTime == 0 || front.lastSendTime == CQueuedPacket::kSendOnce) return 0;
  // A resend is due once more than kRetryIntervalMs have passed.
  const uint32_t elapsed = now - front.lastSendTime;
  return elapsed > kRetryIntervalMs ? 0 : kRetryIntervalMs + 1 - elapsed;
}

bool CReceiverProtocolHandler::RemoveAckedCommand(uint8_t command) {
  CCriticalSectionProtectScope guard(m_sendLock);
  if (m_sendQueue.empty()) return false;
  const CQueuedPacket& front = *m_sendQueue.front();
  if (front.sendCount < 1 || front.length < 3 || front.data[2] != command) return false;
  m_sendQueue.pop_front();
  // The I/O loop may be sleeping out the acknowledged packet's resend interval: what waited
  // behind it goes now, not when that interval ends.
  if (!m_sendQueue.empty()) m_sendEvent.Set();
  return true;
}

size_t CReceiverProtocolHandler::SendQueueSize() {
  CCriticalSectionProtectScope guard(m_sendLock);
  return m_sendQueue.size();
}

void CReceiverProtocolHandler::ClearSendQueue() {
  CCriticalSectionProtectScope guard(m_sendLock);
  m_sendQueue.clear();
  m_ackWait.clear();
}

void CReceiverProtocolHandler::SendClosingNetworkStop() {
  const std::array<uint8_t, 4> stop = NetworkStatePacket(NetworkState::kStop);
  const std::shared_ptr<CQueuedPacket> packet =
      MakePacket(static_cast<int32_t>(stop.size()), stop.data(), Delivery::kRetry);
  // One hold of the send lock: no packet another thread queues (a reply of the dispatcher, a
  // diagnostic command) can come between the cleared queue and the stop, nor after it.
  CCriticalSectionProtectScope guard(m_sendLock);
  m_sendQueue.clear();
  m_ackWait.clear();
  bool wake = false;  // no need: it goes out now
  EnqueueLocked(packet, &wake);
  m_closed = true;
  SendNextPacketLocked();
  m_sendQueue.clear();  // nothing sends again: it is not waiting for its answer
}

void CReceiverProtocolHandler::AddReceivedBytes(const uint8_t* bytes, size_t count) {
  if (!bytes || count == 0) return;
  size_t pos = 0;
  if (!m_receive.empty()) {
    const void* zero = memchr(bytes, 0, count);
    const size_t take = zero ? static_cast<size_t>(static_cast<const uint8_t*>(zero) - bytes) + 1 : count;
    m_receive.insert(m_receive.end(), bytes, bytes + take);
    pos = take;
    if (zero) {
      TakeFrame(m_receive.data(), m_receive.size());
      m_receive.clear();
    }
  }
  // Whole frames are decoded straight from the caller's bytes; only a trailing partial frame
  // is kept.
  while (pos < count) {
    const void* zero = memchr(bytes + pos, 0, count - pos);
    if (!zero) {
      m_receive.insert(m_receive.end(), bytes + pos, bytes + count);
      break;
    }
    const size_t end = static_cast<size_t>(static_cast<const uint8_t*>(zero) - bytes);
    TakeFrame(bytes + pos, end - pos + 1);
    pos = end + 1;
  }
  if (m_receive.size() > kMaxUnframedBytes) {
    OV_LOG(kLogDiagnostic, "%s - Discarding %u received bytes that never reached a frame delimiter.", m_name.c_str(),
           static_cast<unsigned>(m_receive.size()));
    m_receive.clear();
  }
}

void CReceiverProtocolHandler::TakeFrame(const uint8_t* frame, size_t length) {
  if (length < 3) {
    OV_LOG(kLogDiagnostic, "%s - Packet too short, len=%d, data=%s.", m_name.c_str(), static_cast<int>(length),
           ReceiverFrame::HexDump(frame, length).c_str());
    HandleDecoded(frame, 0);
    return;
  }
  if (m_decodeScratch.size() < length) m_decodeScratch.resize(length);
  uint8_t* out = m_decodeScratch.data();
  const ReceiverFrame::Decoded d = ReceiverFrame::Decode(frame, length, out);
  if (d.result == ReceiverFrame::DecodeResult::kBadChecksum) {
    // A frame too short to hold an address and an id has no id of its own: 0 is written.
    const unsigned id = length >= 6 ? out[2] : 0;
    OV_LOG(kLogDiagnostic, "%s - Bad checksum on packet (id:0x%x, cs:0x%x, len:0x%x, calc cs:0x%x, data:%s).",
           m_name.c_str(), id, d.received, static_cast<unsigned>(length), d.computed,
           ReceiverFrame::HexDump(out, length - 1).c_str());
  }
  HandleDecoded(out, static_cast<int32_t>(d.length));
}

void CReceiverProtocolHandler::HandleDecoded(const uint8_t* packet, int32_t length) {
  if (length < 3) {
    OV_LOG(kLogDiagnostic, "%s - Bad packet, too short len=%d, data=%s.", m_name.c_str(), length,
           ReceiverFrame::HexDump(packet, static_cast<size_t>(length)).c_str());
    return;
  }
  const int32_t payloadLength = length - 3;
  if (payloadLength > static_cast<int32_t>(ReceiverFrame::kMaxPayload)) {
    OV_LOG(kLogDiagnostic, "%s - Packet too long, len=%d, payload limit %u; dropped.", m_name.c_str(), length,
           static_cast<unsigned>(ReceiverFrame::kMaxPayload));
    return;
  }
  if (m_sink) m_sink->LogReceived(packet, static_cast<uint32_t>(length));
  const uint8_t cmd = packet[2];
  const uint16_t address = static_cast<uint16_t>(packet[0] << 8 | packet[1]);
  {
    // Only this thread adds records, so a queue found not full stays so until the add below.
    CCriticalSectionProtectScope guard(m_incomingLock);
    if (address != 0) {
      if (m_incoming.size() >= kMaxIncoming) {
        // Not acknowledged, so not lost: a clicker sends a packet again until it is answered.
        if (!m_incomingFull)
          OV_LOG(kLogDiagnostic,
                 "%s - Incoming queue full (%u packets); packets are left unanswered until it drains (first: "
                 "address %u, command 0x%x).",
                 m_name.c_str(), static_cast<unsigned>(kMaxIncoming), address, cmd);
        m_incomingFull = true;
        return;
      }
      m_incomingFull = false;
    } else {
      // The receiver never sends its own reports again: they pass the clickers' bound.
      if (m_incoming.size() >= kMaxIncomingReports) {
        if (!m_reportsFull)
          OV_LOG(kLogDiagnostic,
                 "%s - Incoming queue full (%u packets); the receiver's own reports are dropped until it drains "
                 "(first: command 0x%x).",
                 m_name.c_str(), static_cast<unsigned>(kMaxIncomingReports), cmd);
        m_reportsFull = true;
        return;
      }
      m_reportsFull = false;
    }
  }
  if (address != 0 && cmd != ReceiverCommand::kNack) AcknowledgeClicker(cmd);

  bool first = false;
  {
    CCriticalSectionProtectScope guard(m_incomingLock);
    IncomingRecord& record = m_incoming.emplace_back();
    record.command = cmd;
    record.address = address;
    record.payloadLength = payloadLength;
    memcpy(record.payload.data(), packet + 3, static_cast<size_t>(payloadLength));
    first = m_incoming.size() == 1;
    ++m_queued;
  }
  if (first) m_incomingEvent.Set();
}

void CReceiverProtocolHandler::AcknowledgeClicker(uint8_t cmd) {
  const uint8_t ack[3] = {0x00, 0x00, static_cast<uint8_t>(cmd | ReceiverCommand::kAckFlag)};
  QueuePacket(3, ack, Delivery::kReply);
  SendNextPacket();
}

std::deque<IncomingRecord> CReceiverProtocolHandler::TakeIncoming() {
  std::deque<IncomingRecord> records;
  CCriticalSectionProtectScope guard(m_incomingLock);
  records.swap(m_incoming);
  return records;
}

namespace {

// An answer that may be handed over ahead of the records before it: none of them is its
// clicker's. The first such answer, or end.
std::deque<IncomingRecord>::iterator AnswerFreeToGo(std::deque<IncomingRecord>& records) {
  std::set<uint16_t> ahead;
  for (auto it = records.begin(); it != records.end(); ++it) {
    const bool answer =
        it->command == ReceiverCommand::kAnswerUpload || it->command == ReceiverCommand::kEnhancedAnswerUpload;
    if (answer && !ahead.count(it->address)) return it;
    ahead.insert(it->address);
  }
  return records.end();
}

}  // namespace

unsigned CReceiverProtocolHandler::Run() {
  // The dispatcher has nothing to do on a time-out, so it waits for its two events only.
  const Platform::WaitHandle handles[] = {Platform::WaitHandle::Of(m_stopEvent),
                                          Platform::WaitHandle::Of(m_incomingEvent)};
  // Every record was acknowledged to its clicker when it came in: on the way out, those still
  // queued are handed over too (without the joins' pauses), so that no acknowledged answer is
  // dropped by a close.
  const auto handOver = [this](const IncomingRecord& record) {
    DispatchIncoming(record);
    {
      std::lock_guard<std::mutex> guard(m_dispatchLock);
      ++m_dispatched;
    }
    m_dispatchProgress.notify_all();
  };
  // The records taken from the incoming queue and not handed over yet, in arrival order.
  std::deque<IncomingRecord> pending;
  const auto take = [&] {
    for (IncomingRecord& record : TakeIncoming()) pending.push_back(std::move(record));
  };
  using Clock = std::chrono::steady_clock;
  std::optional<Clock::time_point> pauseEnd;  // a join's pause runs until then
  bool stopping = false;
  while (!stopping) {
    if (pending.empty()) {
      stopping = Platform::WaitForAny(handles, -1) != 1;
      take();
      continue;
    }
    if (pauseEnd) {
      // Joins come in bursts (every clicker after a restart); the pause after each gives the
      // join's answers room on the link. An answer of a clicker with nothing of its own before
      // it goes meanwhile: until it is handed over, its record is not kept anywhere, and a
      // burst of joins would otherwise hold it for seconds.
      if (const auto answer = AnswerFreeToGo(pending); answer != pending.end()) {
        const IncomingRecord record = std::move(*answer);
        pending.erase(answer);
        handOver(record);
        continue;
      }
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(*pauseEnd - Clock::now()).count();
      if (left > 0) {
        const int woken = Platform::WaitForAny(handles, static_cast<int>(left));
        if (woken == 1) take();
        stopping = woken == 0 || woken == Platform::kWaitFailed;
        continue;
      }
      pauseEnd.reset();
    }
    const IncomingRecord record = std::move(pending.front());
    pending.pop_front();
    handOver(record);
    if (record.command == ReceiverCommand::kJoinLoginResponse)
      pauseEnd = Clock::now() + std::chrono::milliseconds(kJoinPauseMs);
  }
  for (const IncomingRecord& record : pending) handOver(record);
  for (const IncomingRecord& record : TakeIncoming()) handOver(record);
  {
    std::lock_guard<std::mutex> guard(m_dispatchLock);
    m_dispatcherEnded = true;
  }
  m_dispatchProgress.notify_all();
  return 0;
}

bool CReceiverProtocolHandler::WaitUntilDispatched(uint32_t timeoutMs) {
  uint64_t target = 0;
  {
    CCriticalSectionProtectScope guard(m_incomingLock);
    target = m_queued;
  }
  std::unique_lock<std::mutex> lock(m_dispatchLock);
  return m_dispatchProgress.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                     [&] { return m_dispatched >= target || m_dispatcherEnded; });
}
