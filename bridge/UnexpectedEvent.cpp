#include "bridge/UnexpectedEvent.h"

#include "client/Strings.h"
#include "client/http/Client.h"

namespace Bridge {

namespace {

constexpr const char* kLineBreak = "\r\n";

void AppendHeaders(std::string& text, const Voxlet::Header::Collection& headers) {
  for (const auto& [name, value] : headers)
    text += Voxlet::UTF16to8(name) + ": " + Voxlet::UTF16to8(value) + kLineBreak;
}

// A software service that answers with megabytes must not put them all in one log line.
void AppendBody(std::string& text, const std::string& body) {
  if (body.size() <= kDumpedBodyLimit) {
    text += body;
    return;
  }
  size_t cut = kDumpedBodyLimit;
  while (cut > 0 && (static_cast<unsigned char>(body[cut]) & 0xC0) == 0x80) --cut;  // not inside a character
  text.append(body, 0, cut);
  text += "... (" + std::to_string(body.size()) + " bytes in all)";
}

}  // namespace

std::string UnexpectedEventText(const Voxlet::Message& message, int clientState) {
  const int state = message.State();
  if (state != Voxlet::RequestStates::NotSent && state != Voxlet::RequestStates::Complete) return {};
  using Voxlet::UTF16to8;
  std::string text = "Unexpected event communicating with Ovanta Software Service (client state: " +
                     UTF16to8(Voxlet::ClientStates::ToString(clientState)) + ")" + kLineBreak;
  text +=
      UTF16to8(Voxlet::Methods::ToString(message.Method())) + " " + UTF16to8(message.Path()) + " HTTP/1.1" + kLineBreak;
  AppendHeaders(text, message.Headers());
  text += kLineBreak;
  AppendBody(text, message.GetContent().Bytes());
  text += kLineBreak;
  if (state == Voxlet::RequestStates::NotSent) return text + "Failed to send request.";
  text += "HTTP/1.1 " + UTF16to8(Voxlet::FormatInteger(message.StatusCode())) + " " + UTF16to8(message.ReasonPhrase()) +
          kLineBreak;
  AppendHeaders(text, message.ReplyHeaders());
  text += kLineBreak;
  AppendBody(text, message.ReplyBody());
  return text + kLineBreak;
}

}  // namespace Bridge
