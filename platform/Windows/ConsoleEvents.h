#pragma once

// The console's events as the system's console thread hands them to the program's handler.
namespace Platform {

// What the handler does with a console event (CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT):
// tells the newest StopSignalWatcher; for a close under HoldConsoleClose, then waits until
// ReleaseConsoleClose (4.5 s at most: Windows ends the process about 5 s after the window
// closed, and as soon as the handler returns). False when nobody took it (the system's default
// then ends the process).
bool DeliverConsoleEvent(unsigned long event);

}  // namespace Platform
