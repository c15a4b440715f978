// The files the service keeps on disk: the registry store, the unit's ExecStart= line,
// whole-file replacement and the answer spool's journal file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/AppendFile.h"
#include "platform/AtomicFile.h"
#include "platform/Registry.h"
#include "platform/ServiceControl.h"
#include "tests/service/TestFiles.h"

namespace {

namespace fs = std::filesystem;

const std::string kKey = "SOFTWARE\\Vantrel\\Voxlet\\HardwareService";
const std::string kPreferences = "com.vantrel.Preferences";
const std::string kPlain = kRegistryStoreName;

// A fresh directory, with the registry store pointed at a file in it.
class FileDir : public ::testing::Test {
 protected:
  // Everything in the directory but the names given.
  std::vector<std::string> Others(std::initializer_list<std::string> names) const {
    std::vector<std::string> others;
    for (const auto& entry : fs::directory_iterator(dir))
      if (std::find(names.begin(), names.end(), entry.path().filename()) == names.end())
        others.push_back(entry.path().filename());
    return others;
  }
  TempDir temp;
  const fs::path dir = temp.Path(), file = dir / "registry.ini";
  ScopedRegistry registry{file};
};
using Registry = FileDir;
using ReplaceFileAtomically = FileDir;
using RegistryStoreFile = FileDir;
using AppendFile = FileDir;

// Values are replaced in place, whatever the case of key and value names.
TEST_F(Registry, ValuesWrittenAreReadBackIgnoringCase) {
  EXPECT_EQ(ReadRegistryString(0, kKey, "Ports", "none", kPreferences), "none");  // no file yet
  ASSERT_TRUE(WriteRegistryDword(0, kKey, "BaudRate", 4294967295u, kPlain));
  ASSERT_TRUE(WriteRegistryString(0, kKey, "Ports", "/dev/pts/3;/dev/ttyS0", kPlain));
  ASSERT_TRUE(WriteRegistryDword(0, kKey, "BaudRate", 57600, kPlain));
  ASSERT_TRUE(WriteRegistryString(0, "SOFTWARE\\VANTREL\\voxlet\\HardwareService", "baudrate", "9600", kPlain));
  EXPECT_EQ(ReadRegistryDword(0, kKey, "BaudRate", 0, kPlain), 9600u);
  EXPECT_EQ(ReadRegistryString(0, "software\\vantrel\\VOXLET\\hardwareservice", "PORTS", "", kPlain),
            "/dev/pts/3;/dev/ttyS0");
  const std::string text = ReadFile(file);
  EXPECT_EQ(text.find("BaudRate"), text.rfind("BaudRate")) << text;
  EXPECT_EQ(text.find("[HKEY_LM"), text.rfind("[HKEY_LM")) << text;
  EXPECT_NE(text.find("[HKEY_LM\\" + kKey + "]"), std::string::npos);
}

// A named store is one more key component; a read from it falls back to the plain key, never
// the other way round.
TEST_F(Registry, NamedStoresAreSubkeysThatFallBackToThePlainKey) {
  ASSERT_TRUE(WriteRegistryString(0, kKey, "Ports", "/dev/ttyACM7", kPreferences));
  EXPECT_NE(ReadFile(file).find("[HKEY_LM\\" + kKey + "\\" + kPreferences + "]"), std::string::npos);
  EXPECT_EQ(ReadRegistryString(0, kKey, "Ports", "-", kPlain), "-");
  EXPECT_EQ(ReadRegistryString(0, kKey, "Ports", "-", kPreferences), "/dev/ttyACM7");

  ASSERT_TRUE(WriteRegistryDword(0, kKey, "BaudRate", 9600, kPlain));
  EXPECT_EQ(ReadRegistryDword(0, kKey, "BaudRate", 1, kPreferences), 9600u);
  ASSERT_TRUE(WriteRegistryDword(0, kKey, "BaudRate", 19200, kPreferences));
  EXPECT_EQ(ReadRegistryDword(0, kKey, "BaudRate", 1, kPreferences), 19200u);
  EXPECT_EQ(ReadRegistryDword(0, kKey, "BaudRate", 1, kPlain), 9600u);
}

// Comments and other keys survive a rewrite; numbers that do not read whole give the default;
// a value that would break a line is refused.
TEST_F(Registry, RewritesKeepTheRestAndBadTextIsNeitherReadNorWritten) {
  std::ofstream(file) << "; comment kept\n[HKEY_LM\\A]\nOne=1\n\n[HKEY_LM\\B]\nTwo=2\n"
                      << "Word=abc\nNegative=-1\nTooBig=4294967296\nTrailing=12x\nEmpty=\nGood= 42 \n";
  ASSERT_TRUE(WriteRegistryDword(0, "A", "Three", 3, kPlain));
  ASSERT_TRUE(WriteRegistryDword(0, "C", "Four", 4, kPlain));
  EXPECT_EQ(ReadRegistryDword(0, "A", "One", 0, kPlain), 1u);
  EXPECT_EQ(ReadRegistryDword(0, "A", "Three", 0, kPlain), 3u);
  EXPECT_EQ(ReadRegistryDword(0, "B", "Two", 0, kPlain), 2u);
  EXPECT_EQ(ReadRegistryDword(0, "C", "Four", 0, kPlain), 4u);
  EXPECT_EQ(ReadRegistryDword(0, "B", "Three", 0, kPlain), 0u);
  EXPECT_NE(ReadFile(file).find("; comment kept"), std::string::npos);
  for (const char* name : {"Word", "Negative", "TooBig", "Trailing", "Empty", "Missing"})
    EXPECT_EQ(ReadRegistryDword(0, "B", name, 77, kPlain), 77u) << name;
  EXPECT_EQ(ReadRegistryDword(0, "B", "Good", 77, kPlain), 42u);

  EXPECT_FALSE(WriteRegistryString(0, kKey, "Ports", "a\n[HKEY_LM\\Other]", kPlain));
  EXPECT_EQ(ReadRegistryString(0, "Other", "Ports", "-", kPlain), "-");
}

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

// Records go into zeros written ahead of them, a segment at a time, so that the file's size
// changes only when a segment is added; starting over zeros what was written and keeps the
// space, unless the file grew far past one segment.
TEST_F(AppendFile, RecordsGoIntoSpaceWrittenAheadAndStartingOverZerosThem) {
  constexpr uint64_t kSegment = Platform::AppendFile::kSegmentBytes;
  const fs::path journal = dir / "journal";
  const std::string segment(kSegment, 's');
  std::string error;
  {
    const auto file = Platform::AppendFile::Open(journal.string(), 0, error);
    ASSERT_TRUE(file) << error;
    EXPECT_EQ(fs::file_size(journal), kSegment);
    ASSERT_TRUE(file->Append("abc", error)) << error;
    EXPECT_EQ(fs::file_size(journal), kSegment);
    ASSERT_TRUE(file->Append(segment, error)) << error;  // does not fit: one segment more
    EXPECT_EQ(file->End(), 3 + kSegment);
    EXPECT_EQ(fs::file_size(journal), 2 * kSegment);
    ASSERT_TRUE(file->Sync(error)) << error;
    EXPECT_EQ(ReadFile(journal), "abc" + segment + std::string(kSegment - 3, '\0'));

    ASSERT_TRUE(file->StartOver(error)) << error;
    EXPECT_EQ(file->End(), 0u);
    EXPECT_EQ(ReadFile(journal), std::string(2 * kSegment, '\0'));
    ASSERT_TRUE(file->Append("xyz", error)) << error;
  }
  {
    // Opened again at the end of its records: the next one goes after them.
    const auto file = Platform::AppendFile::Open(journal.string(), 3, error);
    ASSERT_TRUE(file) << error;
    ASSERT_TRUE(file->Append("q", error)) << error;
    EXPECT_EQ(ReadFile(journal).substr(0, 5), std::string("xyzq\0", 5));
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(file->Append(segment, error)) << error;
    EXPECT_GT(fs::file_size(journal), 4 * kSegment);
    ASSERT_TRUE(file->StartOver(error)) << error;
    EXPECT_EQ(ReadFile(journal), std::string(kSegment, '\0'));
  }
  // A file without space ahead gets it at opening.
  std::ofstream(journal, std::ios::trunc) << "records";
  const auto file = Platform::AppendFile::Open(journal.string(), 7, error);
  ASSERT_TRUE(file) << error;
  EXPECT_EQ(ReadFile(journal), "records" + std::string(kSegment - 7, '\0'));
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

}  // namespace
