#pragma once
#include <string>

// What each OS backend gives the platform library's portable sources.
namespace Platform {

// The system's description of an error code (an errno value; on Windows also a Winsock or
// Win32 error code).
std::string ErrorText(int code);

// Writes one line of the socket layer's diagnostics where the system keeps such lines: the
// journal at debug priority on Linux, the debugger's output on Windows.
void WriteSystemDiagnostic(const char* text);

// The folder the service's log goes under by default: the Windows directory on Windows,
// /var/log/ovanta on Linux.
std::string SystemDirectory();
// Where the service keeps what it must not lose (the answer spool) by default: /var/lib/ovanta
// on Linux (the package's state directory), "<ProgramData>\Ovanta" on Windows.
std::string StateDirectory();
// Where the service's manual page is, as its help names it: "ovanta-hardware(8)" on Linux; on
// Windows the text the installer puts beside the program.
const char* ManualReference();
// What separates the folders of a path: '\\' on Windows, '/' on Linux.
char PathSeparator();

// A write to a pipe or socket whose reader is gone fails (EPIPE) instead of ending the process:
// Linux ignores SIGPIPE; Windows fails such writes anyway.
void IgnoreBrokenPipes();

}  // namespace Platform
