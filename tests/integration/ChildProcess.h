#pragma once
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

// Marks every descriptor of this process above standard error close-on-exec, so that no child
// started afterwards inherits one: a listening socket a child kept open would keep a simulated
// service's port taken after the simulator stopped.
inline void KeepDescriptorsFromChildren() {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
    const int fd = std::stoi(entry.path().filename().string());
    if (fd > 2) fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC);
  }
}

// A child's environment: this process's, with the extra "NAME=value" entries replacing those of
// the same name, and a bare "NAME" removing it.
inline std::vector<std::string> ChildEnvironment(const std::vector<std::string>& extra) {
  const auto name = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
  std::vector<std::string> env;
  for (const auto& e : extra)
    if (e.find('=') != std::string::npos) env.push_back(e);
  for (char** e = environ; *e; ++e)
    if (std::none_of(extra.begin(), extra.end(), [&](const std::string& x) { return name(x) == name(*e); }))
      env.push_back(*e);
  return env;
}

// User and system CPU time a process has used, in milliseconds; -1 when unreadable.
inline long ProcessCpuMs(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  std::istringstream fields(line.substr(line.rfind(')') + 2));
  std::vector<std::string> all{std::istream_iterator<std::string>(fields), std::istream_iterator<std::string>()};
  return all.size() < 13 ? -1 : (std::stol(all[11]) + std::stol(all[12])) * 1000 / sysconf(_SC_CLK_TCK);
}

// A "Vm...:" figure of a process's status (VmRSS:, VmHWM:), in KiB; -1 when unreadable.
inline long ProcessKb(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind(field, 0) == 0) return std::stol(line.substr(field.size()));
  return -1;
}

// A program started by fork and exec. Its standard error goes to a pipe that the test reads
// line by line, or to `stderrFd` (and its standard output to `stdoutFd`, its standard input
// from `stdinFd`) when given.
struct ChildOptions {
  int stdoutFd = -1, stderrFd = -1, stdinFd = -1;
};

class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv,
               ChildOptions options = {}) {
    int fds[2] = {-1, -1};
    if (options.stderrFd < 0 && pipe2(fds, O_CLOEXEC) != 0) return;
    // Everything the child uses is made before fork.
    std::vector<std::string> env = ChildEnvironment(extraEnv), argsCopy = args;
    std::vector<char*> envp, argv;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    for (auto& a : argsCopy) argv.push_back(a.data());
    argv.push_back(nullptr);
    m_pid = fork();
    if (m_pid == 0) {
      if (options.stdinFd >= 0) dup2(options.stdinFd, 0);
      if (options.stdoutFd >= 0) dup2(options.stdoutFd, 1);
      dup2(options.stderrFd >= 0 ? options.stderrFd : fds[1], 2);
      execve(argv[0], argv.data(), envp.data());
      _exit(127);
    }
    if (fds[1] >= 0) close(fds[1]);
    m_stderr = fds[0];
    if (m_pid > 0) m_pidFd = static_cast<int>(syscall(SYS_pidfd_open, m_pid, 0));
  }
  ~ChildProcess() {
    if (m_pid > 0 && !m_status) {
      kill(m_pid, SIGKILL);
      Wait();
    }
    for (const int fd : {m_stderr, m_pidFd})
      if (fd >= 0) close(fd);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Started() const { return m_pid > 0 && m_pidFd >= 0; }
  pid_t Pid() const { return m_pid; }

  // Reads standard error until a line containing text arrives (true) or the pipe closes.
  bool WaitForLine(const std::string& text) {
    for (;;) {
      const size_t nl = m_buffer.find('\n');
      if (nl != std::string::npos) {
        const std::string line = m_buffer.substr(0, nl);
        m_buffer.erase(0, nl + 1);
        m_seen += line + "\n";
        if (line.find(text) != std::string::npos) return true;
        continue;
      }
      char chunk[1024];
      const ssize_t n = m_stderr < 0 ? 0 : read(m_stderr, chunk, sizeof chunk);
      if (n <= 0) return false;
      m_buffer.append(chunk, static_cast<size_t>(n));
    }
  }
  void Signal(int sig) { kill(m_pid, sig); }
  // The exit code, or -1 when the process did not exit normally.
  int Wait() { return *WaitExit(-1); }
  // The same, or nothing when the process still runs after timeoutMs.
  std::optional<int> WaitExit(int timeoutMs) {
    if (m_status || m_pid <= 0) return m_pid <= 0 ? std::optional<int>(-1) : m_status;
    pollfd p{m_pidFd, POLLIN, 0};
    if (m_pidFd >= 0 && poll(&p, 1, timeoutMs) != 1) return std::nullopt;
    int status = 0;
    while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return m_status;
  }
  const std::string& Seen() const { return m_seen; }

 private:
  pid_t m_pid = -1;
  int m_stderr = -1, m_pidFd = -1;
  std::optional<int> m_status;
  std::string m_buffer;
  std::string m_seen;
};
