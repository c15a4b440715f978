#include <signal.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/ServiceControl.h"
#include "platform/WaitEvent.h"

namespace Platform {

std::string UnitName(const std::string& serviceName) {
  std::string unit;
  for (char c : serviceName) unit += (c == ' ') ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return unit + ".service";
}

namespace {

std::string UnitDirectory() {
  const char* env = std::getenv("OVANTA_UNIT_DIR");
  return (env && *env) ? env : "/etc/systemd/system";
}

std::string UnitFile(const std::string& name) { return UnitDirectory() + "/" + UnitName(name); }

std::string UdevRulesFile(const std::string& name) {
  const char* env = std::getenv("OVANTA_UDEV_DIR");
  const std::string dir = (env && *env) ? env : "/etc/udev/rules.d";
  std::string unit = UnitName(name);
  return dir + "/60-" + unit.substr(0, unit.size() - std::strlen(".service")) + ".rules";
}

// Runs a program with arguments; output (stdout and stderr) goes to output.
int RunProgram(const std::vector<std::string>& argv, std::string& output) {
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
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
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
    if (line.rfind("ExecStart=", 0) == 0) return line.substr(10);
  return "";
}

// udev applies new rules to devices already plugged in only when told to; without a udev
// daemon (containers) these fail quietly and the rules apply from the next boot.
void ReloadUdev() {
  std::string ignored;
  RunProgram({"udevadm", "control", "--reload-rules"}, ignored);
  RunProgram({"udevadm", "trigger", "--subsystem-match=usb", "--subsystem-match=tty"}, ignored);
}

void InstallUdevRules(const std::string& name, const std::string& rules) {
  const std::filesystem::path file(UdevRulesFile(name));
  std::error_code ec;
  std::filesystem::create_directories(file.parent_path(), ec);
  std::ofstream(file, std::ios::trunc) << rules;
  ReloadUdev();
}

class SystemdServiceControl final : public IServiceControl {
 public:
  bool ModulePath(std::string& path, std::string& error) override {
    std::error_code ec;
    path = std::filesystem::read_symlink("/proc/self/exe", ec).string();
    if (ec) error = ec.message();
    return !ec;
  }

  bool Exists(const std::string& name, std::string& error) override {
    std::error_code ec;
    const bool exists = std::filesystem::exists(UnitFile(name), ec);
    if (ec) error = ec.message();
    return exists;
  }

  bool ConfiguredBinaryPath(const std::string& name, std::string& path, std::string& error) override {
    if (!Exists(name, error)) return false;
    path = ReadExecStart(UnitFile(name));
    return true;
  }

  bool Create(const ServiceConfig& config, std::string& error) override {
    std::ostringstream unit;
    unit << "[Unit]\n"
         << "Description=" << config.name << "\n"
         << "Documentation=man:ovanta-hardware(8)\n"
         << "After=network.target voxlet.service\n"
         << "Wants=network.target\n\n"
         << "[Service]\n"
         << "Type=notify\n"
         << "ExecStart=" << config.binaryPath << "\n"
         << "Restart=on-failure\n"
         << "TimeoutStopSec=10\n\n"
         << "[Install]\n"
         << "WantedBy=multi-user.target\n";
    if (!config.description.empty()) unit << "# " << config.description << "\n";
    std::error_code ec;
    std::filesystem::create_directories(UnitDirectory(), ec);
    {
      std::ofstream out(UnitFile(config.name), std::ios::trunc);
      out << unit.str();
      out.flush();
      if (!out) {
        error = "cannot write " + UnitFile(config.name) + ": " + strerror(errno);
        return false;
      }
    }
    if (!config.udevRules.empty()) InstallUdevRules(config.name, config.udevRules);
    if (Systemctl({"daemon-reload"}, error) && Systemctl({"enable", UnitName(config.name)}, error)) return true;
    // Not registered with systemd: leave no file behind that would make it look installed.
    std::filesystem::remove(UnitFile(config.name), ec);
    if (std::filesystem::remove(UdevRulesFile(config.name), ec)) ReloadUdev();
    return false;
  }

  bool ChangeBinaryPath(const std::string& name, const std::string& path, std::string& error) override {
    const std::string file = UnitFile(name);
    std::ifstream in(file);
    if (!in) {
      error = "cannot read " + file;
      return false;
    }
    std::ostringstream text;
    std::string line;
    while (std::getline(in, line)) text << (line.rfind("ExecStart=", 0) == 0 ? "ExecStart=" + path : line) << "\n";
    in.close();
    std::ofstream out(file, std::ios::trunc);
    out << text.str();
    out.flush();
    if (!out) {
      error = "cannot write " + file;
      return false;
    }
    return Systemctl({"daemon-reload"}, error);
  }

  bool Delete(const std::string& name, std::string& error) override {
    std::string ignored;
    Systemctl({"disable", UnitName(name)}, ignored);
    std::error_code ec;
    if (std::filesystem::remove(UdevRulesFile(name), ec)) ReloadUdev();
    if (!std::filesystem::remove(UnitFile(name), ec)) {
      error = ec ? ec.message() : "no unit file " + UnitFile(name);
      return false;
    }
    return Systemctl({"daemon-reload"}, error);
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

  bool RunDispatcher(const std::function<void()>& serviceMain, const std::function<uint32_t(uint32_t)>& handler,
                     std::string& error) override {
    // systemd marks the processes it starts; anything else was not started as the service.
    if (!std::getenv("INVOCATION_ID") && !std::getenv("NOTIFY_SOCKET")) {
      error = "The service process could not connect to the service controller.";
      return false;
    }
    CWaitEvent mainEnded;
    std::thread mainThread([&] {
      serviceMain();
      mainEnded.Set();
    });
    {
      StopSignalWatcher watcher([&](int signal) { (void)signal;
        handler(kControlStop); });
      mainEnded.Wait(-1);
    }
    mainThread.join();
    return true;
  }

  void SleepMs(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
};

}  // namespace

std::unique_ptr<IServiceControl> MakeSystemdServiceControl() { return std::make_unique<SystemdServiceControl>(); }

void BlockStopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

struct StopSignalWatcher::Impl {
  int signalFd = -1;
  CWaitEvent quit;
  std::thread thread;
};

StopSignalWatcher::StopSignalWatcher(std::function<void(int)> onStop) : m_impl(std::make_unique<Impl>()) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  m_impl->signalFd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
  m_impl->thread = std::thread([impl = m_impl.get(), onStop = std::move(onStop)] {
    const WaitHandle handles[] = {WaitHandle::Of(impl->quit), WaitHandle::Descriptor(impl->signalFd)};
    for (;;) {
      if (WaitForAny(handles, -1) != 1) return;
      signalfd_siginfo info{};
      if (read(impl->signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
        onStop(static_cast<int>(info.ssi_signo));
    }
  });
}

StopSignalWatcher::~StopSignalWatcher() {
  m_impl->quit.Set();
  m_impl->thread.join();
  if (m_impl->signalFd >= 0) close(m_impl->signalFd);
}

}  // namespace Platform
