// The service binary as a program: its console mode, its answers on the terminal, its stop
// signals, installing and uninstalling it, and its manual pages. (Its start-up on the wire and
// its clean stop on Ctrl-C are in every replay transcript, tests/replay.)
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cctype>
#include <optional>
#include <sstream>

#include "tests/integration/ChildProcess.h"
#include "tests/integration/ServiceLog.h"
#include "tests/service/TestFiles.h"

namespace {

constexpr int kDeadlineMs = 60000;

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
  finished.status = ChildProcess(args, env, {out, err}).WaitExit(kDeadlineMs);
  close(out);
  close(err);
  finished.out = ReadFile(outFile);
  finished.err = ReadFile(errFile);
  return finished;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class ServiceBinaryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(dir.File("registry.ini"), "[HKEY_LM\\SOFTWARE\\Vantrel\\Voxlet\\HardwareService]\nLog20Location=" +
                                            logPath + "\nLogFlags=17\nSpoolDirectory=" + dir.File("spool") + "\n");
  }
  std::vector<std::string> Env() const {
    return {"OVANTA_REGISTRY=" + dir.File("registry.ini"), "OVANTA_SYSTEM_DIR=" + dir.File("system"),
            "OVANTA_UNIT_DIR=" + dir.File("units"), "OVANTA_UDEV_DIR=" + dir.File("rules")};
  }
  bool LogSays(const std::string& text) {
    return Eventually([&] { return Contains(ReadFile(logPath), text); }, kDeadlineMs / 1000);
  }

  TempDir dir;
  const std::string logPath = dir.File("service.log");
};

TEST_F(ServiceBinaryTest, ConsoleModeRunsUntilInterruptedOrTerminatedAndShutsDownInOrder) {
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
  size_t at = 0;
  for (const char* step :
       {"Receiver service starting.", "Command Line:-->-d<-- ...Debugging the service", "CServiceEventHandler::Stop",
        "CReceiverManager::Run complete", "Saving settings.", "Receiver service stopped."}) {
    at = log.find(step, at);
    ASSERT_NE(at, std::string::npos) << step << " missing or out of order:\n" << log;
  }
  // A normal shutdown writes the settings back under the preference store's key.
  const std::string registry = ReadFile(dir.File("registry.ini"));
  EXPECT_TRUE(Contains(registry, "[HKEY_LM\\SOFTWARE\\Vantrel\\Voxlet\\HardwareService\\com.vantrel.Preferences]"));
  EXPECT_TRUE(Contains(registry, "LogFlags=17"));

  // The console may go away while the service runs: writes to a closed standard error must not
  // end it.
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  close(fds[0]);
  std::filesystem::remove(logPath);
  ChildProcess headless({OVANTA_HARDWARE_EXE, "-d"}, Env(), {-1, fds[1]});
  close(fds[1]);
  ASSERT_TRUE(LogSays("CReceiverManager::Run started")) << ReadFile(logPath);
  headless.Signal(SIGTERM);
  EXPECT_EQ(headless.WaitExit(kDeadlineMs), std::optional<int>(0));
  EXPECT_TRUE(Contains(ReadFile(logPath), "Receiver service stopped."));
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
      {{"--version"}, 0, "ovanta-hardware ", ""},
      {{"-x", "-nologging"}, 2, "", "unknown switch '-x'"},
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

// A systemctl that records its arguments and answers like systemd with the unit stopped, or
// fails to enable when `enableFails`.
std::string FakeSystemctl(const TempDir& dir, bool enableFails = false) {
  const std::string bin = dir.File("bin");
  std::filesystem::create_directories(bin);
  WriteFile(bin + "/systemctl", "#!/bin/sh\necho \"$@\" >> " + dir.File("systemctl.calls") +
                                    "\ncase \"$1\" in is-active) echo inactive; exit 3;;" +
                                    (enableFails ? " enable) echo refused; exit 1;;" : "") + " esac\nexit 0\n");
  std::filesystem::permissions(bin + "/systemctl", std::filesystem::perms::owner_all);
  return "PATH=" + bin + ":" + std::getenv("PATH");
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

TEST_F(ServiceBinaryTest, InstallReinstallFromAnAwkwardPathAndUninstall) {
  std::vector<std::string> env = Env();
  env.push_back(FakeSystemctl(dir));
  // Not a process systemd started, though run from a shell that inherited what systemd sets
  // for a service: a run without switches stops after the is-installed check.
  env.push_back("INVOCATION_ID=5f1d0e3c9a8b4e7f8a6b2c1d0e9f8a7b");
  env.push_back("NOTIFY_SOCKET=" + dir.File("notify"));
  const std::string unit = dir.File("units") + "/ovanta-hardware.service";
  const std::string rules = dir.File("rules") + "/60-ovanta-hardware.rules";
  const std::string awkward = ExecutableIn(dir, "bin dir %i");
  ASSERT_FALSE(awkward.empty());

  // Installed from the build directory, then again from the awkward one: the second install
  // points the unit at the new place. (The files the install writes and its systemctl enable are
  // the packaging tests'.)
  EXPECT_EQ(RunToEnd(dir, {OVANTA_HARDWARE_EXE, "-i"}, env).status, std::optional<int>(0));
  EXPECT_TRUE(Contains(ReadFile(logPath), "The service installed successfully")) << ReadFile(logPath);
  const std::string calls = ReadFile(dir.File("systemctl.calls"));
  EXPECT_TRUE(Contains(calls, "start --no-block ovanta-hardware.service")) << calls;
  EXPECT_EQ(RunToEnd(dir, {awkward, "-i"}, env).status, std::optional<int>(0));
  EXPECT_TRUE(Contains(ReadFile(unit), "ExecStart=\"" + dir.File("bin dir %%i") + "/ovanta-hardware\"\n"))
      << ReadFile(unit);

  // The service's own is-installed check finds it where it is, and only there.
  std::filesystem::remove(logPath);
  EXPECT_EQ(RunToEnd(dir, {awkward}, env).status, std::optional<int>(255));
  EXPECT_TRUE(Contains(ReadFile(logPath), "StartServiceCtrlDispatcher failed")) << ReadFile(logPath);
  EXPECT_FALSE(Contains(ReadFile(logPath), "different location")) << ReadFile(logPath);
  EXPECT_EQ(RunToEnd(dir, {OVANTA_HARDWARE_EXE}, env).status, std::optional<int>(255));
  EXPECT_TRUE(Contains(ReadFile(logPath), "The service is installed, but in a different location"));

  // Installing again from where the unit points changes nothing in it, and leaves nothing beside.
  const std::string before = ReadFile(unit);
  EXPECT_EQ(RunToEnd(dir, {awkward, "-i"}, env).status, std::optional<int>(0));
  EXPECT_EQ(ReadFile(unit), before);
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.File("units")))
    names.push_back(entry.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{"ovanta-hardware.service"});

  // systemd itself: the program named by ExecStart= exists, and so does the manual page named
  // by Documentation= (found through MANPATH).
  if (RunToEnd(dir, {"/bin/sh", "-c", "command -v systemd-analyze"}, {}).status == std::optional<int>(0)) {
    const Finished verify = RunToEnd(dir, {"/bin/sh", "-c", "systemd-analyze verify \"$0\" 2>&1", unit},
                                     {std::string("MANPATH=") + OVANTA_MAN_DIR});
    EXPECT_EQ(verify.status, std::optional<int>(0)) << verify.out << verify.err << ReadFile(unit);
    EXPECT_FALSE(Contains(verify.out, "ovanta-hardware")) << verify.out;
  }

  EXPECT_EQ(RunToEnd(dir, {awkward, "-u"}, env).status, std::optional<int>(0));
  EXPECT_FALSE(std::filesystem::exists(unit));
  EXPECT_FALSE(std::filesystem::exists(rules));
  EXPECT_TRUE(Contains(ReadFile(dir.File("systemctl.calls")), "disable ovanta-hardware.service"));
}

// An install that cannot be completed leaves nothing behind: from a path systemd would not run,
// or refused by systemd; and the settings are not written back after a management switch.
TEST_F(ServiceBinaryTest, AnInstallThatFailsLeavesNothing) {
  const std::string quoted = ExecutableIn(dir, "it's");
  ASSERT_FALSE(quoted.empty());
  for (const bool enableFails : {false, true}) {
    std::vector<std::string> env = Env();
    env.push_back(FakeSystemctl(dir, enableFails));
    std::filesystem::remove(logPath);
    EXPECT_EQ(RunToEnd(dir, {enableFails ? OVANTA_HARDWARE_EXE : quoted, "-i"}, env).status, std::optional<int>(0));
    const std::string log = ReadFile(logPath);
    EXPECT_TRUE(Contains(log, "Command Line:-->-i<-- ...Installing the service")) << log;
    EXPECT_TRUE(Contains(log, "CreateService failed = ")) << log;
    EXPECT_TRUE(enableFails || Contains(log, "systemd does not run a program whose path")) << log;
    EXPECT_FALSE(std::filesystem::exists(dir.File("units") + "/ovanta-hardware.service"));
    EXPECT_FALSE(std::filesystem::exists(dir.File("rules") + "/60-ovanta-hardware.rules"));
  }
  EXPECT_FALSE(Contains(ReadFile(dir.File("registry.ini")), "com.vantrel.Preferences"));
}

// Each manual page renders without a warning and names every switch or command its program's
// own help lists.
TEST(ManualPages, RenderCleanlyAndCoverEverySwitchOfTheirProgram) {
  TempDir dir;
  if (RunToEnd(dir, {"/bin/sh", "-c", "command -v man"}, {}).status != std::optional<int>(0))
    GTEST_SKIP() << "man is not installed";
  const std::pair<std::string, std::string> pages[] = {
      {std::string(OVANTA_MAN_DIR) + "/man8/ovanta-hardware.8", OVANTA_HARDWARE_EXE},
      {std::string(OVANTA_MAN_DIR) + "/man1/ovanta-sdk-client.1", OVANTA_SDK_CLIENT_EXE}};
  for (const auto& [file, program] : pages) {
    const Finished shown = RunToEnd(dir, {"/bin/sh", "-c", "man --warnings -l \"$0\"", file},
                                    {"MANWIDTH=80", "MANPAGER=cat", "PAGER=cat"});
    EXPECT_EQ(shown.status, std::optional<int>(0)) << file << shown.err;
    EXPECT_EQ(shown.err, "") << file;
    for (const char* section : {"NAME", "SYNOPSIS", "DESCRIPTION", "EXIT STATUS", "SEE ALSO"})
      EXPECT_TRUE(Contains(shown.out, std::string("\n") + section + "\n")) << file << ": " << section;
    // The help lists a switch or command as the first word of an indented line.
    const Finished help = RunToEnd(dir, {program, "--help"}, {});
    ASSERT_EQ(help.status, std::optional<int>(0)) << program;
    std::istringstream lines(help.out);
    int listed = 0;
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("  ", 0) != 0) continue;
      std::string word;
      std::istringstream(line) >> word;
      if (!word.empty() && word.back() == ',') word.pop_back();
      if (word.empty() || std::isupper(static_cast<unsigned char>(word[0]))) continue;
      ++listed;
      EXPECT_TRUE(Contains(shown.out, word)) << file << " does not mention " << word;
    }
    EXPECT_GE(listed, 5) << help.out;
  }
}

}  // namespace
