#pragma once
#include <cstdio>
#include <filesystem>
#include <string>

// Paths as the service keeps them everywhere (the settings, the registry, the log): UTF-8 text.
// Windows reads a plain char path in the machine's ANSI code page, so that a folder such as
// "D:\Protokolle\Müller" would name another file or none: these take the wide path there.
namespace Platform {

// The path UTF-8 text names.
inline std::filesystem::path Utf8Path(const std::string& text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

// A path as UTF-8 text.
inline std::string Utf8Text(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

// fopen of a file named by UTF-8 text; nullptr (errno set) when it cannot be opened.
FILE* OpenFile(const std::string& path, const char* mode);

}  // namespace Platform
