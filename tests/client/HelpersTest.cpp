#include <gtest/gtest.h>

#include "client/Helpers.h"
#include "tests/service/TestFiles.h"

namespace Voxlet {
namespace {

// UTF-8 with or without a byte order mark, and UTF-16 of either order; a file that cannot be
// read leaves the text alone; only regular files exist.
TEST(FilesOnDisk, StringFromFileDecodesUtf8AndUtf16) {
  TempDir dir;
  const StringBuffer here = UTF8to16(dir.Path());
  const std::pair<std::string, StringBuffer> files[] = {
      {"line 1\nz\xC3\xBC", u"line 1\nz\u00FC"},
      {"\xEF\xBB\xBFok", u"ok"},
      {std::string("\xFF\xFEo\0k\0", 6), u"ok"},
      {std::string("\xFE\xFF\0o\0k", 6), u"ok"},
      {"", u""},
  };
  int n = 0;
  for (const auto& [bytes, expected] : files) {
    StringBuffer text = u"before";
    const std::string file = dir.File("f" + std::to_string(++n));
    WriteFile(file, bytes);
    const StringBuffer path = UTF8to16(file);
    EXPECT_TRUE(FileExists(path));
    ASSERT_TRUE(StringFromFile(path, text));
    EXPECT_EQ(text, expected) << n;
  }
  StringBuffer text = u"before";
  EXPECT_FALSE(StringFromFile(here + u"/missing.txt", text));
  EXPECT_FALSE(StringFromFile(here, text));
  EXPECT_EQ(text, u"before");
  EXPECT_FALSE(FileExists(here));
  EXPECT_FALSE(FileExists(here + u"/missing.txt"));
  EXPECT_FALSE(FileExists(u""));
}

}  // namespace
}  // namespace Voxlet
