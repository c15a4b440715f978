#pragma once
#include <functional>
#include <memory>
#include <string>

#include "platform/ServiceControl.h"

namespace Platform {

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

}  // namespace Platform
