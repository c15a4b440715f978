#include "platform/FilePath.h"

// Linux takes the UTF-8 bytes as they are.
FILE* Platform::OpenFile(const std::string& path, const char* mode) { return std::fopen(path.c_str(), mode); }
