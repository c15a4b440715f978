#include "platform/PrivateDirectory.h"

#include <filesystem>
#include <system_error>

#include "platform/FilePath.h"

Platform::PrivateDirectory Platform::MakePrivateDirectory(const std::string& path, std::string& error) {
  std::error_code ec;
  const std::filesystem::path folder = Utf8Path(path);
  if (std::filesystem::is_directory(folder, ec)) return PrivateDirectory::kWasPrivate;
  std::filesystem::create_directories(folder, ec);
  if (ec) {
    error = "cannot create " + path + ": " + ec.message();
    return PrivateDirectory::kFailed;
  }
  return PrivateDirectory::kMade;
}
