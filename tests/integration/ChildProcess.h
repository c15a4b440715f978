#pragma once
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
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
  std::vector<std::string> env;
  for (const auto& e : extra)
    if (e.find('=') != std::string::npos) env.push_back(e);
  for (char** e = environ; *e; ++e) {
    const std::string entry(*e);
    const std::string name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const auto& x : extra) replaced = replaced || x.substr(0, x.find('=')) == name;
    if (!replaced) env.push_back(entry);
  }
  return env;
}

// A program started with its standard error on a pipe that the test reads line by line.
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv) {
    int fds[2];
    if (pipe(fds) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    std::vector<std::string> env = ChildEnvironment(extraEnv);
    std::vector<char*> envp, argv;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argsCopy = args;
    for (auto& a : argsCopy) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) m_pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    m_stderr = fds[0];
  }
  ~ChildProcess() {
    if (m_pid > 0 && !m_reaped) {
      kill(m_pid, SIGKILL);
      Wait();
    }
    if (m_stderr >= 0) close(m_stderr);
  }
  bool Started() const { return m_pid > 0; }
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
      const ssize_t n = read(m_stderr, chunk, sizeof chunk);
      if (n <= 0) return false;
      m_buffer.append(chunk, static_cast<size_t>(n));
    }
  }
  void Signal(int sig) { kill(m_pid, sig); }
  // The exit code, or -1 when the process did not exit normally.
  int Wait() {
    int status = 0;
    waitpid(m_pid, &status, 0);
    m_reaped = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  const std::string& Seen() const { return m_seen; }

 private:
  pid_t m_pid = -1;
  int m_stderr = -1;
  bool m_reaped = false;
  std::string m_buffer;
  std::string m_seen;
};
