#include "bridge/ClickerLines.h"

ClickerLines::Ticket ClickerLines::Add(const Voxlet::StringBuffer& clicker, bool ready, Start start) {
  Ticket ticket = 0;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    ticket = m_nextTicket++;
    m_lines[clicker].push_back({ticket, ready, false, std::move(start)});
    m_lineOf[ticket] = clicker;
  }
  StartHead(clicker);
  return ticket;
}

void ClickerLines::MarkReady(Ticket ticket) {
  Voxlet::StringBuffer clicker;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    const auto line = m_lineOf.find(ticket);
    if (line == m_lineOf.end()) return;
    clicker = line->second;
    for (Turn& turn : m_lines[clicker])
      if (turn.ticket == ticket) turn.ready = true;
  }
  StartHead(clicker);
}

void ClickerLines::Done(Ticket ticket) {
  Voxlet::StringBuffer clicker;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    const auto line = m_lineOf.find(ticket);
    if (line == m_lineOf.end()) return;
    clicker = line->second;
    m_lineOf.erase(line);
    std::deque<Turn>& turns = m_lines[clicker];
    std::erase_if(turns, [ticket](const Turn& turn) { return turn.ticket == ticket; });
    if (turns.empty()) m_lines.erase(clicker);
    if (m_lines.empty()) m_changed.notify_all();
  }
  StartHead(clicker);
}

ClickerLines::Start ClickerLines::TakeStartable(const Voxlet::StringBuffer& clicker, Ticket& ticket) {
  std::lock_guard<std::mutex> guard(m_lock);
  const auto line = m_lines.find(clicker);
  if (line == m_lines.end() || line->second.empty()) return {};
  Turn& head = line->second.front();
  if (!head.ready || head.started) return {};
  head.started = true;
  ticket = head.ticket;
  return head.start;
}

void ClickerLines::StartHead(const Voxlet::StringBuffer& clicker) {
  Ticket ticket = 0;
  // A turn that ends at once starts the next one from within its own start (Done), so the line
  // is never started twice over here.
  if (Start start = TakeStartable(clicker, ticket)) start(ticket);
}

size_t ClickerLines::Pending() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_lineOf.size();
}

bool ClickerLines::WaitUntilEmpty(std::chrono::milliseconds limit, const std::atomic<bool>& stop) {
  std::unique_lock<std::mutex> lock(m_lock);
  m_changed.wait_for(lock, limit, [&] { return m_lines.empty() || stop.load(); });
  return m_lines.empty();
}

void ClickerLines::Notify() {
  std::lock_guard<std::mutex> guard(m_lock);
  m_changed.notify_all();
}

void ClickerLines::Clear() {
  std::lock_guard<std::mutex> guard(m_lock);
  m_lines.clear();
  m_lineOf.clear();
  m_changed.notify_all();
}
