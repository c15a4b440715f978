#pragma once
// A fresh directory for each test, with the registry store pointed at a file in it.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/Registry.h"
#include "tests/service/TestFiles.h"

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
    for (const auto& entry : fs::directory_iterator(dir)) {
      const std::string name = entry.path().filename().string();
      if (std::find(names.begin(), names.end(), name) == names.end()) others.push_back(name);
    }
    return others;
  }
  TempDir temp;
  const fs::path dir = temp.Path();
  const std::string file = (dir / "registry.ini").string();
  ScopedRegistry registry{file};
};
using Registry = FileDir;
using ReplaceFileAtomically = FileDir;
using RegistryStoreFile = FileDir;
