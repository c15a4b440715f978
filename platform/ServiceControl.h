#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace Platform {

// Service states, numbered as the status reports number them.
enum ServiceState : uint32_t {
  kServiceStopped = 1,
  kServiceStartPending = 2,
  kServiceStopPending = 3,
  kServiceRunning = 4,
  kServiceContinuePending = 5,
  kServicePausePending = 6,
  kServicePaused = 7,
};

// Control codes delivered to the service's control handler.
enum ServiceControlCode : uint32_t {
  kControlStop = 1,
  kControlPause = 2,
  kControlInterrogate = 4,
  kControlShutdown = 5,
  kControlDeviceEvent = 11,
  kControlPowerEvent = 13,
};

// A control as the service manager delivers it. Device and power events carry what happened:
// the event's code (DBT_* for a device, PBT_* for power) and, for a device event, what its data
// describes (DBT_DEVTYP_* and the device interface's path or the port's name).
struct ServiceControlRequest {
  uint32_t control = 0;
  uint32_t eventType = 0;
  bool hasDeviceData = false;  // a device event came with data
  uint32_t deviceType = 0;
  std::string deviceName;  // UTF-8; empty when the data names nothing
};
using ServiceControlCallback = std::function<uint32_t(const ServiceControlRequest& request)>;

// A control without device data.
inline ServiceControlRequest ControlRequest(uint32_t control, uint32_t eventType = 0) {
  ServiceControlRequest request;
  request.control = control;
  request.eventType = eventType;
  return request;
}

// Where a unit text puts the ExecStart= value (the program's path, see SystemdExecStart).
inline constexpr const char* kExecStartPlaceholder = "@OVANTA_EXEC_START@";

struct ServiceConfig {
  std::string name;        // "Ovanta Hardware"
  std::string binaryPath;  // the running executable
  std::string description;
  // udev rules installed with the service (empty: none).
  std::string udevRules;
  // The systemd unit's text, with kExecStartPlaceholder where binaryPath goes.
  std::string unitTemplate;
  // Services the service manager starts first (the SCM's dependency list). systemd orders the
  // service by the unit's own lines instead.
  std::vector<std::string> dependencies;
};

// The service manager as the service host sees it. Every call answers false and fills
// error with the reason when it fails. Linux: systemd; Windows: the service control manager;
// tests: a fake. Binary paths are a program's path as it is, never quoted.
class IServiceControl {
 public:
  virtual ~IServiceControl() = default;

  // The full path of the running executable.
  virtual bool ModulePath(std::string& path, std::string& error) = 0;
  // False with an empty error when the service does not exist.
  virtual bool Exists(const std::string& name, std::string& error) = 0;
  virtual bool ConfiguredBinaryPath(const std::string& name, std::string& path, std::string& error) = 0;
  virtual bool Create(const ServiceConfig& config, std::string& error) = 0;
  virtual bool ChangeBinaryPath(const std::string& name, const std::string& path, std::string& error) = 0;
  virtual bool Delete(const std::string& name, std::string& error) = 0;
  virtual bool QueryState(const std::string& name, uint32_t& state, std::string& error) = 0;
  // Asks the manager to start the service; does not wait for it.
  virtual bool Start(const std::string& name, std::string& error) = 0;
  // Sends the stop control; does not wait for it.
  virtual bool ControlStop(const std::string& name, std::string& error) = 0;
  // Tells the service manager the running service's state.
  virtual bool ReportStatus(uint32_t state, uint32_t waitHintMs, std::string& error) = 0;
  // Runs serviceMain on its own thread as the service process and delivers the manager's
  // controls to handler until serviceMain returns. On Windows the service is also told of USB
  // devices arriving and going (device events). False (with the reason) when this process
  // is not the service `name` as the service manager runs it (a process started by hand, even
  // from a shell that inherited the service's environment).
  virtual bool RunDispatcher(const std::string& name, const std::function<void()>& serviceMain,
                             const ServiceControlCallback& handler, std::string& error) = 0;
  virtual void SleepMs(uint32_t ms) = 0;
  // Whether two binary paths name the same program, as this platform compares paths: exactly
  // on Linux, without regard to case on Windows.
  virtual bool SamePath(const std::string& a, const std::string& b) { return a == b; }
  // Whether the service manager shows a line of text about the running service (systemd's
  // STATUS=); where it does not (the SCM), the service logs that line instead.
  virtual bool ShowsStatusText() const { return false; }
  // Sets that line; nothing where the manager shows none.
  virtual void ReportStatusText(const std::string& /*text*/) {}
};

// The service manager of the platform being built: systemd on Linux
// (platform/Linux/SystemdServiceControl.h), the service control manager on Windows.
std::unique_ptr<IServiceControl> MakeServiceControl();

// Linux: blocks SIGINT and SIGTERM in the calling thread and every thread it starts afterwards,
// so that they arrive only where a StopSignalWatcher reads them. Call first thing in main.
// Windows: nothing (console events reach a StopSignalWatcher on a thread of their own).
void BlockStopSignals();

// Whether a stop request a StopSignalWatcher passed on is the console window closing (Windows:
// the process is ended about 5 s later, whatever it is doing). Linux: never.
bool ConsoleIsClosing(int signal);

// Windows: the console window closing ends the process as soon as the console's handler
// returns. From HoldConsoleClose on, a close waits (after telling the watcher, and 4.5 s at
// most) until ReleaseConsoleClose, so that the program's shutdown finishes first; also after
// the last watcher is gone. Linux: nothing (SIGTERM's watcher needs no grace).
void HoldConsoleClose();
void ReleaseConsoleClose();

// Calls onStop (on its own thread) when the console asks the program to stop, until destroyed.
// Linux: SIGINT or SIGTERM (the signal's number is passed), read through a signalfd; where one
// cannot be had, a handler on the watcher's thread (the only thread that does not block them)
// passes them on through a pipe. Windows: Ctrl-C, Ctrl-Break, and the console window closing
// (the console event's number is passed).
class StopSignalWatcher {
 public:
  explicit StopSignalWatcher(std::function<void(int signal)> onStop);
  ~StopSignalWatcher();
  StopSignalWatcher(const StopSignalWatcher&) = delete;
  StopSignalWatcher& operator=(const StopSignalWatcher&) = delete;

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

}  // namespace Platform
