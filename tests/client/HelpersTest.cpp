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

TEST_F(FilesOnDisk, FileExistsOnlyForRegularFiles) {
  EXPECT_TRUE(FileExists(Write("log.txt", "x")));
  EXPECT_FALSE(FileExists(Dir()));
  EXPECT_FALSE(FileExists(Dir() + u"/missing.txt"));
  EXPECT_FALSE(FileExists(u""));
}

TEST_F(FilesOnDisk, StringFromFileDecodesUtf8AndUtf16) {
  StringBuffer text;
  ASSERT_TRUE(StringFromFile(Write("plain.txt", "line 1\nz\xC3\xBC"), text));
  EXPECT_EQ(text, u"line 1\nz\u00FC");
  ASSERT_TRUE(StringFromFile(Write("bom8.txt", "\xEF\xBB\xBFok"), text));
  EXPECT_EQ(text, u"ok");
  ASSERT_TRUE(StringFromFile(Write("le.txt", std::string("\xFF\xFEo\0k\0", 6)), text));
  EXPECT_EQ(text, u"ok");
  ASSERT_TRUE(StringFromFile(Write("be.txt", std::string("\xFE\xFF\0o\0k", 6)), text));
  EXPECT_EQ(text, u"ok");
  ASSERT_TRUE(StringFromFile(Write("empty.txt", ""), text));
  EXPECT_EQ(text, u"");
}

TEST_F(FilesOnDisk, UnreadableFileLeavesTheTextAlone) {
  StringBuffer text = u"before";
  EXPECT_FALSE(StringFromFile(Dir() + u"/missing.txt", text));
  EXPECT_FALSE(StringFromFile(Dir(), text));
  EXPECT_EQ(text, u"before");
}

}  // namespace
}  // namespace Voxlet
