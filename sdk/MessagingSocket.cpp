#include "sdk/MessagingSocket.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <utility>

#include "platform/SocketExceptions.h"

namespace {

bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

}  // namespace

CMessagingSocket::CMessagingSocket(std::unique_ptr<CThreadedSocket> socket) : m_socket(std::move(socket)) {
  m_socket->CreateEvent();
}

CMessagingSocket::~CMessagingSocket() = default;

void CMessagingSocket::SetConnectedObject(const std::shared_ptr<CConnectedObjectBase>& object) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_object = object;
}

std::shared_ptr<CConnectedObjectBase> CMessagingSocket::ConnectedObject() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_object.lock();
}

bool CMessagingSocket::SendMessage(const MessageIntf& message) { return SendBuffer(message.Write()); }

bool CMessagingSocket::SendBuffer(MessageBufferPtr buffer) {
  if (buffer->Length() > kMaxFrameLength) return false;
  COutgoingMessageQueueIntf* io = nullptr;
  bool queued = false;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_closed || !m_io || m_queueOverflowed) return false;
    const size_t size = buffer->Frame().size();
    if (m_queuedBytes + size > kMaxQueuedBytes) {
      // Let go of what waits now; the I/O thread drops the connection at its next turn.
      m_queueOverflowed = true;
      m_sendQueue.clear();
      m_queuedBytes = 0;
    } else {
      m_sendQueue.push_back(std::move(buffer));
      m_queuedBytes += size;
      queued = true;
    }
    io = m_io;
  }
  // Outside the connection's lock: the I/O thread takes its own lock first, then this one.
  io->NotifySend(shared_from_this());
  return queued;
}

std::optional<COutgoingMessageQueueIntf*> CMessagingSocket::MarkClosed() {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_closed) return std::nullopt;
  m_closed = true;
  m_sendQueue.clear();
  m_queuedBytes = 0;
  // Join sets it only while the connection is open, so null here means it never joined.
  return std::exchange(m_io, nullptr);
}

void CMessagingSocket::Close() {
  // The first to mark the connection closed decides who closes the descriptor: the I/O thread
  // when the connection joined it (also when it is dropping the connection just now, as it
  // then marked it first), else this thread.
  const auto io = MarkClosed();
  if (!io) return;
  if (*io)
    (*io)->RemoveConnection(shared_from_this());
  else
    m_socket->Close();
}

size_t CMessagingSocket::QueuedBytes() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_queuedBytes;
}

std::string CMessagingSocket::DropReason() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_dropReason;
}

void CMessagingSocket::DropPeer(int code, std::string reason) {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_dropReason = reason;
  }
  throw CSocketLibException(code, std::move(reason));
}

void CMessagingSocket::FramePosted(const CMessageBuffer& frame) { m_unhandledBytes.fetch_add(frame.Frame().size()); }

void CMessagingSocket::FrameHandled(const CMessageBuffer& frame) {
  const size_t size = frame.Frame().size();
  const size_t before = m_unhandledBytes.fetch_sub(size);
  if (before < kMaxUnhandledBytes || before - size >= kMaxUnhandledBytes) return;
  COutgoingMessageQueueIntf* io;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    io = m_io;
  }
  if (io) io->ResumeReading();
}

bool CMessagingSocket::IsClosed() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_closed;
}

bool CMessagingSocket::Join(COutgoingMessageQueueIntf* io) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_closed) return false;
  m_io = io;
  return true;
}

void CMessagingSocket::CloseSocket() {
  MarkClosed();
  m_socket->Close();
}

bool CMessagingSocket::WaitFor(short events, int timeoutMs, const CWaitEvent* abort) {
  Platform::WaitHandle handles[2] = {Platform::WaitHandle::Descriptor(m_socket->Handle(), events)};
  size_t count = 1;
  if (abort) handles[count++] = Platform::WaitHandle::Of(*abort);
  return Platform::WaitForAny({handles, count}, timeoutMs) == 0;
}

namespace {

// Calls `move` (one receive or send of the rest from `done` on) until `length` bytes have
// moved or the socket would block; an error is logged with `failure` (its number for %d).
template <class Move>
CMessagingSocket::Transfer MoveAvailable(Move move, size_t length, size_t& done, const char* failure) {
  using Transfer = CMessagingSocket::Transfer;
  while (done < length) {
    const ssize_t n = move(done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n == 0) return Transfer::kFailed;  // closed by the peer
    if (WouldBlock(errno)) return Transfer::kWouldBlock;
    DiagnosticLog(failure, errno);
    return Transfer::kFailed;
  }
  return Transfer::kDone;
}

}  // namespace

CMessagingSocket::Transfer CMessagingSocket::ReadAvailable(std::span<uint8_t> buffer, size_t& done) {
  return MoveAvailable([&](size_t at) { return m_socket->Receive(buffer.data() + at, buffer.size() - at); },
                       buffer.size(), done,
                       "CMessagingSocket::ReadFully: Error reading from socket, WSA last error = %d.");
}

CMessagingSocket::Transfer CMessagingSocket::WriteAvailable(std::span<const uint8_t> buffer, size_t& done) {
  return MoveAvailable([&](size_t at) { return m_socket->Send(buffer.data() + at, buffer.size() - at); }, buffer.size(),
                       done, "CMessagingSocket::WriteFully: Error writting to socket, WSA last error = %d.");
}

template <class Step>
bool CMessagingSocket::MoveFully(Step step, short events, int timeoutMs, const CWaitEvent* abort) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (size_t done = 0;;) {
    const Transfer result = step(done);
    if (result != Transfer::kWouldBlock) return result == Transfer::kDone;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0 || !WaitFor(events, static_cast<int>(left), abort)) return false;
  }
}

bool CMessagingSocket::ReadFully(void* buffer, size_t length, int timeoutMs, const CWaitEvent* abort) {
  const std::span<uint8_t> bytes(static_cast<uint8_t*>(buffer), length);
  return MoveFully([&](size_t& done) { return ReadAvailable(bytes, done); }, POLLIN | POLLRDHUP, timeoutMs, abort);
}

bool CMessagingSocket::WriteFully(const void* buffer, size_t length, int timeoutMs, const CWaitEvent* abort) {
  const std::span<const uint8_t> bytes(static_cast<const uint8_t*>(buffer), length);
  return MoveFully([&](size_t& done) { return WriteAvailable(bytes, done); }, POLLOUT, timeoutMs, abort);
}

void CMessagingSocket::AppendBody(std::span<const uint8_t> data) {
  const size_t needed = m_frame.size() + data.size();
  // Grows by doubling, so that a frame arriving in many pieces is not copied for each, but
  // never beyond the frame's length nor more than twice what has arrived.
  if (needed > m_frame.capacity()) m_frame.reserve(std::min(m_frameLength, std::max(needed, 2 * m_frame.capacity())));
  m_frame.insert(m_frame.end(), data.begin(), data.end());
}

void CMessagingSocket::ProcessIncoming(std::span<uint8_t> scratch, std::vector<MessageBufferPtr>& frames) {
  const ssize_t n = m_socket->Receive(scratch.data(), scratch.size());
  if (n == 0) throw CSocketLibException(0, "connection closed by the peer");
  if (n < 0) {
    if (WouldBlock(errno)) return;
    throw CSystemException(errno);
  }
  std::span<const uint8_t> data = scratch.first(static_cast<size_t>(n));
  while (!data.empty()) {
    if (!m_inBody) {
      const size_t take = std::min(data.size(), sizeof m_prefix - m_prefixFill);
      std::memcpy(m_prefix + m_prefixFill, data.data(), take);
      m_prefixFill += take;
      data = data.subspan(take);
      if (m_prefixFill < sizeof m_prefix) break;
      m_prefixFill = 0;
      const uint32_t length = Wire::GetU32(m_prefix);
      if (length > kMaxFrameLength)
        DropPeer(EMSGSIZE, "frame of " + std::to_string(length) + " bytes refused: the limit is " +
                               std::to_string(kMaxFrameLength) + " bytes");
      m_inBody = true;
      m_frameLength = CMessageBuffer::kPrefixSize + length;
      m_frame.clear();
      m_frame.reserve(CMessageBuffer::kPrefixSize);
      m_frame.resize(CMessageBuffer::kPrefixSize);  // room for the prefix
    }
    const size_t take = std::min(data.size(), m_frameLength - m_frame.size());
    AppendBody(data.first(take));
    data = data.subspan(take);
    if (m_frame.size() == m_frameLength) {
      frames.push_back(std::make_shared<CMessageBuffer>(CMessageBuffer::AdoptFrame{}, std::move(m_frame)));
      m_frame = {};
      m_inBody = false;
    }
  }
  // In this order: whoever sees the bytes counted sees what they left the reader holding.
  m_readCapacity.store(m_frame.capacity());
  m_bytesReceived.fetch_add(static_cast<uint64_t>(n));
}

void CMessagingSocket::ProcessOutgoing() {
  for (;;) {
    if (!m_writing) {
      std::lock_guard<std::mutex> guard(m_lock);
      if (m_queueOverflowed) break;
      if (m_sendQueue.empty()) return;
      m_writing = std::move(m_sendQueue.front());
      m_sendQueue.pop_front();
      m_queuedBytes -= m_writing->Frame().size();
      m_written = 0;
    }
    const std::span<const uint8_t> frame = m_writing->Frame();
    const size_t chunk = std::min(frame.size() - m_written, kMaxSendChunk);
    const ssize_t n = m_socket->Send(frame.data() + m_written, chunk);
    if (n == 0) throw CSocketLibException(0, "connection closed while sending");
    if (n < 0) {
      if (WouldBlock(errno)) break;  // the rest goes at the next writable report
      throw CSystemException(errno);
    }
    m_written += static_cast<size_t>(n);
    if (m_written == frame.size()) m_writing.reset();
  }
  bool overflowed;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    overflowed = m_queueOverflowed;
  }
  if (overflowed)
    DropPeer(ENOBUFS,
             "the peer does not read: more than " + std::to_string(kMaxQueuedBytes) + " bytes wait to be sent");
}
