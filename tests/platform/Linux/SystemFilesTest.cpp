// The files the service keeps on disk on Linux: the unit's ExecStart= line, whole-file
// replacement that keeps the file's mode, the registry store shared by processes, and a journal
// on a disk short of space.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/AppendFile.h"
#include "platform/AtomicFile.h"
#include "platform/Linux/SystemdServiceControl.h"
#include "platform/Registry.h"
#include "tests/platform/FileDir.h"
#include "tests/platform/Linux/FileSizeLimit.h"

namespace {

// The ExecStart= value for a path systemd runs as it is, and the path systemd reads from a value
// (quoted or not, written by hand or before quoting, with prefixes that change how, not which).
TEST(ExecStart, PathsAreQuotedSoThatSystemdReadsThemBackUnchanged) {
  const std::pair<std::string, std::string> quoted[] = {
      {"/usr/sbin/ovanta-hardware", "\"/usr/sbin/ovanta-hardware\""},
      {"/opt/ovanta hardware/bin/ovanta-hardware", "\"/opt/ovanta hardware/bin/ovanta-hardware\""},
      {"/opt/100%/ovanta-hardware", "\"/opt/100%%/ovanta-hardware\""},
      {"/opt/%%i %n/x", "\"/opt/%%%%i %%n/x\""},
      {"/opt/$HOME/${X}/x", "\"/opt/$HOME/${X}/x\""},  // no variables are expanded in the program's name
      {"/opt/a\"b\\c/x", "\"/opt/a\\\"b\\\\c/x\""},
  };
  for (const auto& [path, value] : quoted) {
    EXPECT_EQ(Platform::SystemdExecStart(path), value) << path;
    EXPECT_EQ(Platform::SystemdExecPath(value), path) << value;
  }
  const std::pair<std::string, std::string> unquoted[] = {{"/opt/ovanta hardware/ovanta-hardware", "/opt/ovanta"},
                                                          {"/opt/100%%/x -d", "/opt/100%/x"},
                                                          {"/usr/sbin/ovanta-hardware", "/usr/sbin/ovanta-hardware"},
                                                          {"-@/usr/sbin/ovanta-hardware", "/usr/sbin/ovanta-hardware"},
                                                          {"'/opt/a b/x' --flag", "/opt/a b/x"},
                                                          {"/opt/a\\sb\\x41/x", "/opt/a bA/x"},
                                                          {"  ", ""}};
  for (const auto& [value, path] : unquoted) EXPECT_EQ(Platform::SystemdExecPath(value), path) << value;
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

// A new file gets the default mode (not mkstemp's 0600), a replaced one keeps its own; a
// failed replace (a directory cannot be renamed over, a missing directory holds no temporary
// file) leaves the old one and nothing beside it.
TEST_F(ReplaceFileAtomically, ReplacesTheFileKeepsItsModeAndLeavesNothingBeside) {
  const fs::path unit = dir / "unit.service", occupied = dir / "occupied";
  std::string error;
  struct stat st {};
  for (const auto& [text, mode] : {std::pair{"first\n", 0644u}, std::pair{"second\n", 0640u}}) {
    ASSERT_TRUE(Platform::ReplaceFileAtomically(unit.string(), text, error)) << error;
    EXPECT_EQ(ReadFile(unit), text);
    ASSERT_EQ(stat(unit.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, mode);
    ASSERT_EQ(chmod(unit.c_str(), 0640), 0);
  }
  fs::create_directory(occupied);
  std::ofstream(occupied / "stamp") << "kept";
  EXPECT_FALSE(Platform::ReplaceFileAtomically(occupied.string(), "text", error));
  EXPECT_NE(error.find("occupied"), std::string::npos) << error;
  EXPECT_EQ(ReadFile(occupied / "stamp"), "kept");
  EXPECT_TRUE(Others({"unit.service", "occupied"}).empty());
  error.clear();
  EXPECT_FALSE(Platform::ReplaceFileAtomically((dir / "missing" / "x").string(), "text", error));
  EXPECT_FALSE(error.empty());
}

// Two processes writing the same store at once, and a third reading it all the while: every
// read sees a whole store, and no value is lost.
TEST_F(RegistryStoreFile, WritersInTwoProcessesNeitherTearNorLoseTheStore) {
  constexpr int kWriters = 2, kValues = 40;
  const Platform::RegistryStore store(file);
  const auto key = [](int w) { return "SOFTWARE\\Vantrel\\W" + std::to_string(w); };
  ASSERT_TRUE(store.Write(0, "SOFTWARE\\Vantrel", "Sentinel", "present"));
  std::vector<pid_t> writers;
  for (int w = 0; w < kWriters; ++w) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (int v = 0; v < kValues; ++v)
        if (!store.Write(0, key(w), "V" + std::to_string(v), std::to_string(v))) _exit(1);
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
      EXPECT_EQ(store.Read(0, key(w), "V" + std::to_string(v)), std::optional<std::string>(std::to_string(v)));
  EXPECT_TRUE(Others({"registry.ini", "registry.ini.lock"}).empty());
}

using AppendFileShortOfSpace = FileDir;

// A disk that takes less than the segment a journal writes ahead: it opens all the same, with the
// room the disk took; records go there and past it while the disk takes them, and only a record
// it does not take is refused, the records before it intact.
TEST_F(AppendFileShortOfSpace, OpensWithTheRoomItGotAndKeepsRecordsWhileTheyFit) {
  constexpr uint64_t kTaken = 200 << 10;  // the zeros go 64 KiB at a time: three whole, one cut short
  constexpr uint64_t kRoom = 192 << 10;
  const fs::path journal = dir / "journal";
  const std::string first(kRoom - 10, 'a'), second(4096, 'b'), third(8192, 'c');
  std::string error;
  {
    FileSizeLimit limit(kTaken);
    ASSERT_TRUE(limit.Set());
    const auto file = Platform::AppendFile::Open(journal.string(), 0, error);
    ASSERT_TRUE(file) << error;
    EXPECT_EQ(file->Size(), kRoom);
    ASSERT_TRUE(file->Append(first, error)) << error;   // into the room
    ASSERT_TRUE(file->Append(second, error)) << error;  // past it, and the disk takes it
    EXPECT_EQ(file->End(), first.size() + second.size());
    EXPECT_FALSE(file->Append(third, error));  // the disk takes no more
    EXPECT_NE(error.find("cannot write"), std::string::npos) << error;
    EXPECT_NE(error.find(journal.string()), std::string::npos) << error;
    EXPECT_EQ(file->End(), first.size() + second.size());
    EXPECT_TRUE(file->Sync(error)) << error;
  }
  EXPECT_EQ(ReadFile(journal).substr(0, first.size() + second.size()), first + second);
}

}  // namespace
