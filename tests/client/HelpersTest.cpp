#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "client/Helpers.h"

namespace Voxlet {
namespace {

class FilesOnDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    m_dir = std::filesystem::temp_directory_path() / ("client-files-" + std::to_string(::getpid()) + "-" +
                                                      ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(m_dir);
  }
  void TearDown() override { std::filesystem::remove_all(m_dir); }

  StringBuffer Write(const std::string& name, const std::string& bytes) {
    const auto path = m_dir / name;
    std::ofstream(path, std::ios::binary) << bytes;
    return UTF8to16(path.string());
  }
  StringBuffer Dir() const { return UTF8to16(m_dir.string()); }

 private:
  std::filesystem::path m_dir;
};

// UTF-8 with or without a byte order mark, and UTF-16 of either order; a file that cannot be
// read leaves the text alone; only regular files exist.
TEST_F(FilesOnDisk, StringFromFileDecodesUtf8AndUtf16) {
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
    const StringBuffer path = Write("f" + std::to_string(++n), bytes);
    EXPECT_TRUE(FileExists(path));
    ASSERT_TRUE(StringFromFile(path, text));
    EXPECT_EQ(text, expected) << n;
  }
  StringBuffer text = u"before";
  EXPECT_FALSE(StringFromFile(Dir() + u"/missing.txt", text));
  EXPECT_FALSE(StringFromFile(Dir(), text));
  EXPECT_EQ(text, u"before");
  EXPECT_FALSE(FileExists(Dir()));
  EXPECT_FALSE(FileExists(Dir() + u"/missing.txt"));
  EXPECT_FALSE(FileExists(u""));
}

}  // namespace
}  // namespace Voxlet
