#include "tests/replay/Transcript.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "protocol/CommandIds.h"

namespace Replay {

namespace {

using namespace ReceiverCommand;

const char* CommandName(uint8_t command) {
  static const std::map<uint8_t, const char*> kNames = {{kFwInfoQuery, "FW_INFO"},
                                                        {kDeviceStatus, "DEVICE_STATUS"},
                                                        {kTransmitPower, "TRANSMIT_POWER"},
                                                        {kPanId, "PAN_ID"},
                                                        {kNetworkState, "NETWORK_STATE"},
                                                        {kClassName, "CLASS_NAME"},
                                                        {kLoginRequirement, "LOGIN_REQUIREMENT"},
                                                        {kJoinLoginResponse, "JOIN_LOGIN"},
                                                        {kLoginGrant, "LOGIN_GRANT"},
                                                        {kLoginOff, "LOGIN_OFF"},
                                                        {kQuestionBatch, "QUESTION_BATCH"},
                                                        {kAnswerUpload, "ANSWER_UPLOAD"},
                                                        {kHandUp, "HAND_UP"},
                                                        {kChannel, "CHANNEL"},
                                                        {kSessionEnd, "SESSION_END"},
                                                        {kSelectTeam, "SELECT_TEAM"},
                                                        {kStartGame, "START_GAME"},
                                                        {kScanResults, "SCAN_RESULTS"},
                                                        {kLoginGrantConfirm, "LOGIN_GRANT_CONFIRM"},
                                                        {kDeviceDisassociated, "DEVICE_DISASSOCIATED"},
                                                        {kPropertyQuery, "PROPERTY_QUERY"},
                                                        {kBackgroundScan, "BACKGROUND_SCAN"},
                                                        {kEnhancedAnswerUpload, "ENHANCED_ANSWER"},
                                                        {kBroadcastData, "BROADCAST_DATA"},
                                                        {kStudentResults, "STUDENT_RESULTS"},
                                                        {kProductCodeQuery, "PRODUCT_CODE"},
                                                        {kReceiverPrintf, "PRINTF"},
                                                        {kNack, "NACK"}};
  const auto it = kNames.find(command);
  return it == kNames.end() ? nullptr : it->second;
}

std::string AddressName(uint16_t address) {
  if (address == 0) return "receiver";
  if (address == kAddressAllClickers) return "all";
  char text[16];
  if (address >= 0x0100 && address < 0x0200)
    std::snprintf(text, sizeof text, "clicker-%d", address - 0x0100);
  else
    std::snprintf(text, sizeof text, "%04x", address);
  return text;
}

std::string Field(const std::map<std::string, std::string>& fields, const std::string& name) {
  const auto it = fields.find(name);
  return it == fields.end() ? std::string() : it->second;
}

// The text of the first element named `name` (any prefix) in a small XML body.
std::string ElementText(const std::string& xml, const std::string& name) {
  for (size_t at = xml.find(name); at != std::string::npos; at = xml.find(name, at + 1)) {
    const bool startsName = at > 0 && (xml[at - 1] == '<' || xml[at - 1] == ':');
    const size_t close = at + name.size();
    if (!startsName || close >= xml.size() || (xml[close] != '>' && xml[close] != ' ')) continue;
    size_t open = xml.rfind('<', at);
    if (open == std::string::npos || xml[open + 1] == '/') continue;
    const size_t start = xml.find('>', close);
    const size_t end = xml.find('<', start);
    if (start == std::string::npos || end == std::string::npos) return {};
    return xml.substr(start + 1, end - start - 1);
  }
  return {};
}

// The value of attribute `name` (any prefix) in a small XML body.
std::string AttributeValue(const std::string& xml, const std::string& name) {
  for (size_t at = xml.find(name + "=\""); at != std::string::npos; at = xml.find(name + "=\"", at + 1)) {
    if (at > 0 && xml[at - 1] != ' ' && xml[at - 1] != ':') continue;
    const size_t start = at + name.size() + 2;
    return xml.substr(start, xml.find('"', start) - start);
  }
  return {};
}

}  // namespace

std::string MacKey(const std::string& text) {
  std::string key;
  for (const char c : text)
    if (std::isxdigit(static_cast<unsigned char>(c)))
      key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return key;
}

void EndpointNames::Learn(const ServiceSim::ReceivedRequest& request) {
  const std::string id = Field(request.headers, "x-vantrel-voxlet-endpoint");
  if (id.empty()) return;
  // A clicker's requests name its MAC address once the service knows it; the hello that made
  // its endpoint may have come before.
  const std::string mac = Field(request.headers, "x-vantrel-voxlet-macaddress");
  if (!mac.empty()) {
    const auto it = m_clickerMacs.find(MacKey(mac));
    m_names[id] = it == m_clickerMacs.end() ? "clicker-?" : "clicker-" + std::to_string(it->second);
    return;
  }
  if (request.route != "hello" || m_names.count(id)) return;
  const std::string subject = Field(request.query, "subject");
  if (subject.find(":hardwareservice") != std::string::npos)
    m_names[id] = "hardware";
  else if (subject.find(":receiver") != std::string::npos)
    m_names[id] = "receiver";
}

std::string EndpointNames::Name(const std::string& id) const {
  const auto it = m_names.find(id);
  return it == m_names.end() ? "unknown" : it->second;
}

std::optional<Line> RequestLine(const ServiceSim::ReceivedRequest& request, const ServiceSim::Submission* submission,
                                const EndpointNames& names) {
  const std::string& route = request.route;
  const std::string endpointId = Field(request.headers, "x-vantrel-voxlet-endpoint");
  const std::string endpoint = endpointId.empty() ? "service" : names.Name(endpointId);
  const std::string status = " -> " + std::to_string(request.status);
  std::string text;
  std::string subscribed;
  if (route == "hello") {
    // Polls are as many as the time taken; the hello that makes an endpoint, and a clicker's
    // hello with its MAC address, are not.
    const bool mac = request.headers.count("x-vantrel-voxlet-macaddress") > 0;
    if (request.status != 201 && !mac) return std::nullopt;
    text = mac ? "hello mac" : "hello";
  } else if (route == "activatedStatus" || route == "modeSwitching") {
    // Asked for whenever the connection is made again or a poll fails; written once a section.
    text = route;
  } else if (route == "subscribe") {
    subscribed = names.Name(Field(request.query, "endpointXmlId"));
    text = "subscribe " + request.path.substr(request.path.rfind('/') + 1) + " " + subscribed;
  } else if (route == "receiverConnected") {
    text = "receiverConnected up=" + Field(request.query, "up");
  } else if (route == "receiverRemoved") {
    text = "receiverRemoved " + names.Name(Field(request.query, "endpoint"));
  } else if (route == "lowBattery" || route == "goodBattery") {
    text = route;
  } else if (route == "database") {
    text = "database " + request.path.substr(std::string("/voxlet/database/").size());
  } else if (route == "whois") {
    text = "whois number=" + ElementText(request.body, "number");
  } else if (route == "signin") {
    text = "signin student=" + Field(request.headers, "x-vantrel-voxlet-student");
  } else if (route == "raisedhand") {
    // The time's shape, not its value.
    std::string time = AttributeValue(request.body, "time");
    for (char& c : time)
      if (std::isdigit(static_cast<unsigned char>(c))) c = '#';
    text = "raisedhand student=" + AttributeValue(request.body, "studentid") +
           " value=" + AttributeValue(request.body, "value") + " time=" + time;
  } else if (route == "submit" && submission) {
    text = "submit " + submission->classId + "/" + submission->assessmentId + " student=" + submission->studentId;
    text +=
        submission->questionId.empty() ? " (empty)" : " " + submission->questionId + " \"" + submission->answer + "\"";
  } else if (route == "goodbye") {
    text = "goodbye";
  } else {
    text = request.method + " " + request.path;
  }
  // A clicker's requests follow one another (hello, whois, sign-in, answers); the receiver's and
  // the hardware service's come from several flows at once (status, class, assessment), of which
  // only each kind's own order is promised. Each endpoint subscribes from its own hello, so the
  // hardware service's and a receiver's subscriptions may cross when both connect again.
  const bool oneFlow = endpoint.rfind("clicker-", 0) == 0;
  std::string group = "http " + endpoint + (oneFlow ? "" : " " + route);
  if (!subscribed.empty()) group += " " + subscribed;
  return Line{group, text + status};
}

std::optional<Line> PacketLine(const std::vector<uint8_t>& packet, bool toReceiver) {
  if (packet.size() < 3) return std::nullopt;
  const uint16_t address = static_cast<uint16_t>((packet[0] << 8) | packet[1]);
  const bool ack = (packet[2] & kAckFlag) && packet[2] != kNack && packet[2] != kReceiverPrintf;
  // The service acknowledges what the receiver sends on its reader thread, so an acknowledgement
  // may land on either side of a step's end.
  if (ack && toReceiver) return std::nullopt;
  const uint8_t command = ack ? static_cast<uint8_t>(packet[2] & ~kAckFlag) : packet[2];
  switch (command) {
    // Start-up queries, the receiver's own status reports and the background scans come as
    // often as the service's timers ask for them.
    case kFwInfoQuery:
    case kTransmitPower:
    case kPanId:
    case kScanResults:
    case kPropertyQuery:
    case kBackgroundScan:
    case kProductCodeQuery:
    case kReceiverPrintf:
      return std::nullopt;
    case kDeviceStatus:
      if (address == 0) return std::nullopt;
      break;
    default:
      break;
  }
  std::string text = ack ? "ack " : "";
  const char* name = CommandName(command);
  if (name) {
    text += name;
  } else {
    char hex[8];
    std::snprintf(hex, sizeof hex, "cmd-%02x", command);
    text += hex;
  }
  for (size_t i = 3; i < packet.size(); ++i) {
    // The channel is the background scan's pick, and a question batch's run number counts the
    // runs sent before it, which a class start's own status query may add to.
    const bool masked = (command == kChannel && !ack) || (command == kQuestionBatch && i == 3);
    if (masked) {
      text += " ..";
      continue;
    }
    char hex[4];
    std::snprintf(hex, sizeof hex, " %02x", packet[i]);
    text += hex;
  }
  return Line{std::string(toReceiver ? "wire to " : "wire from ") + AddressName(address), text};
}

void Sections::Add(const Line& line) {
  std::vector<std::string>& lines = m_open[line.group];
  // Asked for again whenever a poll fails or the connection is made again: written once.
  const bool repeats = line.group.rfind("wire ", 0) == 0 || line.group.find(" activatedStatus") != std::string::npos ||
                       line.group.find(" modeSwitching") != std::string::npos;
  if (repeats && std::find(lines.begin(), lines.end(), line.text) != lines.end()) return;
  if (lines.empty() && line.group.rfind("wire ", 0) == 0) {
    const auto last = m_lastOfGroup.find(line.group);
    if (last != m_lastOfGroup.end() && last->second == line.text) return;
  }
  lines.push_back(line.text);
}

std::string Sections::Close(const std::string& header) {
  std::string out = header;
  for (const auto& [group, lines] : m_open) {
    for (const std::string& text : lines) out += group + ": " + text + "\n";
    if (!lines.empty()) m_lastOfGroup[group] = lines.back();
  }
  m_open.clear();
  return out;
}

}  // namespace Replay
