// Feeds arbitrary bytes to an SDK connection's frame reader as if a peer sent them, cut into
// receives of the sizes a socket hands over, and decodes every frame it completes as both
// ends of the SDK do: the service's request handlers (pings, command texts, log flags,
// log file name, log reset) and the SDK client's (receiver lists, log changes, responses).
//
// The input: one byte that picks the receive sizes, then the peer's bytes. Besides the
// sanitizers, checks that every message read writes out to bytes that read back to the same
// message (its writing is the reading's inverse).
#include <sys/socket.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/SocketExceptions.h"
#include "sdk/MessagingSocket.h"
#include "sdk/SdkMessages.h"
#include "sdk/server/OVSDKServerImpl.h"

namespace {

// A connection whose receives come from the fuzz input; the socket under it is one end of a
// socket pair, only there so that the connection can make its event.
class FeedSocket : public CThreadedSocket {
 public:
  FeedSocket(int fd, std::span<const uint8_t> bytes, size_t receiveSize)
      : CThreadedSocket(fd), m_bytes(bytes), m_receiveSize(receiveSize) {}
  ssize_t Receive(void* buffer, size_t length) override {
    const size_t n = std::min({length, m_receiveSize, m_bytes.size()});
    std::memcpy(buffer, m_bytes.data(), n);
    m_bytes = m_bytes.subspan(n);
    return static_cast<ssize_t>(n);  // 0 once all is read: the peer closed
  }

 private:
  std::span<const uint8_t> m_bytes;
  size_t m_receiveSize;
};

// The receiver manager, doing nothing but reading what it is given.
class FuzzEvents : public ISDKServerEvents {
 public:
  size_t seen = 0;
  int GetReceiverCount() override { return 0; }
  int GetReceiverStatus(int, ReceiverStatusW*) override { return 0; }
  void OnSendCommand(int receiverNumber, const std::string& command) override {
    seen += static_cast<size_t>(receiverNumber) + command.size();
  }
  void GetLogFileName(std::string& path) override { path = "/var/log/ovanta/ovanta.log"; }
  void SetLogFlags(uint16_t flags) override { seen += flags; }
  uint16_t GetLogFlags() override { return 0x7; }
  void FlushLog() override { ++seen; }
};

// Reads the body as the message; when it reads, writes it and reads that back.
template <class M, class... Args>
void RoundTrip(const CMessageBuffer& frame, Args... args) {
  M message(args...);
  if (!message.Read(frame)) return;
  const std::shared_ptr<CMessageBuffer> written = message.Write();
  if (written->Length() != message.GetSize()) abort();
  M again(args...);
  if (!again.Read(*written)) abort();
  const std::shared_ptr<CMessageBuffer> rewritten = again.Write();
  if (!std::ranges::equal(written->Frame(), rewritten->Frame())) abort();
}

void Decode(const CMessageBuffer& frame, COVSDKServerImpl& service) {
  service.HandleRequest(frame);

  const int32_t id = MessageHeader::PeekMessageId(frame.Body());
  MessageHeader::PeekResponseCorrelationId(frame.Body());
  RoundTrip<CRegistrationMessage>(frame);
  RoundTrip<CStatusMessage>(frame);
  RoundTrip<CEmptyMessage>(frame, id);
  RoundTrip<CVariableIntMessage>(frame, id, size_t{1});
  RoundTrip<CVariableDataAsyncMessage>(frame, id);
  RoundTrip<CEmptyRequestMessage>(frame, id, SdkMessage::kPingAnswer);
  RoundTrip<CEmptyResponseMessage>(frame, id, 0u);
  RoundTrip<CStringResponseMessage>(frame, id, 0u, std::u16string());
  RoundTrip<CVariableDataResponseMessage>(frame, id, 0u);

  // What the SDK client takes out of a log flags answer and the service out of a command.
  CVariableDataResponseMessage answer(id, 0);
  if (answer.Read(frame)) {
    int32_t flags = 0;
    answer.Data().Extract({CVariableData::Out::I32(&flags)});
    int32_t number = 0;
    std::u16string text;
    answer.Data().Extract({CVariableData::Out::I32(&number), CVariableData::Out::WideString(&text)});
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static constexpr size_t kReceiveSizes[] = {1, 3, 4, 9, 64, 1500, 65536};
  const size_t receiveSize = kReceiveSizes[data[0] % std::size(kReceiveSizes)];
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) abort();
  close(fds[1]);

  static FuzzEvents events;
  static COVSDKServerImpl service(&events);  // never started: requests are handed to it
  CMessagingSocket connection(std::make_unique<FeedSocket>(fds[0], std::span(data + 1, size - 1), receiveSize));
  static std::vector<uint8_t> scratch(65536);
  std::vector<MessageBufferPtr> frames;
  try {
    for (;;) {
      connection.ProcessIncoming(scratch, frames);
      for (const MessageBufferPtr& frame : frames) Decode(*frame, service);
      frames.clear();
    }
  } catch (const CExceptionBase&) {
    // The peer closed (every byte was read) or broke a limit of the connection.
  }
  for (const MessageBufferPtr& frame : frames) Decode(*frame, service);
  return 0;
}
