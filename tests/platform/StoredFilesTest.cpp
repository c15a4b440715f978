// The files the service keeps on disk: the registry store and the answer spool's journal file.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/AppendFile.h"
#include "platform/FilePath.h"
#include "platform/Registry.h"
#include "tests/platform/FileDir.h"

namespace {
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

// A key's value names are listed in the file's order; comment lines (';' or '#', a commented-out
// setting too) are neither listed nor read, and a write of that name adds a value of its own.
TEST_F(Registry, CommentedOutValuesAreNeitherListedNorReadNorReplaced) {
  std::ofstream(file) << "[HKEY_LM\\A]\nOne=1\n; Two=2\n  # Three=3\nFour=4\n[HKEY_LM\\B]\nFive=5\n";
  EXPECT_EQ(Platform::StoredValueNames(0, "A"), (std::vector<std::string>{"One", "Four"}));
  EXPECT_EQ(Platform::StoredValueNames(0, "B"), std::vector<std::string>{"Five"});
  EXPECT_TRUE(Platform::StoredValueNames(0, "C").empty());
  EXPECT_EQ(ReadRegistryDword(0, "A", "Two", 77, kPlain), 77u);
  EXPECT_EQ(ReadRegistryDword(0, "A", "Three", 77, kPlain), 77u);
  ASSERT_TRUE(WriteRegistryDword(0, "A", "Two", 22, kPlain));
  EXPECT_EQ(ReadRegistryDword(0, "A", "Two", 77, kPlain), 22u);
  EXPECT_NE(ReadFile(file).find("; Two=2\n"), std::string::npos);
  EXPECT_EQ(Platform::StoredValueNames(0, "A"), (std::vector<std::string>{"One", "Four", "Two"}));
}

// A store in a folder not made yet, whose name is not ASCII: the folder is made under that name
// and the store is written and read there.
TEST_F(Registry, AStoreInAFolderOutsideAsciiIsMadeThere) {
  const std::string folder = Platform::Utf8Text(dir / Platform::Utf8Path("M\xC3\xBCller"));
  ScopedRegistry elsewhere(folder + "/registry.ini");
  ASSERT_TRUE(WriteRegistryString(0, kKey, "Ports", "COM5", kPlain));
  EXPECT_EQ(ReadRegistryString(0, kKey, "Ports", "-", kPlain), "COM5");
  EXPECT_TRUE(fs::is_regular_file(Platform::Utf8Path(folder + "/registry.ini")));
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(Platform::Utf8Text(entry.path().filename()));
  EXPECT_EQ(names, std::vector<std::string>{"M\xC3\xBCller"});
}

using AppendFile = FileDir;

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
    EXPECT_EQ(ReadFile(journal.string()), "abc" + segment + std::string(kSegment - 3, '\0'));

    ASSERT_TRUE(file->StartOver(error)) << error;
    EXPECT_EQ(file->End(), 0u);
    EXPECT_EQ(ReadFile(journal.string()), std::string(2 * kSegment, '\0'));
    ASSERT_TRUE(file->Append("xyz", error)) << error;
  }
  {
    // Opened again at the end of its records: the next one goes after them.
    const auto file = Platform::AppendFile::Open(journal.string(), 3, error);
    ASSERT_TRUE(file) << error;
    ASSERT_TRUE(file->Append("q", error)) << error;
    EXPECT_EQ(ReadFile(journal.string()).substr(0, 5), std::string("xyzq\0", 5));
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(file->Append(segment, error)) << error;
    EXPECT_GT(fs::file_size(journal), 4 * kSegment);
    ASSERT_TRUE(file->StartOver(error)) << error;
    EXPECT_EQ(ReadFile(journal.string()), std::string(kSegment, '\0'));
  }
  // A file without space ahead gets it at opening.
  std::ofstream(journal, std::ios::trunc) << "records";
  const auto file = Platform::AppendFile::Open(journal.string(), 7, error);
  ASSERT_TRUE(file) << error;
  EXPECT_EQ(ReadFile(journal.string()), "records" + std::string(kSegment - 7, '\0'));
}

}  // namespace
