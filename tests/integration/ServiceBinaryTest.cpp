#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/syscall.h>

#include <cctype>
#include <functional>
#include <optional>
#include <sstream>

#include "tests/integration/ChildProcess.h"
#include "tests/platform/SyscallFailure.h"
#include "tests/service/TestFiles.h"

namespace {

constexpr int kDeadlineMs = 60000;

// A program started by fork and exec, so that the child can be set up first: its standard
// output and error, and system calls made to fail.
class Process {
 public:
  Process(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv, int stdoutFd, int stderrFd,
          const SyscallFailure* failure = nullptr)
      : m_args(args), m_env(ChildEnvironment(extraEnv)) {
    // Everything the child uses is made before fork.
    std::vector<char*> argv, envp;
    for (auto& a : m_args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : m_env) envp.push_back(e.data());
    envp.push_back(nullptr);
    m_pid = fork();
    if (m_pid == 0) {
      if (stdoutFd >= 0) dup2(stdoutFd, 1);
      if (stderrFd >= 0) dup2(stderrFd, 2);
      if (failure && !failure->Install()) _exit(kNoFilter);
      execve(argv[0], argv.data(), envp.data());
      _exit(127);
    }
    if (m_pid > 0) m_pidFd = static_cast<int>(syscall(SYS_pidfd_open, m_pid, 0));
  }
  ~Process() {
    if (m_pid > 0 && !m_status) {
      kill(m_pid, SIGKILL);
      Reap();
    }
    if (m_pidFd >= 0) close(m_pidFd);
  }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  bool Started() const { return m_pid > 0 && m_pidFd >= 0; }
  void Signal(int signal) { kill(m_pid, signal); }

  // The exit code once the process has ended (-1 when a signal ended it); nothing when it is
  // still running after timeoutMs.
  std::optional<int> WaitExit(int timeoutMs = kDeadlineMs) {
    if (m_status) return m_status;
    pollfd p{m_pidFd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) != 1) return std::nullopt;
    Reap();
    return m_status;
  }
  // Checks condition while the process runs, between short waits for its end, until it holds
  // (true), or the process ends or the deadline passes (false).
  bool WaitUntil(const std::function<bool()>& condition) {
    for (int waited = 0; waited < kDeadlineMs; waited += 20) {
      if (condition()) return true;
      if (WaitExit(20)) return condition();
    }
    return false;
  }

  static constexpr int kNoFilter = 99;  // the child could not install its system call filter

 private:
  void Reap() {
    int status = 0;
    while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::vector<std::string> m_args, m_env;
  pid_t m_pid = -1;
  int m_pidFd = -1;
  std::optional<int> m_status;
};

// A program run to its end with its standard output and error kept.
struct Finished {
  std::optional<int> status;
  std::string out, err;
};

Finished RunToEnd(const TempDir& dir, const std::vector<std::string>& args, const std::vector<std::string>& env) {
  const std::string outFile = dir.File("run.out"), errFile = dir.File("run.err");
  const int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  Finished finished;
  {
    Process process(args, env, out, err);
    finished.status = process.WaitExit();
  }
  close(out);
  close(err);
  finished.out = ReadFile(outFile);
  finished.err = ReadFile(errFile);
  return finished;
}

// Where a child's console output goes when the test does not read it.
class DevNull {
 public:
  DevNull() : m_fd(open("/dev/null", O_WRONLY | O_CLOEXEC)) {}
  ~DevNull() {
    if (m_fd >= 0) close(m_fd);
  }
  DevNull(const DevNull&) = delete;
  DevNull& operator=(const DevNull&) = delete;
  int Fd() const { return m_fd; }

 private:
  int m_fd;
};

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class ServiceBinaryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    logPath = dir.File("service.log");
    WriteFile(dir.File("registry.ini"),
              "[HKEY_LM\\SOFTWARE\\Vantrel\\Voxlet\\HardwareService]\nLog20Location=" + logPath + "\nLogFlags=17\n");
  }
  std::vector<std::string> Env() const {
    return {"OVANTA_REGISTRY=" + dir.File("registry.ini"), "OVANTA_SYSTEM_DIR=" + dir.File("system"),
            "OVANTA_UNIT_DIR=" + dir.File("units")};
  }

  TempDir dir;
  std::string logPath;
};

TEST_F(ServiceBinaryTest, ConsoleModeRunsUntilInterruptedAndShutsDownInOrder) {
  ChildProcess service({OVANTA_HARDWARE_EXE, "-d"}, Env());
  ASSERT_TRUE(service.Started());
  ASSERT_TRUE(service.WaitForLine("CReceiverManager::Run started")) << service.Seen();
  // Before any log line: the files this run uses.
  EXPECT_EQ(service.Seen().substr(0, service.Seen().find('\n')),
            "ovanta-hardware: log file " + logPath + ", registry store " + dir.File("registry.ini"));
  service.Signal(SIGINT);
  ASSERT_TRUE(service.WaitForLine("Receiver service stopped.")) << service.Seen();
  EXPECT_EQ(service.Wait(), 0);

  const std::string log = ReadFile(logPath);
  const auto starting = log.find("Receiver service starting.");
  const auto debugging = log.find("Command Line:-->-d<-- ...Debugging the service");
  const auto stopping = log.find("CServiceEventHandler::Stop");
  const auto complete = log.find("CReceiverManager::Run complete");
  const auto saving = log.find("Saving settings.");
  const auto stopped = log.find("Receiver service stopped.");
  ASSERT_NE(starting, std::string::npos) << log;
  ASSERT_NE(stopped, std::string::npos) << log;
  EXPECT_LT(starting, debugging);
  EXPECT_LT(debugging, stopping);
  EXPECT_LT(stopping, complete);
  EXPECT_LT(complete, saving);
  EXPECT_LT(saving, stopped);
  // A normal shutdown writes the settings back under the preference store's key.
  const std::string registry = ReadFile(dir.File("registry.ini"));
  EXPECT_NE(registry.find("[HKEY_LM\\SOFTWARE\\Vantrel\\Voxlet\\HardwareService\\com.vantrel.Preferences]"),
            std::string::npos);
  EXPECT_NE(registry.find("LogFlags=17"), std::string::npos);
}

// What the binary answers on the terminal without running as the service: the exit code, the
// stream the answer goes to (the texts themselves are AnswerOnTerminal's tests), and no log
// written nor setting saved. "-nologging" alone takes the service's way, not installed here.
TEST_F(ServiceBinaryTest, TerminalAnswersExitWithTheirCodeAndTouchNothing) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out, err;  // how standard output starts; what standard error contains
  };
  const std::string usage = "Usage: ovanta-hardware ";
  const Case cases[] = {
      {{"-h"}, 0, usage, ""},
      {{"--help"}, 0, usage, ""},
      {{"--version"}, 0, "ovanta-hardware ", ""},
      {{"-x", "-nologging"}, 2, "", "unknown switch '-x'"},
      {{"--debug", "-nologging"}, 2, "", "unknown switch '--debug'"},
      {{"-NOLOGGING", "-nologging"}, 2, "", "unknown switch '-NOLOGGING'"},
      {{"-nologging"}, 255, "", ""},
  };
  const std::string registry = ReadFile(dir.File("registry.ini"));
  for (const Case& c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), OVANTA_HARDWARE_EXE);
    const Finished run = RunToEnd(dir, args, Env());
    EXPECT_EQ(run.status, std::optional<int>(c.status)) << c.args[0];
    EXPECT_EQ(run.out.rfind(c.out, 0), 0u) << run.out;
    EXPECT_EQ(run.out.empty(), c.out.empty()) << run.out;
    EXPECT_TRUE(Contains(run.err, c.err)) << run.err;
    EXPECT_TRUE(c.status != 2 || Contains(run.err, usage)) << run.err;
    EXPECT_EQ(run.err.empty(), c.err.empty()) << run.err;
    EXPECT_TRUE(c.args[0] != "--version" || Contains(run.out, " (commit ")) << run.out;
    EXPECT_FALSE(std::filesystem::exists(logPath)) << c.args[0];
    EXPECT_TRUE(c.status == 255 || ReadFile(dir.File("registry.ini")) == registry) << c.args[0];
  }
}

// The console may go away while the service runs: writes to a closed standard error must not
// end it.
TEST_F(ServiceBinaryTest, AClosedStandardErrorDoesNotEndTheConsoleMode) {
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  close(fds[0]);
  Process service({OVANTA_HARDWARE_EXE, "-d"}, Env(), -1, fds[1]);
  close(fds[1]);
  ASSERT_TRUE(service.Started());
  ASSERT_TRUE(service.WaitUntil([&] { return Contains(ReadFile(logPath), "CReceiverManager::Run started"); }))
      << ReadFile(logPath);
  service.Signal(SIGTERM);
  EXPECT_EQ(service.WaitExit(), std::optional<int>(0));
  EXPECT_TRUE(Contains(ReadFile(logPath), "Receiver service stopped."));
}

// Where no signalfd can be had, SIGTERM and SIGINT still reach the service.
TEST_F(ServiceBinaryTest, StopSignalsStopTheServiceWithoutASignalfd) {
#ifdef SYS_signalfd
  const SyscallFailure noSignalfd({SYS_signalfd4, SYS_signalfd}, ENOSYS);
#else
  const SyscallFailure noSignalfd({SYS_signalfd4}, ENOSYS);
#endif
  if (!noSignalfd.Supported()) GTEST_SKIP() << "no seccomp filter for this architecture";
  const DevNull quiet;
  for (const int signal : {SIGTERM, SIGINT}) {
    std::filesystem::remove(logPath);
    Process service({OVANTA_HARDWARE_EXE, "-d"}, Env(), -1, quiet.Fd(), &noSignalfd);
    ASSERT_TRUE(service.Started());
    const bool running =
        service.WaitUntil([&] { return Contains(ReadFile(logPath), "CReceiverManager::Run started"); });
    if (service.WaitExit(0) == std::optional<int>(Process::kNoFilter)) GTEST_SKIP() << "seccomp refused here";
    ASSERT_TRUE(running) << ReadFile(logPath);
    service.Signal(signal);
    EXPECT_EQ(service.WaitExit(), std::optional<int>(0)) << "signal " << signal << " did not stop the service";
    EXPECT_TRUE(Contains(ReadFile(logPath), "Receiver service stopped.")) << ReadFile(logPath);
  }
}

}  // namespace

namespace {

bool SystemdRunning() { return std::filesystem::exists("/run/systemd/system"); }

// A systemctl that records its arguments and answers like systemd with the unit stopped.
std::string FakeSystemctl(const TempDir& dir) {
  const std::string bin = dir.File("bin");
  std::filesystem::create_directories(bin);
  WriteFile(bin + "/systemctl", "#!/bin/sh\necho \"$@\" >> " + dir.File("systemctl.calls") +
                                    "\ncase \"$1\" in is-active) echo inactive; exit 3;; esac\nexit 0\n");
  std::filesystem::permissions(bin + "/systemctl", std::filesystem::perms::owner_all);
  return "PATH=" + bin + ":" + std::getenv("PATH");
}

TEST_F(ServiceBinaryTest, InstallAndUninstallManageTheUnitAndTheUdevRules) {
  std::vector<std::string> env = Env();
  env.push_back("OVANTA_UDEV_DIR=" + dir.File("rules"));
  env.push_back(FakeSystemctl(dir));
  const std::string unit = dir.File("units") + "/ovanta-hardware.service";
  const std::string rules = dir.File("rules") + "/60-ovanta-hardware.rules";
  {
    ChildProcess install({OVANTA_HARDWARE_EXE, "-i"}, env);
    EXPECT_EQ(install.Wait(), 0);
  }
  EXPECT_NE(ReadFile(logPath).find("The service installed successfully"), std::string::npos) << ReadFile(logPath);
  const std::string unitText = ReadFile(unit);
  EXPECT_NE(unitText.find("Type=notify"), std::string::npos);
  EXPECT_NE(unitText.find(std::string("ExecStart=\"") + OVANTA_HARDWARE_EXE + "\"\n"), std::string::npos) << unitText;
  EXPECT_NE(unitText.find("Documentation=man:ovanta-hardware(8)\n"), std::string::npos) << unitText;
  // A service is ordered after the network, but does not pull it in.
  EXPECT_NE(unitText.find("After=network.target"), std::string::npos) << unitText;
  EXPECT_EQ(unitText.find("Wants=network.target"), std::string::npos) << unitText;
  const std::string ruleText = ReadFile(rules);
  EXPECT_NE(ruleText.find("ATTR{idProduct}==\"3000|0051\""), std::string::npos);
  EXPECT_NE(ruleText.find("ENV{ID_MM_DEVICE_IGNORE}=\"1\""), std::string::npos);
  const std::string calls = ReadFile(dir.File("systemctl.calls"));
  EXPECT_NE(calls.find("enable ovanta-hardware.service"), std::string::npos);
  EXPECT_NE(calls.find("start --no-block ovanta-hardware.service"), std::string::npos);

  {
    ChildProcess uninstall({OVANTA_HARDWARE_EXE, "-u"}, env);
    EXPECT_EQ(uninstall.Wait(), 0);
  }
  EXPECT_FALSE(std::filesystem::exists(unit));
  EXPECT_FALSE(std::filesystem::exists(rules));
  EXPECT_NE(ReadFile(dir.File("systemctl.calls")).find("disable ovanta-hardware.service"), std::string::npos);
}

TEST_F(ServiceBinaryTest, InstallWritesTheUnitAndUdevRulesOrLeavesNothingWhenSystemdRefuses) {
  std::vector<std::string> env = Env();
  env.push_back("OVANTA_UDEV_DIR=" + dir.File("rules"));
  ChildProcess install({OVANTA_HARDWARE_EXE, "-i"}, env);
  EXPECT_EQ(install.Wait(), 0);
  const std::string log = ReadFile(logPath);
  EXPECT_NE(log.find("Command Line:-->-i<-- ...Installing the service"), std::string::npos);
  const std::string unit = dir.File("units") + "/ovanta-hardware.service";
  const std::string rules = dir.File("rules") + "/60-ovanta-hardware.rules";
  if (SystemdRunning()) {
    // Only where this test may own the machine's systemd: a temporary unit directory is not
    // one systemd reads, so enabling fails there too; what counts is that nothing is left half-done.
    GTEST_SKIP() << "systemd is running; installing is checked by hand on such machines";
  }
  EXPECT_NE(log.find("CreateService failed = "), std::string::npos) << log;
  EXPECT_FALSE(std::filesystem::exists(unit));
  EXPECT_FALSE(std::filesystem::exists(rules));
  // The settings are not written back after a management switch.
  EXPECT_EQ(ReadFile(dir.File("registry.ini")).find("com.vantrel.Preferences"), std::string::npos);
}

// The executable in the folder `name` of dir (a path that systemd would split at a space or
// expand at a "%"): a hard link (or a copy); /proc/self/exe names the link it was run by.
std::string ExecutableIn(const TempDir& dir, const std::string& name) {
  const std::string folder = dir.File(name);
  std::filesystem::create_directories(folder);
  const std::string exe = folder + "/ovanta-hardware";
  std::error_code ec;
  std::filesystem::create_hard_link(OVANTA_HARDWARE_EXE, exe, ec);
  if (ec) std::filesystem::copy_file(OVANTA_HARDWARE_EXE, exe, ec);
  return ec ? "" : exe;
}

TEST_F(ServiceBinaryTest, AnExecutablePathWithASpaceAndAPercentSignIsInstalledAsSystemdReadsIt) {
  std::vector<std::string> env = Env();
  env.push_back("OVANTA_UDEV_DIR=" + dir.File("rules"));
  env.push_back(FakeSystemctl(dir));
  // Not a process systemd started: a run without switches stops after the is-installed check.
  env.push_back("INVOCATION_ID");
  env.push_back("NOTIFY_SOCKET");
  const std::string unit = dir.File("units") + "/ovanta-hardware.service";
  const std::string awkward = ExecutableIn(dir, "bin dir %i");
  ASSERT_FALSE(awkward.empty());
  const std::string quoted = "ExecStart=\"" + dir.File("bin dir %%i") + "/ovanta-hardware\"\n";

  // Installed from the build directory, then again from the awkward one: the second install
  // points the unit at the new place.
  EXPECT_EQ(RunToEnd(dir, {OVANTA_HARDWARE_EXE, "-i"}, env).status, std::optional<int>(0));
  ASSERT_TRUE(std::filesystem::exists(unit)) << ReadFile(logPath);
  EXPECT_EQ(RunToEnd(dir, {awkward, "-i"}, env).status, std::optional<int>(0));
  EXPECT_TRUE(Contains(ReadFile(unit), quoted)) << ReadFile(unit);

  // The service's own is-installed check finds it where it is, and only there.
  std::filesystem::remove(logPath);
  EXPECT_EQ(RunToEnd(dir, {awkward}, env).status, std::optional<int>(255));
  EXPECT_TRUE(Contains(ReadFile(logPath), "StartServiceCtrlDispatcher failed")) << ReadFile(logPath);
  EXPECT_FALSE(Contains(ReadFile(logPath), "different location")) << ReadFile(logPath);
  EXPECT_EQ(RunToEnd(dir, {OVANTA_HARDWARE_EXE}, env).status, std::optional<int>(255));
  EXPECT_TRUE(Contains(ReadFile(logPath), "The service is installed, but in a different location"));

  // Installing again from where the unit points changes nothing in it.
  const std::string before = ReadFile(unit);
  EXPECT_EQ(RunToEnd(dir, {awkward, "-i"}, env).status, std::optional<int>(0));
  EXPECT_EQ(ReadFile(unit), before);
  const std::vector<std::string> leftovers = [&] {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.File("units")))
      names.push_back(entry.path().filename().string());
    return names;
  }();
  EXPECT_EQ(leftovers, std::vector<std::string>{"ovanta-hardware.service"});

  // systemd itself: the program named by ExecStart= exists, and so does the manual page named
  // by Documentation= (found through MANPATH).
  if (RunToEnd(dir, {"/bin/sh", "-c", "command -v systemd-analyze"}, {}).status != std::optional<int>(0))
    GTEST_SKIP() << "systemd-analyze is not installed";
  const Finished verify = RunToEnd(dir, {"/bin/sh", "-c", "systemd-analyze verify \"$0\" 2>&1", unit},
                                   {std::string("MANPATH=") + OVANTA_MAN_DIR});
  EXPECT_EQ(verify.status, std::optional<int>(0)) << verify.out << verify.err << ReadFile(unit);
  EXPECT_FALSE(Contains(verify.out, "ovanta-hardware")) << verify.out;
}

TEST_F(ServiceBinaryTest, APathSystemdWouldNotRunIsNotInstalled) {
  std::vector<std::string> env = Env();
  env.push_back("OVANTA_UDEV_DIR=" + dir.File("rules"));
  env.push_back(FakeSystemctl(dir));
  const std::string quoted = ExecutableIn(dir, "it's");
  ASSERT_FALSE(quoted.empty());
  EXPECT_EQ(RunToEnd(dir, {quoted, "-i"}, env).status, std::optional<int>(0));
  EXPECT_TRUE(Contains(ReadFile(logPath), "CreateService failed = systemd does not run a program whose path"))
      << ReadFile(logPath);
  EXPECT_FALSE(std::filesystem::exists(dir.File("units") + "/ovanta-hardware.service"));
  EXPECT_FALSE(std::filesystem::exists(dir.File("rules") + "/60-ovanta-hardware.rules"));
}

// Each manual page renders without a warning and names every switch or command its program's
// own help lists.
TEST(ManualPages, RenderCleanlyAndCoverEverySwitchOfTheirProgram) {
  TempDir dir;
  if (RunToEnd(dir, {"/bin/sh", "-c", "command -v man"}, {}).status != std::optional<int>(0))
    GTEST_SKIP() << "man is not installed";
  struct Page {
    std::string file, program;
    // How the help lists a switch or command: the first word of its indented lines.
  } pages[] = {{std::string(OVANTA_MAN_DIR) + "/man8/ovanta-hardware.8", OVANTA_HARDWARE_EXE},
               {std::string(OVANTA_MAN_DIR) + "/man1/ovanta-sdk-client.1", OVANTA_SDK_CLIENT_EXE}};
  for (const Page& page : pages) {
    const Finished shown = RunToEnd(dir, {"/bin/sh", "-c", "man --warnings -l \"$0\"", page.file},
                                    {"MANWIDTH=80", "MANPAGER=cat", "PAGER=cat"});
    EXPECT_EQ(shown.status, std::optional<int>(0)) << page.file << shown.err;
    EXPECT_EQ(shown.err, "") << page.file;
    for (const char* section : {"NAME", "SYNOPSIS", "DESCRIPTION", "EXIT STATUS", "SEE ALSO"})
      EXPECT_TRUE(Contains(shown.out, std::string("\n") + section + "\n")) << page.file << ": " << section;

    const Finished help = RunToEnd(dir, {page.program, "--help"}, {});
    ASSERT_EQ(help.status, std::optional<int>(0)) << page.program;
    std::istringstream lines(help.out);
    int listed = 0;
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("  ", 0) != 0) continue;
      std::istringstream words(line);
      std::string word;
      words >> word;
      if (!word.empty() && word.back() == ',') word.pop_back();
      if (word.empty() || std::isupper(static_cast<unsigned char>(word[0]))) continue;
      ++listed;
      EXPECT_TRUE(Contains(shown.out, word)) << page.file << " does not mention " << word;
    }
    EXPECT_GE(listed, 5) << help.out;
  }
}

}  // namespace
