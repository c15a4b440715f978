// The simulated clickers' automatic mode (joins and answers at random delays, as the questions
// arrive) and the flood of joins a load test asks for.
#include <algorithm>

#include "ReceiverSimulator.h"

void CReceiverSimulator::StartAutomatic(int count, AutoSettings settings) {
  {
    std::lock_guard guard(m_lock);
    m_automatic = true;
    m_auto = settings;
    if (m_auto.maxDelayMs < m_auto.minDelayMs) m_auto.maxDelayMs = m_auto.minDelayMs;
    for (int k = 0; k < count; ++k) {
      ClickerInfo& c = ClickerLocked(settings.firstIndex + k);
      c.automatic = true;
      c.studentNumber = std::to_string(settings.firstStudent + k);
    }
    if (m_networkUp) ScheduleAutoJoinsLocked();
    ScheduleAutoAnswersLocked();
  }
  m_changed.notify_all();
}

void CReceiverSimulator::StopAutomatic() {
  std::lock_guard guard(m_lock);
  m_automatic = false;
  for (auto& [i, c] : m_clickers) c.automatic = false;
  // Pending joins and answers find the mode off and do nothing.
}

int CReceiverSimulator::RandomDelayLocked() {
  return std::uniform_int_distribution<int>(m_auto.minDelayMs, m_auto.maxDelayMs)(m_random);
}

void CReceiverSimulator::ScheduleAutoJoinsLocked() {
  if (!m_automatic) return;
  for (auto& [i, c] : m_clickers) {
    const bool waiting = c.state == ClickerState::Off || c.state == ClickerState::Idle ||
                         c.state == ClickerState::LoggedOff || c.state == ClickerState::Refused;
    if (!c.automatic || !waiting || m_joinPending.count(i)) continue;
    m_joinPending.insert(i);
    const int index = i;
    m_scheduler.After(RandomDelayLocked(), [this, index] { AutoJoin(index); });
  }
}

void CReceiverSimulator::AutoJoin(int i) {
  Outgoing out;
  {
    std::lock_guard guard(m_lock);
    m_joinPending.erase(i);
    ClickerInfo& c = ClickerLocked(i);
    const bool waiting = c.state == ClickerState::Off || c.state == ClickerState::Idle ||
                         c.state == ClickerState::LoggedOff || c.state == ClickerState::Refused;
    if (!m_automatic || !c.automatic || !m_networkUp || !waiting) return;
    JoinPacketsLocked(c, false, out);
  }
  m_changed.notify_all();
  Send(out);
}

void CReceiverSimulator::ScheduleAutoAnswersLocked() {
  if (!m_automatic || !m_auto.answers || m_questions.empty()) return;
  for (auto& [i, c] : m_clickers) {
    if (!c.automatic || !c.loggedIn() || c.inReview) continue;
    int delay = 0;
    for (const SimContent::Question& q : m_questions.questions) {
      const auto key = std::make_tuple(i, m_questions.id, q.number);
      if (c.Answered(q.number, m_questions.id) || m_answerPending.count(key)) continue;
      m_answerPending.insert(key);
      delay += RandomDelayLocked();
      const int index = i, number = q.number;
      const uint64_t set = m_questions.id;
      m_scheduler.After(delay, [this, index, number, set] { AutoAnswer(index, number, set); });
    }
  }
}

void CReceiverSimulator::AutoAnswer(int i, int question, uint64_t set) {
  std::lock_guard sending(m_answerSendLock);
  Outgoing out;
  {
    std::lock_guard guard(m_lock);
    m_answerPending.erase(std::make_tuple(i, set, question));
    ClickerInfo& c = ClickerLocked(i);
    const SimContent::Question* q = m_questions.Find(question);
    if (!m_automatic || !c.automatic || !c.loggedIn() || c.inReview || m_questions.id != set || !q ||
        c.Answered(question, set))
      return;
    const SimAnswers::Kind kind = SimAnswers::KindOfType(q->type);
    AnswerLocked(c, AutoAnswerTextLocked(*q, kind), question, kind, out);
  }
  m_changed.notify_all();
  Send(out);
}

std::string CReceiverSimulator::AutoAnswerTextLocked(const SimContent::Question& q, SimAnswers::Kind kind) {
  auto chance = [&](int percent) { return std::uniform_int_distribution<int>(0, 99)(m_random) < percent; };
  auto pick = [&](const std::vector<std::string>& list, const std::string& fallback) {
    if (list.empty()) return fallback;
    // The first entry is the likely one (the correct answer of the sample lesson).
    if (chance(m_auto.correctPercent)) return list.front();
    return list[std::uniform_int_distribution<size_t>(0, list.size() - 1)(m_random)];
  };
  std::vector<int> codes;  // the correct answer's nibble codes, as the batch carries them
  for (uint8_t b : q.answer)
    for (int shift : {0, 4})
      if (const int code = (b >> shift) & 0x0F) codes.push_back(code);
  auto join = [](const std::vector<int>& values) {
    std::string text;
    for (int v : values) text += (text.empty() ? "" : " ") + std::to_string(v);
    return text;
  };
  switch (kind) {
    case SimAnswers::Kind::Choice: {
      const int count = std::clamp<int>(q.choices ? q.choices : 4, 1, 10);
      if (!codes.empty() && chance(m_auto.correctPercent)) return join(codes);
      std::vector<int> order(static_cast<size_t>(count));
      for (int k = 0; k < count; ++k) order[static_cast<size_t>(k)] = k + 1;
      std::shuffle(order.begin(), order.end(), m_random);
      if (q.type == 4) return join(order);  // ordering: every position once
      if (q.type == 3) {                    // selection: a few of them
        order.resize(std::uniform_int_distribution<size_t>(1, order.size())(m_random));
        std::sort(order.begin(), order.end());
        return join(order);
      }
      return std::to_string(order.front());
    }
    case SimAnswers::Kind::Number: {
      static constexpr std::string_view kTable = "-./0123456789 ";
      std::string correct;
      for (int code : codes) correct += kTable[static_cast<size_t>(code - 1)];
      if (!correct.empty() && chance(m_auto.correctPercent)) return correct;
      return std::to_string(std::uniform_int_distribution<int>(0, 9)(m_random)) + "." +
             std::to_string(std::uniform_int_distribution<int>(0, 9)(m_random));
    }
    case SimAnswers::Kind::ShortAnswer: {
      std::string text = pick(m_config.shortAnswers, "Yes");
      return text.substr(0, SimAnswers::kMaxShortAnswer);
    }
    case SimAnswers::Kind::Text:
      return pick(m_config.textAnswers, "I think so");
    case SimAnswers::Kind::Math:
      return pick(m_config.mathAnswers, "x+1");
  }
  return "1";
}

void CReceiverSimulator::Flood(int count, int firstIndex, int firstStudent) {
  Outgoing out;
  {
    std::lock_guard guard(m_lock);
    for (int k = 0; k < count; ++k) {
      ClickerInfo& c = ClickerLocked(firstIndex + k);
      if (c.studentNumber.empty()) c.studentNumber = std::to_string(firstStudent + k);
      JoinPacketsLocked(c, false, out);
    }
  }
  m_changed.notify_all();
  Send(out);
}
