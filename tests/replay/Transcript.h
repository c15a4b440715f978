#pragma once
// A replay's transcript: what the software service received and what went over the receiver's
// line, step by step, in a form that is the same on every run. Nothing here looks at a clock:
// timestamps, generated endpoint ids, ports and paths are never written; traffic whose amount
// depends on timing (polls, status reports, scans, resends) is left out or written once.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tools/service-sim/SessionManager.h"

namespace Replay {

// Names the software service's endpoints by what they stand for instead of their generated ids:
// "hardware", "receiver", "clicker-N" (N = the simulated clicker's index, found by its MAC
// address). Learns each id from its hello.
class EndpointNames {
 public:
  // The clickers' MAC addresses as the service writes them, by clicker index.
  explicit EndpointNames(std::map<std::string, int> clickerMacs) : m_clickerMacs(std::move(clickerMacs)) {}

  void Learn(const ServiceSim::ReceivedRequest& request);
  // The name of an endpoint id; ids never seen in a hello are "unknown".
  std::string Name(const std::string& id) const;

 private:
  std::map<std::string, int> m_clickerMacs;  // lower-case hex digits only
  std::map<std::string, std::string> m_names;
};

// The MAC address as the service's clicker headers carry it (lower-case hex digits only).
std::string MacKey(const std::string& text);

// One line of a transcript section before ordering: `group` is what the line belongs to (an
// endpoint, or a direction and address on the line); lines of one group keep their order.
struct Line {
  std::string group;
  std::string text;
};

// The line for one request the software service received, or nothing for traffic that is left
// out (polls, the hardware service's status requests). `submission` is the submission a submit
// request carried.
std::optional<Line> RequestLine(const ServiceSim::ReceivedRequest& request, const ServiceSim::Submission* submission,
                                const EndpointNames& names);

// The line for a packet on the receiver's line, or nothing for traffic that is left out.
// `toReceiver`: the service sent it (else the receiver did).
std::optional<Line> PacketLine(const std::vector<uint8_t>& packet, bool toReceiver);

// Collects the lines of one section at a time and writes them: groups in name order, each
// group's lines in arrival order. A packet repeated within its group is written once (a resend
// or a repeated report), as is the first packet of a group when it repeats the group's last
// packet of the section before (a resend that crossed the step's end), and so is a repeated
// status request; any other request repeated is written each time.
class Sections {
 public:
  void Add(const Line& line);
  // Writes the section under `header` and starts the next.
  std::string Close(const std::string& header);

 private:
  std::map<std::string, std::vector<std::string>> m_open;
  std::map<std::string, std::string> m_lastOfGroup;
};

}  // namespace Replay
