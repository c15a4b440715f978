// The answer spool's files on Linux: a directory it makes is its owner's alone, and its journal
// is never written through a symbolic link.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "bridge/AnswerSpool.h"
#include "tests/protocol/LogCapture.h"
#include "tests/service/TestFiles.h"

TEST(AnswerSpoolFiles, ADirectoryTheSpoolMakesIsItsOwnersAlone) {
  TempDir dir;
  const std::string spoolDir = dir.File("made/spool");
  AnswerSpool spool(spoolDir);
  ASSERT_TRUE(spool.Durable());
  struct stat status {};
  ASSERT_EQ(stat(spoolDir.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0700u);
}

TEST(AnswerSpoolFiles, AJournalThatIsASymbolicLinkIsNeitherReadNorWritten) {
  TempDir dir;
  const std::string elsewhere = dir.File("elsewhere");
  WriteFile(elsewhere, "someone else's file");
  std::filesystem::create_directory(dir.File("spool"));
  std::filesystem::create_symlink(elsewhere, dir.File("spool/") + AnswerSpool::kFileName);
  LogCapture log;
  {
    AnswerSpool spool(dir.File("spool"));
    EXPECT_FALSE(spool.Durable());
    SpooledAnswer answer;
    answer.receiver = u"00-12-4B-00-0A-0B-0C-0F";
    uint64_t id = 0;
    EXPECT_EQ(spool.Append(answer, {}, &id), AnswerSpool::Kept::NoDisk);
  }
  EXPECT_EQ(ReadFile(elsewhere), "someone else's file");
  EXPECT_EQ(log.Containing("is a symbolic link").size(), 1u);
}
