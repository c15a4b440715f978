#include <cstdio>

#include "platform/FilePath.h"
#include "platform/Windows/WideText.h"

// The C library's wide open: the path reaches the file system as the UTF-16 it is.
FILE* Platform::OpenFile(const std::string& path, const char* mode) {
  return ::_wfopen(Widen(path).c_str(), Widen(mode).c_str());
}
