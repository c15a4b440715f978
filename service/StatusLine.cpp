#include "service/StatusLine.h"

namespace {

std::string Counted(size_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

}  // namespace

std::string StatusText(const ServiceStatus& status) {
  std::string text = Counted(status.receiversOpen, "receiver open", "receivers open") + ", " +
                     Counted(status.clickersSignedIn, "clicker signed in", "clickers signed in") +
                     ", software service " + (status.softwareServiceConnected ? "connected" : "not connected");
  switch (status.spool) {
    case ServiceStatus::Spool::kKeeping:
      text += ", " + Counted(status.answersKept, "answer kept", "answers kept");
      break;
    case ServiceStatus::Spool::kNotKeeping:
      text += ", answers not kept on disk";
      break;
    case ServiceStatus::Spool::kNotOpen:
      break;
  }
  return text;
}

CStatusLine::CStatusLine(Outputs outputs, Clock clock) : m_outputs(std::move(outputs)), m_clock(std::move(clock)) {}

void CStatusLine::Update(const ServiceStatus& status) {
  std::lock_guard<std::mutex> guard(m_lock);
  const std::string text = StatusText(status);
  if (m_outputs.milestone && (!m_logged || m_logged->receiversOpen != status.receiversOpen ||
                              m_logged->softwareServiceConnected != status.softwareServiceConnected)) {
    m_outputs.milestone(text);
    m_logged = status;
  }
  if (!m_outputs.status || text == m_shown) return;
  const auto now = m_clock();
  if (m_shownAt && now - *m_shownAt < kMinimumInterval) return;
  m_outputs.status(text);
  m_shown = text;
  m_shownAt = now;
}
