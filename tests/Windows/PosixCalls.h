#pragma once
// The few POSIX calls the tests use that Windows' C library spells differently or lacks, read
// before every test source of the Windows build (tests/CMakeLists.txt).
#include <direct.h>
#include <io.h>
#include <stdlib.h>

#include <random>
#include <string>

inline int setenv(const char* name, const char* value, int overwrite) {
  if (!overwrite && getenv(name)) return 0;
  return _putenv_s(name, value);
}

// An empty value removes the variable.
inline int unsetenv(const char* name) { return _putenv_s(name, ""); }

// Replaces the trailing XXXXXX of the template and creates the directory.
inline char* mkdtemp(char* pattern) {
  const std::string text = pattern;
  if (text.size() < 6 || text.compare(text.size() - 6, 6, "XXXXXX") != 0) return nullptr;
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    for (size_t i = text.size() - 6; i < text.size(); ++i) pattern[i] = kLetters[random() % 36];
    if (_mkdir(pattern) == 0) return pattern;
  }
  return nullptr;
}

// pclose's status: Windows' _pclose answers the program's exit status itself.
#define WIFEXITED(status) ((status) != -1)
#define WEXITSTATUS(status) (status)
