#pragma once
#include <string>

#include "platform/PrintfFormat.h"

// The exceptions of the socket and messaging layer. Only that layer throws; its own threads
// catch what it throws and report it through the diagnostic sink.
class CExceptionBase {
 public:
  CExceptionBase(int code, std::string message) : m_code(code), m_message(std::move(message)) {}
  virtual ~CExceptionBase() = default;
  // Logs "Exception (Error code = %d) : %s\n" through the diagnostic sink.
  virtual void Report() const;

  int Code() const { return m_code; }
  const std::string& Message() const { return m_message; }

 private:
  int m_code;
  std::string m_message;
};

// Errors of the library itself; the code is the thrower's.
class CSocketLibException : public CExceptionBase {
 public:
  using CExceptionBase::CExceptionBase;
};

// A failed system call: code from errno, text from the system's description of it.
class CSystemException : public CExceptionBase {
 public:
  explicit CSystemException(int errnoValue);
};

// A failed socket call: code from errno, text from the system's description of it.
class CSocketException : public CExceptionBase {
 public:
  explicit CSocketException(int errnoValue);
};

// The system's description of an error code.
std::string SystemErrorText(int errnoValue);

// Where the socket layer's diagnostics go: the journal at debug priority ("journalctl -p debug
// -t ovanta-hardware" shows them), or the sink a test installs to read them.
class IDiagnosticSink {
 public:
  virtual ~IDiagnosticSink() = default;
  virtual void Write(const char* text) = 0;
};

void SetDiagnosticSink(IDiagnosticSink* sink);
// Formats (printf rules, at most 4095 characters) under a process-wide lock and hands the
// text to the installed sink, or to the journal when there is none.
void DiagnosticLog(const char* format, ...) __attribute__((format(OVANTA_PRINTF_FORMAT, 1, 2)));
