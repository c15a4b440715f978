#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

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
  kControlShutdown = 5,
  kControlPause = 2,
};

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
};

// The service manager as the service host sees it. Every call answers false and fills
// error with the reason when it fails. Linux: systemd; tests: a fake.
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
  // controls to handler until serviceMain returns. False (with the reason) when this process
  // is not the service `name` as the service manager runs it (a process started by hand, even
  // from a shell that inherited the service's environment).
  virtual bool RunDispatcher(const std::string& name, const std::function<void()>& serviceMain,
                             const std::function<uint32_t(uint32_t control)>& handler, std::string& error) = 0;
  virtual void SleepMs(uint32_t ms) = 0;
};

// systemd: a unit file named after the service, systemctl, sd_notify, SIGTERM as stop.
// Install writes the unit to $OVANTA_UNIT_DIR (default /etc/systemd/system). A unit installed by
// a package (under /usr/local/lib, /usr/lib or /lib: systemd/system, or $OVANTA_PACKAGE_UNIT_DIR)
// counts as installed too; a changed binary path then goes into an overriding unit in the
// install directory, and uninstall removes only what install wrote. Package directories are
// looked at only when $OVANTA_UNIT_DIR is unset or $OVANTA_PACKAGE_UNIT_DIR is set.
//
// The dispatcher runs only in the service's own unit: systemd is asked which unit the process
// belongs to (unitOfThisProcess), since the variables systemd sets for a service (INVOCATION_ID,
// NOTIFY_SOCKET) are inherited by whatever a shell started from it runs.
using UnitOfProcess = std::function<bool(std::string& unit)>;
std::unique_ptr<IServiceControl> MakeSystemdServiceControl(UnitOfProcess unitOfThisProcess = {});

// The systemd system unit this process belongs to, as systemd's record of its control group
// says (sd_pid_get_unit); false when it belongs to none (started by hand, no systemd).
bool SystemdUnitOfThisProcess(std::string& unit);

// The unit name for a service name: "Ovanta Hardware" -> "ovanta-hardware.service".
std::string UnitName(const std::string& serviceName);

// The value of an ExecStart= line that runs the program at path without arguments: the path
// in double quotes, with '"' and '\' escaped by a backslash and '%' written as "%%", so that
// systemd neither splits it at spaces nor expands specifiers in it.
std::string SystemdExecStart(const std::string& path);
// The program path an ExecStart= value names, read as systemd reads it: specifiers' "%%" as
// "%", then the first word, unquoted and unescaped (a value written without quotes ends at
// the first space). Empty when there is none.
std::string SystemdExecPath(const std::string& execStart);
// Whether systemd runs a program at path: it must be absolute and, though the unit file can
// spell them, systemd refuses quotes, backslashes and control characters in a program's
// name. False with the reason otherwise.
bool SystemdAcceptsProgramPath(const std::string& path, std::string& why);

// Blocks SIGINT and SIGTERM in the calling thread and every thread it starts afterwards, so
// that they arrive only where a StopSignalWatcher reads them. Call first thing in main.
void BlockStopSignals();

// Calls onStop (on its own thread) when SIGINT or SIGTERM arrives, until destroyed. Reads the
// signals through a signalfd; where one cannot be had, a handler on the watcher's thread (the
// only thread that does not block them) passes them on through a pipe.
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
