// The files the service keeps on disk: the unit's ExecStart= line, whole-file replacement,
// and the registry store under its lock.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/AtomicFile.h"
#include "platform/Registry.h"
#include "platform/ServiceControl.h"
#include "tests/platform/SyscallFailure.h"

namespace {

namespace fs = std::filesystem;

std::string Text(const fs::path& file) {
  std::stringstream s;
  s << std::ifstream(file, std::ios::binary).rdbuf();
  return s.str();
}

void WriteStamp(const fs::path& dir) { std::ofstream(dir / "stamp") << "kept"; }

class ScratchDir {
 public:
  ScratchDir() {
    char pattern[] = "/tmp/ovanta-files-XXXXXX";
    m_path = mkdtemp(pattern);
  }
  ~ScratchDir() {
    std::error_code ec;
    fs::remove_all(m_path, ec);
  }
  const fs::path& Path() const { return m_path; }
  // Everything in the directory but the names given.
  std::vector<std::string> Others(std::initializer_list<std::string> names) const {
    std::vector<std::string> others;
    for (const auto& entry : fs::directory_iterator(m_path)) {
      const std::string name = entry.path().filename().string();
      if (std::find(names.begin(), names.end(), name) == names.end()) others.push_back(name);
    }
    return others;
  }

 private:
  fs::path m_path;
};

// A child process's exit code, or -1 when it did not exit normally.
int Reap(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Paths systemd runs as they are, and the ExecStart= value that names each.
TEST(ExecStart, PathsAreQuotedSoThatSystemdReadsThemBackUnchanged) {
  const std::pair<std::string, std::string> cases[] = {
      {"/usr/sbin/ovanta-hardware", "\"/usr/sbin/ovanta-hardware\""},
      {"/opt/ovanta hardware/bin/ovanta-hardware", "\"/opt/ovanta hardware/bin/ovanta-hardware\""},
      {"/opt/100%/ovanta-hardware", "\"/opt/100%%/ovanta-hardware\""},
      {"/opt/%%i %n/x", "\"/opt/%%%%i %%n/x\""},
      {"/opt/$HOME/${X}/x", "\"/opt/$HOME/${X}/x\""},  // no variables are expanded in the program's name
      {"/opt/a\"b\\c/x", "\"/opt/a\\\"b\\\\c/x\""},
  };
  for (const auto& [path, value] : cases) {
    EXPECT_EQ(Platform::SystemdExecStart(path), value) << path;
    EXPECT_EQ(Platform::SystemdExecPath(value), path) << value;
  }
}

TEST(ExecStart, ValuesWrittenByHandOrBeforeQuotingAreReadAsSystemdReadsThem) {
  // Unquoted, systemd takes the program's path up to the first space, and "%%" as "%".
  EXPECT_EQ(Platform::SystemdExecPath("/opt/ovanta hardware/ovanta-hardware"), "/opt/ovanta");
  EXPECT_EQ(Platform::SystemdExecPath("/opt/100%%/x -d"), "/opt/100%/x");
  EXPECT_EQ(Platform::SystemdExecPath("/usr/sbin/ovanta-hardware"), "/usr/sbin/ovanta-hardware");
  // Prefixes change how the program runs, not which one.
  EXPECT_EQ(Platform::SystemdExecPath("-@/usr/sbin/ovanta-hardware"), "/usr/sbin/ovanta-hardware");
  EXPECT_EQ(Platform::SystemdExecPath("'/opt/a b/x' --flag"), "/opt/a b/x");
  EXPECT_EQ(Platform::SystemdExecPath("/opt/a\\sb\\x41/x"), "/opt/a bA/x");
  EXPECT_EQ(Platform::SystemdExecPath("  "), "");
}

TEST(ExecStart, SystemdRefusesSomeProgramPathsThatAUnitCouldSpell) {
  std::string why;
  EXPECT_TRUE(Platform::SystemdAcceptsProgramPath("/opt/a b/100%/$x/ovanta-hardware", why)) << why;
  for (const std::string path :
       {"relative/ovanta-hardware", "", "/opt/a\"b/x", "/opt/a'b/x", "/opt/a\\b/x", "/opt/a\tb/x", "/opt/a\nb/x"}) {
    why.clear();
    EXPECT_FALSE(Platform::SystemdAcceptsProgramPath(path, why)) << path;
    EXPECT_FALSE(why.empty()) << path;
  }
}

TEST(ReplaceFileAtomically, ReplacesTheFileKeepsItsModeAndLeavesNothingBeside) {
  ScratchDir dir;
  const fs::path file = dir.Path() / "unit.service";
  std::string error;
  ASSERT_TRUE(Platform::ReplaceFileAtomically(file.string(), "first\n", error)) << error;
  EXPECT_EQ(Text(file), "first\n");
  struct stat st {};
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);  // a new file gets the default mode, not mkstemp's 0600

  ASSERT_EQ(chmod(file.c_str(), 0640), 0);
  ASSERT_TRUE(Platform::ReplaceFileAtomically(file.string(), "second\n", error)) << error;
  EXPECT_EQ(Text(file), "second\n");
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_TRUE(dir.Others({"unit.service"}).empty());
}

TEST(ReplaceFileAtomically, AFailedReplaceLeavesTheOldFileAndNoTemporaryFile) {
  ScratchDir dir;
  // A directory cannot be renamed over: the last step fails after everything was written.
  const fs::path target = dir.Path() / "occupied";
  fs::create_directory(target);
  WriteStamp(target);
  std::string error;
  EXPECT_FALSE(Platform::ReplaceFileAtomically(target.string(), "text", error));
  EXPECT_NE(error.find("occupied"), std::string::npos) << error;
  EXPECT_TRUE(fs::is_directory(target));
  EXPECT_EQ(Text(target / "stamp"), "kept");
  EXPECT_TRUE(dir.Others({"occupied"}).empty());
  // Nowhere to put the temporary file.
  error.clear();
  EXPECT_FALSE(Platform::ReplaceFileAtomically((dir.Path() / "missing" / "x").string(), "text", error));
  EXPECT_FALSE(error.empty());
}

class RegistryStoreFile : public ::testing::Test {
 protected:
  std::string Store() const { return (dir.Path() / "registry.ini").string(); }
  ScratchDir dir;
};

// A store that cannot be locked is not written: another writer may be half-way through it.
TEST_F(RegistryStoreFile, AStoreThatCannotBeLockedIsLeftAsItIs) {
  const Platform::RegistryStore store(Store());
  ASSERT_TRUE(store.Write(0, "SOFTWARE\\Vantrel", "Kept", "1"));
  const std::string before = Text(Store());

  SyscallFailure noLocks({SYS_flock}, ENOLCK);
  if (!noLocks.Supported()) GTEST_SKIP() << "no seccomp filter for this architecture";
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (!noLocks.Install()) _exit(99);
    std::string error;
    const bool written = store.Write(0, "SOFTWARE\\Vantrel", "Lost", "2", &error);
    _exit(written ? 1 : (error.find("cannot lock") != std::string::npos ? 0 : 2));
  }
  const int status = Reap(child);
  if (status == 99) GTEST_SKIP() << "the kernel refuses seccomp filters here";
  EXPECT_EQ(status, 0) << "1: written without the lock; 2: refused for another reason";
  EXPECT_EQ(Text(Store()), before);
  EXPECT_TRUE(dir.Others({"registry.ini", "registry.ini.lock"}).empty());
}

// Two processes writing the same store at once, and a third reading it all the while: every
// read sees a whole store, and no value is lost.
TEST_F(RegistryStoreFile, WritersInTwoProcessesNeitherTearNorLoseTheStore) {
  constexpr int kWriters = 2, kValues = 40;
  const Platform::RegistryStore store(Store());
  ASSERT_TRUE(store.Write(0, "SOFTWARE\\Vantrel", "Sentinel", "present"));
  std::vector<pid_t> writers;
  for (int w = 0; w < kWriters; ++w) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (int v = 0; v < kValues; ++v)
        if (!store.Write(0, "SOFTWARE\\Vantrel\\W" + std::to_string(w), "V" + std::to_string(v), std::to_string(v)))
          _exit(1);
      _exit(0);
    }
    writers.push_back(child);
  }
  // Read until both writers are done; a torn or emptied store loses the sentinel.
  int reads = 0, missed = 0;
  for (size_t done = 0; done < writers.size();) {
    ++reads;
    if (store.Read(0, "SOFTWARE\\Vantrel", "Sentinel") != std::optional<std::string>("present")) ++missed;
    done = 0;
    for (pid_t& pid : writers) {
      int status = 0;
      if (pid > 0 && waitpid(pid, &status, WNOHANG) == pid) {
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        pid = -1;
      }
      if (pid < 0) ++done;
    }
  }
  EXPECT_EQ(missed, 0) << "of " << reads << " reads";
  for (int w = 0; w < kWriters; ++w)
    for (int v = 0; v < kValues; ++v)
      EXPECT_EQ(store.Read(0, "SOFTWARE\\Vantrel\\W" + std::to_string(w), "V" + std::to_string(v)),
                std::optional<std::string>(std::to_string(v)));
  EXPECT_TRUE(dir.Others({"registry.ini", "registry.ini.lock"}).empty());
}

}  // namespace
