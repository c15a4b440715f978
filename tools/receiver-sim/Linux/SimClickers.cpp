// The simulated clickers: joining, logging in, raising hands, batteries, answers (plain,
// enhanced and typed), ending sessions and logging off, as a test or the program asks.
#include <algorithm>

#include "ReceiverSimulator.h"
#include "SimPacketFields.h"

using SimPacketFields::Hi;
using SimPacketFields::Lo;
using SimPacketFields::PackStudentNumber;
using SimPacketFields::PutWord;
using SimPacketFields::ValidStudentNumber;

const char* ToString(ClickerState state) {
  switch (state) {
    case ClickerState::Off:
      return "off";
    case ClickerState::Idle:
      return "idle";
    case ClickerState::Joined:
      return "joined";
    case ClickerState::Granted:
      return "granted";
    case ClickerState::LoggedIn:
      return "logged-in";
    case ClickerState::Refused:
      return "refused";
    case ClickerState::LoggedOff:
      return "logged-off";
  }
  return "?";
}

bool ClickerInfo::Answered(int question, uint64_t set) const {
  return std::any_of(answers.begin(), answers.end(),
                     [&](const ClickerAnswer& a) { return a.question == question && a.set == set; });
}

void CReceiverSimulator::JoinAll() {
  Outgoing out;
  {
    std::lock_guard guard(m_lock);
    for (int i = 0; i < m_config.clickers; ++i) {
      ClickerInfo& c = ClickerLocked(i);
      Bytes join = {Hi(c.address), Lo(c.address), 0x07};
      PutWord(join, c.macHigh);
      PutWord(join, c.macLow);
      if (m_loginFlags.load() & 1) {
        // Student id "1<i>" packed low nibble first (digit d is nibble d + 4), then the auto flag.
        join.push_back(static_cast<uint8_t>((1 + 4) | ((i % 10 + 4) << 4)));
        join.push_back(0x00);
        join.push_back(0x01);
        c.studentNumber = "1" + std::to_string(i % 10);
        c.state = ClickerState::Joined;
      } else {
        c.state = ClickerState::LoggedIn;
      }
      out.push_back(join);
    }
  }
  m_changed.notify_all();
  Send(out);
}

bool CReceiverSimulator::Join(int i, const std::string& studentNumber) {
  if (!ValidStudentNumber(studentNumber)) return false;
  Outgoing out;
  {
    std::lock_guard guard(m_lock);
    ClickerInfo& c = ClickerLocked(i);
    if (!studentNumber.empty()) c.studentNumber = studentNumber;
    JoinPacketsLocked(c, false, out);
  }
  m_changed.notify_all();
  Send(out);
  return true;
}

bool CReceiverSimulator::Login(int i, const std::string& studentNumber) {
  if (studentNumber.empty() || !ValidStudentNumber(studentNumber)) return false;
  Outgoing out;
  {
    std::lock_guard guard(m_lock);
    ClickerInfo& c = ClickerLocked(i);
    c.studentNumber = studentNumber;
    const uint16_t a = c.address;
    Bytes join = {Hi(a), Lo(a), 0x07};
    PutWord(join, c.macHigh);
    PutWord(join, c.macLow);
    const Bytes number = *PackStudentNumber(studentNumber);
    join.insert(join.end(), number.begin(), number.end());
    join.push_back(0);  // typed by the student
    out.push_back(join);
    c.state = ClickerState::Joined;
    c.inReview = false;
  }
  m_changed.notify_all();
  Send(out);
  return true;
}

void CReceiverSimulator::RaiseHand(int i, bool up) {
  ClickerSends(i,
               [up](ClickerInfo& c) {
                 if (c.state == ClickerState::Off) c.state = ClickerState::Idle;
                 c.handUp = up;
               },
               {0x0C, static_cast<uint8_t>(up ? 1 : 0)});
}

void CReceiverSimulator::ReportBattery(int i, bool low, uint8_t linkQuality) {
  ClickerSends(i,
               [low](ClickerInfo& c) {
                 if (c.state == ClickerState::Off) c.state = ClickerState::Idle;
                 c.batteryLow = low;
               },
               {0x01, static_cast<uint8_t>(low ? 1 : 0), linkQuality});
}

void CReceiverSimulator::Answer(int i, uint8_t question, const Bytes& answer) {
  std::lock_guard sending(m_answerSendLock);
  Bytes packet;
  {
    std::lock_guard guard(m_lock);
    ClickerInfo& c = ClickerLocked(i);
    c.answers.push_back({m_questions.id, question, "raw", "", answer});
    packet = {Hi(c.address), Lo(c.address), 0x0B, question};
    packet.insert(packet.end(), answer.begin(), answer.end());
    ExpectLocked(c, question, "raw", answer, "", {packet});
  }
  m_changed.notify_all();
  SendPacket(packet);
}

void CReceiverSimulator::EnhancedAnswer(int i, uint8_t sequence, uint8_t question, const Bytes& data, size_t chunk) {
  std::lock_guard sending(m_answerSendLock);
  std::optional<Outgoing> packets;
  {
    std::lock_guard guard(m_lock);
    ClickerInfo& c = ClickerLocked(i);
    c.answers.push_back({m_questions.id, question, "raw", "", data});
    packets = SimAnswers::EnhancedPackets(c.address, sequence, question, data, chunk);
    if (packets) ExpectLocked(c, question, "raw", data, "", *packets);
  }
  m_changed.notify_all();
  if (packets) Send(*packets);
}

void CReceiverSimulator::ExpectLocked(const ClickerInfo& clicker, int question, const char* kind, const Bytes& bytes,
                                      const std::string& text, const Outgoing& packets) {
  if (packets.empty()) return;
  LedgerAnswer answer;
  answer.clickerMacHigh = clicker.macHigh;
  answer.clickerMacLow = clicker.macLow;
  answer.address = clicker.address;
  answer.question = question;
  answer.kind = kind;
  answer.bytes = bytes;
  answer.text = text;
  m_ledger.Expect(answer, packets.front()[2], static_cast<int>(packets.size()));
}

bool CReceiverSimulator::OpenLedger(const std::string& path) {
  return m_ledger.Open(path, m_config.macHigh, m_config.macLow);
}

int CReceiverSimulator::CurrentQuestionLocked(const ClickerInfo& clicker) const {
  if (clicker.inReview || m_questions.empty()) return 0;
  for (const SimContent::Question& q : m_questions.questions)
    if (!clicker.Answered(q.number, m_questions.id)) return q.number;
  return m_questions.questions.back().number;
}

int CReceiverSimulator::CurrentQuestion(int i) {
  std::lock_guard guard(m_lock);
  const auto it = m_clickers.find(i);
  return it == m_clickers.end() ? 0 : CurrentQuestionLocked(it->second);
}

bool CReceiverSimulator::AnswerLocked(ClickerInfo& clicker, const std::string& text, int question,
                                      std::optional<SimAnswers::Kind> kind, Outgoing& out) {
  if (m_config.signedInOnly && (!clicker.loggedIn() || clicker.inReview)) return false;
  const int number = question ? question : CurrentQuestionLocked(clicker);
  if (number < 1 || number > 255) return false;
  if (m_config.signedInOnly && !m_questions.Find(number)) return false;  // not a question it was sent
  const SimContent::Question* q = m_questions.Find(number);
  if (!kind && !q) return false;
  const SimAnswers::Kind k = kind ? *kind : SimAnswers::KindOfType(q->type);
  const std::optional<Bytes> bytes = SimAnswers::Encode(k, text);
  if (!bytes) return false;
  const uint16_t a = clicker.address;
  if (k == SimAnswers::Kind::Text || k == SimAnswers::Kind::Math) {
    const auto packets = SimAnswers::EnhancedPackets(a, clicker.nextSequence, static_cast<uint8_t>(number), *bytes,
                                                     m_config.enhancedChunk);
    if (!packets) return false;
    ++clicker.nextSequence;
    ExpectLocked(clicker, number, SimAnswers::KindName(k), *bytes, text, *packets);
    out.insert(out.end(), packets->begin(), packets->end());
  } else {
    Bytes packet = {Hi(a), Lo(a), 0x0B, static_cast<uint8_t>(number)};
    packet.insert(packet.end(), bytes->begin(), bytes->end());
    ExpectLocked(clicker, number, SimAnswers::KindName(k), *bytes, text, {packet});
    out.push_back(packet);
  }
  clicker.answers.push_back({m_questions.id, number, SimAnswers::KindName(k), text, *bytes});
  return true;
}

bool CReceiverSimulator::AnswerText(int i, const std::string& text, int question,
                                    std::optional<SimAnswers::Kind> kind) {
  std::lock_guard sending(m_answerSendLock);
  Outgoing out;
  bool sent;
  {
    std::lock_guard guard(m_lock);
    sent = AnswerLocked(ClickerLocked(i), text, question, kind, out);
  }
  m_changed.notify_all();
  Send(out);
  return sent;
}

void CReceiverSimulator::EndSession(int i) {
  ClickerSends(i, [](ClickerInfo& c) { c.inReview = true; }, {0x0E});
}

void CReceiverSimulator::LogOff(int i) {
  ClickerSends(i, [](ClickerInfo& c) { c.state = ClickerState::LoggedOff; }, {0x09});
}

void CReceiverSimulator::Disassociate(int i) {
  ClickerSends(i, [](ClickerInfo& c) { c.state = ClickerState::Idle; }, {0x15});
}

void CReceiverSimulator::ClickerSends(int i, const std::function<void(ClickerInfo&)>& change, const Bytes& command) {
  Bytes packet;
  {
    std::lock_guard guard(m_lock);
    ClickerInfo& c = ClickerLocked(i);
    change(c);
    packet = {Hi(c.address), Lo(c.address)};
  }
  packet.insert(packet.end(), command.begin(), command.end());
  m_changed.notify_all();
  SendPacket(packet);
}
