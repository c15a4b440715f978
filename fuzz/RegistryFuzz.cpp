// Feeds arbitrary bytes to the registry store as the text of its INI file (which anyone with
// access to the file may have edited by hand), reads values from it, and writes one.
//
// The input: one byte picking the key, one the value name, one the value to write, then the
// file's text. Besides the sanitizers, checks that a value written can be read back, and that
// a write leaves every other value the file held readable as before.
#include <strings.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "platform/Registry.h"

namespace {

const char* const kKeys[] = {"SOFTWARE\\Vantrel\\Voxlet", "SOFTWARE\\Vantrel\\Voxlet\\HardwareService",
                             "SOFTWARE\\Vantrel\\Voxlet\\SoftwareService", "a", ""};
const char* const kNames[] = {"Uri", "Ports", "BaudRate", "LogFlags", "x", "uri", "PORTS"};
const char* const kValues[] = {"http://127.0.0.1:8630/", "/dev/pts/3;/dev/pts/4", "57600", "", "0x10", "a=b", "[x]"};

std::string StorePath() {
  const std::filesystem::path dir =
      std::filesystem::exists("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path();
  return (dir / ("ovanta-registry-fuzz-" + std::to_string(getpid()) + ".ini")).string();
}

void WriteFile(const std::string& path, const uint8_t* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

// The trimmed form a value is read back in.
std::string Trimmed(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  static const std::string path = StorePath();
  static const struct Cleanup {
    ~Cleanup() {
      std::filesystem::remove(path);
      std::filesystem::remove(path + ".lock");
    }
  } cleanup;
  const std::string key = kKeys[data[0] % std::size(kKeys)];
  const std::string name = kNames[data[1] % std::size(kNames)];
  const std::string value = kValues[data[2] % std::size(kValues)];
  const int root = data[0] / std::size(kKeys) % 3;
  WriteFile(path, data + 3, size - 3);

  const Platform::RegistryStore store(path);
  // What every (key, name) pair reads before the write.
  std::optional<std::string> before[std::size(kKeys)][std::size(kNames)];
  for (size_t k = 0; k < std::size(kKeys); ++k)
    for (size_t n = 0; n < std::size(kNames); ++n) before[k][n] = store.Read(root, kKeys[k], kNames[n]);

  if (!store.Write(root, key, name, value)) return 0;
  const std::optional<std::string> read = store.Read(root, key, name);
  if (!read || *read != Trimmed(value)) abort();
  for (size_t k = 0; k < std::size(kKeys); ++k) {
    for (size_t n = 0; n < std::size(kNames); ++n) {
      const bool same = kKeys[k] == key && strcasecmp(kNames[n], name.c_str()) == 0;
      if (same) continue;
      if (store.Read(root, kKeys[k], kNames[n]) != before[k][n]) abort();
    }
  }
  return 0;
}
