#include "platform/Linux/SystemdServiceControl.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-login.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/AtomicFile.h"
#include "platform/WaitEvent.h"

namespace Platform {

std::string UnitName(const std::string& serviceName) {
  std::string unit;
  for (char c : serviceName) unit += (c == ' ') ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return unit + ".service";
}

std::string SystemdExecStart(const std::string& path) {
  std::string value = "\"";
  for (char c : path) {
    if (c == '"' || c == '\\') value += '\\';
    if (c == '%') value += '%';
    value += c;
  }
  return value + "\"";
}

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string SystemdExecPath(const std::string& execStart) {
  // systemd expands specifiers over the whole line first, then splits it into words.
  std::string line;
  for (size_t i = 0; i < execStart.size(); ++i) {
    line += execStart[i];
    if (execStart[i] == '%' && i + 1 < execStart.size() && execStart[i + 1] == '%') ++i;
  }
  size_t i = line.find_first_not_of(" \t");
  if (i == std::string::npos) return "";
  // Prefixes that change how the program is run, not which program.
  while (i < line.size() && std::strchr("-@:+!", line[i])) ++i;
  std::string word;
  char quote = 0;
  for (; i < line.size(); ++i) {
    const char c = line[i];
    if (!quote && (c == ' ' || c == '\t')) break;
    if (c == quote) {
      quote = 0;
      continue;
    }
    if (!quote && (c == '"' || c == '\'')) {
      quote = c;
      continue;
    }
    if (c != '\\' || i + 1 == line.size()) {
      word += c;
      continue;
    }
    const char e = line[++i];
    switch (e) {
      case 'n':
        word += '\n';
        break;
      case 't':
        word += '\t';
        break;
      case 'r':
        word += '\r';
        break;
      case 's':
        word += ' ';
        break;
      case 'x':
        if (i + 2 < line.size() && HexDigit(line[i + 1]) >= 0 && HexDigit(line[i + 2]) >= 0) {
          word += static_cast<char>(HexDigit(line[i + 1]) * 16 + HexDigit(line[i + 2]));
          i += 2;
        } else {
          word += e;
        }
        break;
      default:
        word += e;
        break;
    }
  }
  return word;
}

bool SystemdAcceptsProgramPath(const std::string& path, std::string& why) {
  if (path.empty() || path.front() != '/') {
    why = "the program's path " + path + " is not absolute";
    return false;
  }
  for (char c : path) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\'' || c == '\\' || u < 0x20 || u == 0x7f) {
      why = "systemd does not run a program whose path has a quote, a backslash or a control character: " + path;
      return false;
    }
  }
  return true;
}

namespace {

std::string UnitDirectory() {
  const char* env = std::getenv("OVANTA_UNIT_DIR");
  return (env && *env) ? env : "/etc/systemd/system";
}

// The unit file install writes and uninstall removes.
std::string UnitFile(const std::string& name) { return UnitDirectory() + "/" + UnitName(name); }

// Where a package puts units, in the order systemd prefers them. None when the install
// directory was chosen by hand and no package directory was: that unit is all there is.
std::vector<std::string> PackageUnitDirectories() {
  const char* package = std::getenv("OVANTA_PACKAGE_UNIT_DIR");
  if (package && *package) return {package};
  const char* own = std::getenv("OVANTA_UNIT_DIR");
  if (own && *own) return {};
  return {"/usr/local/lib/systemd/system", "/usr/lib/systemd/system", "/lib/systemd/system"};
}

bool FileExists(const std::string& file, std::string& error) {
  std::error_code ec;
  const bool exists = std::filesystem::exists(file, ec);
  if (ec) error = file + ": " + ec.message();
  return exists;
}

// A package's unit file for the service; empty when no package installed one.
std::string PackageUnitFile(const std::string& name, std::string& error) {
  for (const auto& dir : PackageUnitDirectories()) {
    const std::string file = dir + "/" + UnitName(name);
    if (FileExists(file, error)) return file;
  }
  return "";
}

// The unit file systemd loads for the service: the one install wrote, which overrides a
// package's. Empty when there is none.
std::string LoadedUnitFile(const std::string& name, std::string& error) {
  if (FileExists(UnitFile(name), error)) return UnitFile(name);
  return PackageUnitFile(name, error);
}

// The unit text for a program: the template with the ExecStart= value in its place.
bool MakeUnitText(const std::string& unitTemplate, const std::string& binaryPath, std::string& text,
                  std::string& error) {
  const std::string placeholder = kExecStartPlaceholder;
  if (unitTemplate.find(placeholder) == std::string::npos) {
    error = "the unit text has no place for the program's path (" + placeholder + ")";
    return false;
  }
  text = unitTemplate;
  const std::string value = SystemdExecStart(binaryPath);
  for (size_t at = text.find(placeholder); at != std::string::npos; at = text.find(placeholder, at + value.size()))
    text.replace(at, placeholder.size(), value);
  return true;
}

std::string UdevRulesFile(const std::string& name) {
  const char* env = std::getenv("OVANTA_UDEV_DIR");
  const std::string dir = (env && *env) ? env : "/etc/udev/rules.d";
  std::string unit = UnitName(name);
  return dir + "/60-" + unit.substr(0, unit.size() - std::strlen(".service")) + ".rules";
}

// Runs a program with arguments; output (stdout and stderr) goes to output.
int RunProgram(const std::vector<std::string>& argv, std::string& output) {
  // Everything the child needs is made before fork: a child of a threaded process may only
  // make async-signal-safe calls until it execs.
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) {
    output = strerror(errno);
    return -1;
  }
  const pid_t pid = fork();
  if (pid < 0) {
    output = strerror(errno);
    close(pipeFds[0]);
    close(pipeFds[1]);
    return -1;
  }
  if (pid == 0) {
    dup2(pipeFds[1], 1);
    dup2(pipeFds[1], 2);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // This process ignores SIGPIPE; an ignored signal would stay ignored across exec.
    signal(SIGPIPE, SIG_DFL);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(pipeFds[1]);
  char buffer[512];
  ssize_t n;
  while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0) output.append(buffer, static_cast<size_t>(n));
  close(pipeFds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  while (!output.empty() && (output.back() == '\n' || output.back() == '\r')) output.pop_back();
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return -1;
}

bool Systemctl(const std::vector<std::string>& args, std::string& error, std::string* out = nullptr) {
  std::vector<std::string> argv{"systemctl"};
  argv.insert(argv.end(), args.begin(), args.end());
  std::string output;
  const int rc = RunProgram(argv, output);
  if (out) *out = output;
  if (rc == 0) return true;
  error = output.empty() ? ("systemctl exited with " + std::to_string(rc)) : output;
  return false;
}

std::string ReadExecStart(const std::string& file) {
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("ExecStart=", 0) == 0) return SystemdExecPath(line.substr(10));
  return "";
}

// udev applies new rules to devices already plugged in only when told to; without a udev
// daemon (containers) these fail quietly and the rules apply from the next boot.
void ReloadUdev() {
  std::string ignored;
  RunProgram({"udevadm", "control", "--reload-rules"}, ignored);
  RunProgram({"udevadm", "trigger", "--subsystem-match=usb", "--subsystem-match=tty"}, ignored);
}

bool InstallUdevRules(const std::string& name, const std::string& rules, std::string& error) {
  const std::filesystem::path file(UdevRulesFile(name));
  std::error_code ec;
  std::filesystem::create_directories(file.parent_path(), ec);
  if (!ReplaceFileAtomically(file.string(), rules, error)) return false;
  ReloadUdev();
  return true;
}

class SystemdServiceControl final : public IServiceControl {
 public:
  explicit SystemdServiceControl(UnitOfProcess unitOfThisProcess) : m_unitOfThisProcess(std::move(unitOfThisProcess)) {}

  bool ModulePath(std::string& path, std::string& error) override {
    std::error_code ec;
    path = std::filesystem::read_symlink("/proc/self/exe", ec).string();
    if (ec) error = ec.message();
    return !ec;
  }

  bool Exists(const std::string& name, std::string& error) override { return !LoadedUnitFile(name, error).empty(); }

  bool ConfiguredBinaryPath(const std::string& name, std::string& path, std::string& error) override {
    const std::string file = LoadedUnitFile(name, error);
    if (file.empty()) return false;
    path = ReadExecStart(file);
    return true;
  }

  bool Create(const ServiceConfig& config, std::string& error) override {
    if (!SystemdAcceptsProgramPath(config.binaryPath, error)) return false;
    std::string unit;
    if (!MakeUnitText(config.unitTemplate, config.binaryPath, unit, error)) return false;
    std::error_code ec;
    std::filesystem::create_directories(UnitDirectory(), ec);
    if (!ReplaceFileAtomically(UnitFile(config.name), unit, error)) return false;
    bool rulesWritten = false;
    if (!config.udevRules.empty()) {
      if (!InstallUdevRules(config.name, config.udevRules, error)) {
        std::filesystem::remove(UnitFile(config.name), ec);
        return false;
      }
      rulesWritten = true;
    }
    if (Systemctl({"daemon-reload"}, error) && Systemctl({"enable", UnitName(config.name)}, error)) return true;
    // Not registered with systemd: leave no file behind that would make it look installed.
    std::filesystem::remove(UnitFile(config.name), ec);
    if (rulesWritten && std::filesystem::remove(UdevRulesFile(config.name), ec)) ReloadUdev();
    return false;
  }

  // A package's unit is left as it is: the changed copy goes where install writes, and
  // overrides it.
  bool ChangeBinaryPath(const std::string& name, const std::string& path, std::string& error) override {
    if (!SystemdAcceptsProgramPath(path, error)) return false;
    const std::string file = LoadedUnitFile(name, error);
    if (file.empty()) {
      if (error.empty()) error = "no unit file " + UnitFile(name);
      return false;
    }
    std::ifstream in(file);
    if (!in) {
      error = "cannot read " + file;
      return false;
    }
    std::ostringstream text;
    std::string line;
    while (std::getline(in, line))
      text << (line.rfind("ExecStart=", 0) == 0 ? "ExecStart=" + SystemdExecStart(path) : line) << "\n";
    if (in.bad()) {
      error = "cannot read " + file;
      return false;
    }
    in.close();
    std::error_code ec;
    std::filesystem::create_directories(UnitDirectory(), ec);
    if (!ReplaceFileAtomically(UnitFile(name), text.str(), error)) return false;
    return Systemctl({"daemon-reload"}, error);
  }

  // Removes what install wrote. A package's unit stays, enabled as the package left it: only
  // removing the package uninstalls it.
  bool Delete(const std::string& name, std::string& error) override {
    std::string ignored;
    const std::string packaged = PackageUnitFile(name, ignored);
    const std::string packageNote =
        UnitName(name) + " is installed by a package (" + packaged + "): remove the package to uninstall it";
    if (!packaged.empty() && !FileExists(UnitFile(name), ignored)) {
      error = packageNote;
      return false;
    }
    if (packaged.empty()) Systemctl({"disable", UnitName(name)}, ignored);
    std::error_code ec;
    if (std::filesystem::remove(UdevRulesFile(name), ec)) ReloadUdev();
    if (!std::filesystem::remove(UnitFile(name), ec)) {
      error = ec ? ec.message() : "no unit file " + UnitFile(name);
      return false;
    }
    if (!Systemctl({"daemon-reload"}, error)) return false;
    if (packaged.empty()) return true;
    error = "removed " + UnitFile(name) + ", but " + packageNote;
    return false;
  }

  bool QueryState(const std::string& name, uint32_t& state, std::string& error) override {
    std::string out;
    // is-active exits non-zero for inactive units; its output is what counts.
    Systemctl({"is-active", UnitName(name)}, error, &out);
    if (out == "active" || out == "reloading") {
      state = kServiceRunning;
    } else if (out == "activating") {
      state = kServiceStartPending;
    } else if (out == "deactivating") {
      state = kServiceStopPending;
    } else if (out == "inactive" || out == "failed" || out == "unknown") {
      state = kServiceStopped;
    } else {
      if (error.empty()) error = out;
      return false;
    }
    error.clear();
    return true;
  }

  bool Start(const std::string& name, std::string& error) override {
    return Systemctl({"start", "--no-block", UnitName(name)}, error);
  }

  bool ControlStop(const std::string& name, std::string& error) override {
    return Systemctl({"stop", "--no-block", UnitName(name)}, error);
  }

  bool ReportStatus(uint32_t state, uint32_t waitHintMs, std::string& error) override {
    std::string message;
    switch (state) {
      case kServiceRunning:
        message = "READY=1\nSTATUS=Running";
        break;
      case kServiceStopPending:
        message = "STOPPING=1\nSTATUS=Stopping\nEXTEND_TIMEOUT_USEC=" + std::to_string(uint64_t{waitHintMs} * 1000);
        break;
      case kServiceStopped:
        message = "STATUS=Stopped";
        break;
      default:
        message = "STATUS=State " + std::to_string(state);
        break;
    }
    const int rc = sd_notify(0, message.c_str());
    if (rc < 0) {
      error = strerror(-rc);
      return false;
    }
    return true;
  }

  bool ShowsStatusText() const override { return true; }
  void ReportStatusText(const std::string& text) override {
    // Without a notify socket (not run by systemd) this does nothing.
    sd_notify(0, ("STATUS=" + text).c_str());
  }

  bool RunDispatcher(const std::string& name, const std::function<void()>& serviceMain,
                     const ServiceControlCallback& handler, std::string& error) override {
    // Only the service's own unit runs it; the environment a shell inherited proves nothing.
    std::string unit;
    if (!m_unitOfThisProcess(unit) || unit != UnitName(name)) {
      error = "The service process could not connect to the service controller.";
      return false;
    }
    CWaitEvent mainEnded;
    std::thread mainThread([&] {
      serviceMain();
      mainEnded.Set();
    });
    {
      StopSignalWatcher watcher([&](int signal) {
        (void)signal;
        handler(ControlRequest(kControlStop));
      });
      mainEnded.Wait(-1);
    }
    mainThread.join();
    return true;
  }

  void SleepMs(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

 private:
  UnitOfProcess m_unitOfThisProcess;
};

}  // namespace

bool SystemdUnitOfThisProcess(std::string& unit) {
  char* name = nullptr;
  if (sd_pid_get_unit(0, &name) < 0 || !name) return false;
  unit = name;
  free(name);
  return true;
}

std::unique_ptr<IServiceControl> MakeSystemdServiceControl(UnitOfProcess unitOfThisProcess) {
  return std::make_unique<SystemdServiceControl>(unitOfThisProcess ? std::move(unitOfThisProcess)
                                                                   : SystemdUnitOfThisProcess);
}

std::unique_ptr<IServiceControl> MakeServiceControl() { return MakeSystemdServiceControl(); }

namespace {

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

// Where the fallback handler writes the signal's number: the pipe of the one watcher that
// has no signalfd (-1 when there is none).
std::atomic<int> g_stopPipe{-1};

void PassOnStopSignal(int signal) {
  const int savedErrno = errno;
  const int fd = g_stopPipe.load();
  if (fd >= 0) {
    const auto byte = static_cast<unsigned char>(signal);
    // A full pipe already holds a stop that has not been read yet.
    [[maybe_unused]] const ssize_t written = write(fd, &byte, 1);
  }
  errno = savedErrno;
}

}  // namespace

void BlockStopSignals() {
  const sigset_t set = StopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

struct StopSignalWatcher::Impl {
  int signalFd = -1;
  // The fallback: the handler writes to pipe[1], the watcher thread reads pipe[0].
  int pipe[2] = {-1, -1};
  struct sigaction oldInt {};
  struct sigaction oldTerm {};
  CWaitEvent quit;
  std::thread thread;

  // Installs the handler; false when not even a pipe can be had.
  bool StartFallback() {
    if (pipe2(pipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    int expected = -1;
    if (!g_stopPipe.compare_exchange_strong(expected, pipe[1])) {
      // Another watcher owns the handler already; its thread takes the signals.
      close(pipe[0]);
      close(pipe[1]);
      pipe[0] = pipe[1] = -1;
      return true;
    }
    struct sigaction action {};
    action.sa_handler = PassOnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, &oldInt);
    sigaction(SIGTERM, &action, &oldTerm);
    return true;
  }
  void StopFallback() {
    if (pipe[1] < 0) return;
    sigaction(SIGINT, &oldInt, nullptr);
    sigaction(SIGTERM, &oldTerm, nullptr);
    g_stopPipe = -1;
    close(pipe[0]);
    close(pipe[1]);
  }
};

StopSignalWatcher::StopSignalWatcher(std::function<void(int)> onStop) : m_impl(std::make_unique<Impl>()) {
  const sigset_t set = StopSignals();
  m_impl->signalFd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
  if (m_impl->signalFd < 0 && !m_impl->StartFallback()) {
    // Neither way can be had: let the signals end this process as they would by default.
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  }
  m_impl->thread = std::thread([impl = m_impl.get(), onStop = std::move(onStop)] {
    const bool viaPipe = impl->signalFd < 0;
    const int fd = viaPipe ? impl->pipe[0] : impl->signalFd;
    if (fd < 0) {
      impl->quit.Wait(-1);
      return;
    }
    if (viaPipe) {
      // The stop signals reach the handler on this thread only.
      const sigset_t stops = StopSignals();
      pthread_sigmask(SIG_UNBLOCK, &stops, nullptr);
    }
    const WaitHandle handles[] = {WaitHandle::Of(impl->quit), WaitHandle::Descriptor(fd)};
    for (;;) {
      if (WaitForAny(handles, -1) != 1) return;
      if (viaPipe) {
        unsigned char signal = 0;
        while (read(fd, &signal, 1) == 1) onStop(signal);
      } else {
        signalfd_siginfo info{};
        if (read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) onStop(static_cast<int>(info.ssi_signo));
      }
    }
  });
}

StopSignalWatcher::~StopSignalWatcher() {
  m_impl->quit.Set();
  m_impl->thread.join();
  if (m_impl->signalFd >= 0) close(m_impl->signalFd);
  m_impl->StopFallback();
}

bool ConsoleIsClosing(int) { return false; }
void HoldConsoleClose() {}
void ReleaseConsoleClose() {}

}  // namespace Platform
