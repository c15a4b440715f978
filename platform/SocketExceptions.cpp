#include "platform/SocketExceptions.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/SystemServices.h"

namespace {
std::mutex g_sinkLock;
IDiagnosticSink* g_sink = nullptr;
}  // namespace

std::string SystemErrorText(int errnoValue) { return Platform::ErrorText(errnoValue); }

void CExceptionBase::Report() const {
  DiagnosticLog("Exception (Error code = %d) : %s\n", m_code, m_message.empty() ? "<null>" : m_message.c_str());
}

CSystemException::CSystemException(int errnoValue) : CExceptionBase(errnoValue, SystemErrorText(errnoValue)) {}

CSocketException::CSocketException(int errnoValue) : CExceptionBase(errnoValue, SystemErrorText(errnoValue)) {}

void SetDiagnosticSink(IDiagnosticSink* sink) {
  std::lock_guard<std::mutex> guard(g_sinkLock);
  g_sink = sink;
}

void DiagnosticLog(const char* format, ...) {
  std::lock_guard<std::mutex> guard(g_sinkLock);
  char text[4096];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (g_sink)
    g_sink->Write(text);
  else
    Platform::WriteSystemDiagnostic(text);
}
