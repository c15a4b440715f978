#include "platform/SystemServices.h"

#include <signal.h>
#include <syslog.h>
#include <systemd/sd-journal.h>

#include <cstring>

namespace Platform {

std::string ErrorText(int code) {
  char buffer[256];
  // GNU strerror_r returns the text, which may or may not be in buffer.
  const char* text = strerror_r(code, buffer, sizeof buffer);
  return text ? text : "";
}

void WriteSystemDiagnostic(const char* text) { sd_journal_print(LOG_DEBUG, "%s", text); }

std::string SystemDirectory() { return "/var/log/ovanta"; }

std::string StateDirectory() { return "/var/lib/ovanta"; }

const char* ManualReference() { return "ovanta-hardware(8) and ovanta-hardware.conf(5)"; }

char PathSeparator() { return '/'; }

void IgnoreBrokenPipes() { signal(SIGPIPE, SIG_IGN); }

}  // namespace Platform
