// One test per script in scenarios/: the script is played against the service binary and both
// simulators, and its transcript must match the golden copy in golden/. With
// OVANTA_REPLAY_UPDATE=1 in the environment the golden copy is rewritten instead.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "tests/replay/Replay.h"
#include "tests/replay/Transcript.h"
#include "tests/replay/WineService.h"
#include "tests/service/TestFiles.h"

namespace {

namespace fs = std::filesystem;

std::vector<std::string> ScriptNames() {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(std::string(OVANTA_REPLAY_DIR) + "/scenarios", ec))
    if (entry.path().extension() == ".replay") names.push_back(entry.path().stem().string());
  std::sort(names.begin(), names.end());
  return names;
}

// `diff -u` of the two files, for the failure message.
std::string UnifiedDiff(const std::string& expected, const std::string& actual) {
  const std::string command = "diff -u '" + expected + "' '" + actual + "' 2>&1";
  std::string out;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    pclose(pipe);
  }
  return out;
}

class Transcript : public ::testing::TestWithParam<std::string> {};

TEST_P(Transcript, MatchesGolden) {
  const std::string name = GetParam();
  std::string error;
  const auto script =
      Replay::ParseScript(ReadFile(std::string(OVANTA_REPLAY_DIR) + "/scenarios/" + name + ".replay"), error);
  ASSERT_TRUE(script) << error;
  const Replay::Outcome outcome = Replay::Play(*script, OVANTA_SIM_DATA);

  // The Windows service's transcripts beside this build's, not over them.
  const std::string out = std::string(OVANTA_REPLAY_OUT) + (Replay::WindowsServiceExe().empty() ? "" : "/windows");
  fs::create_directories(out);
  const std::string actual = out + "/" + name + ".transcript";
  WriteFile(actual, outcome.transcript);
  ASSERT_TRUE(outcome.ok) << outcome.error << "\nthe transcript so far:\n" << outcome.transcript;

  const std::string golden = std::string(OVANTA_REPLAY_DIR) + "/golden/" + name + ".transcript";
  const char* update = std::getenv("OVANTA_REPLAY_UPDATE");
  if (update && std::string(update) == "1") {
    WriteFile(golden, outcome.transcript);
    return;
  }
  ASSERT_TRUE(fs::exists(golden)) << golden << " is missing; scripts/replay --update writes it";
  // A difference that shows up only now and then is read from the service's log of that run.
  EXPECT_TRUE(ReadFile(golden) == outcome.transcript) << UnifiedDiff(golden, actual) << "\nthe service's log:\n"
                                                      << outcome.log;
}

INSTANTIATE_TEST_SUITE_P(Replay, Transcript, ::testing::ValuesIn(ScriptNames()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           std::string name = info.param;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

}  // namespace
