// The simulated receiver's reactions to the service's packets: the commands to the receiver
// itself (network, class, questions, scan) and those it relays to a clicker, as packets to send.
#include <algorithm>

#include "ReceiverSimulator.h"
#include "SimPacketFields.h"

using SimPacketFields::Hi;
using SimPacketFields::Lo;
using SimPacketFields::PackStudentNumber;
using SimPacketFields::PutWord;

void CReceiverSimulator::HandlePacket(const Bytes& p) {
  const uint16_t address = static_cast<uint16_t>(p[0] << 8 | p[1]);
  const uint8_t command = p[2];
  if (command & 0x80) {  // the service's acknowledgement of a clicker packet
    if (address == 0) m_ledger.Acknowledged(static_cast<uint8_t>(command & 0x7F));
    return;
  }
  if (silent.load()) return;
  const Bytes payload(p.begin() + 3, p.end());
  Outgoing out;
  bool scanEndDue = false;
  {
    std::lock_guard guard(m_lock);
    if (address == 0) {
      if (!dropAnswers.load()) HandleAtReceiverLocked(command, payload, out);
    } else if (address == 0xFFFF) {
      // Broadcasts reach every clicker and are never answered.
      if (command == 0x26) ++m_broadcasts;
      if (command == 0x0E && !payload.empty())
        for (auto& [i, clicker] : m_clickers) SessionEndLocked(clicker, payload[0] & 3);
    } else if (ClickerInfo* clicker = ClickerByAddressLocked(address); clicker && clicker->state != ClickerState::Off) {
      HandleToClickerLocked(*clicker, command, payload, out);
    }
    scanEndDue = std::exchange(m_scanEndDue, false);
    // Recorded with the state they come from: whoever sees the new state sees the reply too.
    m_sent.insert(m_sent.end(), out.begin(), out.end());
  }
  m_changed.notify_all();
  for (const Bytes& p : out) Write(FrameOf(p));
  // Scheduled only now: a timer started before the write could put the scan's end ahead of its
  // start on the wire, and the receiver would wait for an end that never comes.
  if (scanEndDue) m_scheduler.After(m_config.scanMs, [this] { SendStatus(0); });
}

void CReceiverSimulator::HandleAtReceiverLocked(uint8_t command, const Bytes& payload, Outgoing& out) {
  switch (command) {
    case 0x00:
      out.push_back({0, 0, 0x00, m_config.firmware[0], m_config.firmware[1], m_config.firmware[2],
                     Hi(m_config.firmwareChecksum), Lo(m_config.firmwareChecksum)});
      break;
    case 0x04: {
      const bool up = !payload.empty() && payload[0] != 0;
      const bool wasUp = m_networkUp;
      m_networkUp = up;
      out.push_back({0, 0, 0x04, static_cast<uint8_t>(up ? 1 : 0)});
      out.push_back({0, 0, 0x01, static_cast<uint8_t>(up && !mismatchStatus.load() ? 2 : 0)});
      if (!up) {
        // Without a network the clickers drop out of the class.
        for (auto& [i, clicker] : m_clickers)
          if (clicker.joined()) clicker.state = ClickerState::Idle;
        CloseQuestionsLocked();
      } else if (!wasUp) {
        ScheduleAutoJoinsLocked();
      }
      break;
    }
    case 0x05: {
      Bytes answer = {0, 0, 0x05};
      answer.insert(answer.end(), payload.begin(), payload.end());
      m_className.assign(payload.begin(), payload.end());
      m_className.erase(std::find(m_className.begin(), m_className.end(), '\0'), m_className.end());
      out.push_back(answer);
      break;
    }
    case 0x06:
      if (payload.empty()) {
        out.push_back({0, 0, 0x06, m_loginFlags.load()});
      } else {
        const uint8_t before = m_loginFlags.exchange(payload[0]);
        out.push_back({0, 0, 0x06});
        // A flipped login trigger tells the clickers that a new session began.
        if (((before ^ payload[0]) & 2) && m_networkUp) ScheduleAutoJoinsLocked();
      }
      break;
    case 0x0A:
      if (auto batch = SimContent::DecodeQuestionBatch(payload)) {
        SimContent::AddBatch(m_questions, *batch);
        for (auto& [i, clicker] : m_clickers) clicker.inReview = false;
        ScheduleAutoAnswersLocked();
      }
      out.push_back({0, 0, 0x0A});
      break;
    case 0x0D:
      if (!payload.empty()) {
        m_channel = payload[0];
        out.push_back({0, 0, 0x0D, payload[0]});
      }
      break;
    case 0x0E:
      // Session end for every clicker: review mode (0), end of the session (1), power off (2).
      if (!payload.empty()) {
        for (auto& [i, clicker] : m_clickers) SessionEndLocked(clicker, payload[0] & 3);
        CloseQuestionsLocked();
      }
      out.push_back({0, 0, 0x0E});
      break;
    case 0x11: {
      const uint16_t mask = payload.size() >= 2 ? static_cast<uint16_t>(payload[0] << 8 | payload[1]) : 0;
      uint16_t pans = 0;
      Bytes entries;
      for (int i = 0; i < 16; ++i) {
        if (!(mask & (1u << i))) continue;
        if (m_config.panIds[static_cast<size_t>(i)]) pans |= static_cast<uint16_t>(1u << i);
        entries.push_back(Hi(m_config.panIds[static_cast<size_t>(i)]));
        entries.push_back(Lo(m_config.panIds[static_cast<size_t>(i)]));
        entries.push_back(m_config.energies[static_cast<size_t>(i)]);
      }
      Bytes answer = {0, 0, 0x11, Hi(mask), Lo(mask), Hi(pans), Lo(pans)};
      answer.insert(answer.end(), entries.begin(), entries.end());
      out.push_back(answer);
      break;
    }
    case 0x16:
      if (!payload.empty() && payload[0] == 0) {
        Bytes answer = {0, 0, 0x16, 0x00};
        PutWord(answer, m_config.macHigh);
        PutWord(answer, m_config.macLow);
        out.push_back(answer);
      }
      break;
    case 0x17:
      out.push_back({0, 0, 0x17});
      out.push_back({0, 0, 0x01, 1});
      m_scanEndDue = true;  // the closing "idle" is timed from when these are written
      break;
    case 0x2A:
      if (m_config.productCode < 0)
        out.push_back({0, 0, 0xFF, 0x2A});
      else
        out.push_back({0, 0, 0x2A, static_cast<uint8_t>(m_config.productCode)});
      break;
    default:
      break;
  }
}

void CReceiverSimulator::CloseQuestionsLocked() {
  const uint64_t id = m_questions.id;
  m_questions = SimContent::QuestionSet();
  m_questions.id = id;  // a later batch starts a new set
}

void CReceiverSimulator::SessionEndLocked(ClickerInfo& clicker, uint8_t mode) {
  switch (mode) {
    case 0:
      clicker.inReview = true;
      break;
    case 1:
      clicker.inReview = false;
      break;
    default:
      clicker.state = ClickerState::Off;
      clicker.inReview = false;
      clicker.handUp = false;
      break;
  }
}

void CReceiverSimulator::HandleToClickerLocked(ClickerInfo& clicker, uint8_t command, const Bytes& payload,
                                               Outgoing& out) {
  const uint16_t a = clicker.address;
  switch (command) {
    case 0x04:  // the network state, answering the clicker's query
      out.push_back({Hi(a), Lo(a), 0x04, static_cast<uint8_t>(m_networkUp ? 1 : 0)});
      break;
    case 0x08:
      if (payload.empty()) {
        // The grant reply: the service signed the student in.
        if (clicker.state == ClickerState::Granted) {
          clicker.state = ClickerState::LoggedIn;
          ScheduleAutoAnswersLocked();
        }
        break;
      }
      if (payload[0] & 1) {
        clicker.state = ClickerState::Granted;
        clicker.studentName.assign(payload.begin() + 1, payload.end());
      } else {
        clicker.state = ClickerState::Refused;
      }
      out.push_back({Hi(a), Lo(a), 0x14, static_cast<uint8_t>(payload[0] & 1)});
      break;
    case 0x09:
      clicker.state = ClickerState::LoggedOff;
      out.push_back({Hi(a), Lo(a), 0x09});
      break;
    case 0x0A:
      out.push_back({Hi(a), Lo(a), 0x0A});
      break;
    case 0x0C:
      clicker.handUp = false;
      out.push_back({Hi(a), Lo(a), 0x0C});
      break;
    case 0x0E:
      if (!payload.empty()) SessionEndLocked(clicker, payload[0] & 3);
      if (!payload.empty() && (payload[0] & 3) == 0) m_ledger.Review(clicker.macHigh, clicker.macLow, a);
      out.push_back({Hi(a), Lo(a), 0x0E});
      break;
    case 0x27:
      if (auto results = SimContent::DecodeStudentResults(payload)) clicker.results.push_back(*results);
      out.push_back({Hi(a), Lo(a), 0x27});
      break;
    default:
      break;
  }
}

ClickerInfo& CReceiverSimulator::ClickerLocked(int i) {
  auto it = m_clickers.find(i);
  if (it != m_clickers.end()) return it->second;
  ClickerInfo& c = m_clickers[i];
  c.index = i;
  c.address = ClickerAddress(i);
  c.macHigh = m_config.macHigh;
  c.macLow = m_config.macLow + static_cast<uint32_t>(i);
  return c;
}

ClickerInfo* CReceiverSimulator::ClickerByAddressLocked(uint16_t address) {
  if (address < 0x0100) return nullptr;
  const auto it = m_clickers.find(address - 0x0100);
  return it == m_clickers.end() ? nullptr : &it->second;
}

void CReceiverSimulator::JoinPacketsLocked(ClickerInfo& clicker, bool typed, Outgoing& out) {
  const uint16_t a = clicker.address;
  clicker.inReview = false;
  out.push_back({Hi(a), Lo(a), 0x01, static_cast<uint8_t>(clicker.batteryLow ? 1 : 0), 200});
  Bytes join = {Hi(a), Lo(a), 0x07};
  PutWord(join, clicker.macHigh);
  PutWord(join, clicker.macLow);
  if (!(m_loginFlags.load() & 1)) {
    out.push_back(join);
    clicker.state = ClickerState::LoggedIn;  // anonymous: the service signs it in unasked
    ScheduleAutoAnswersLocked();
    return;
  }
  const std::optional<Bytes> number = PackStudentNumber(clicker.studentNumber);
  if (!number) {
    clicker.state = ClickerState::Idle;  // on the network, waiting for its student to log in
    return;
  }
  join.insert(join.end(), number->begin(), number->end());
  join.push_back(typed ? 0 : 1);  // auto flag: the number was remembered, not typed
  out.push_back(join);
  clicker.state = ClickerState::Joined;
}
