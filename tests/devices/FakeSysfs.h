#pragma once
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "tests/service/TestFiles.h"

// A sysfs tree in a temporary directory, shaped like the kernel's: devices under
// "devices/...", linked from "bus/usb/devices/<name>", interfaces "<name>:1.N" inside them,
// and ttys either as a "tty/<name>" class entry (cdc_acm) or a "<ttyname>/" port directory
// (USB-serial drivers).
class FakeSysfs {
 public:
  FakeSysfs() { std::filesystem::create_directories(root_ / "bus/usb/devices"); }
  FakeSysfs(const FakeSysfs&) = delete;
  FakeSysfs& operator=(const FakeSysfs&) = delete;

  const std::filesystem::path& Root() const { return root_; }

  // A USB device; attributes left out are missing files.
  std::filesystem::path AddDevice(const std::string& name, const std::string& vendor, const std::string& product,
                                  std::optional<std::string> serial = std::nullopt,
                                  std::optional<std::string> bcdDevice = std::nullopt) {
    const auto dir = root_ / "devices/pci0000:00/0000:00:14.0/usb1" / name;
    std::filesystem::create_directories(dir);
    Write(dir / "idVendor", vendor);
    Write(dir / "idProduct", product);
    if (serial) Write(dir / "serial", *serial);
    if (bcdDevice) Write(dir / "bcdDevice", *bcdDevice);
    std::filesystem::create_directory_symlink(dir, root_ / "bus/usb/devices" / name);
    return dir;
  }

  std::filesystem::path AddInterface(const std::filesystem::path& device, const std::string& number) {
    const auto name = device.filename().string() + ":" + number;
    const auto dir = device / name;
    std::filesystem::create_directories(dir);
    std::filesystem::create_directory_symlink(dir, root_ / "bus/usb/devices" / name);
    return dir;
  }

  // A cdc_acm style tty: "<dir>/tty/<name>".
  static void AddClassTty(const std::filesystem::path& dir, const std::string& name) {
    std::filesystem::create_directories(dir / "tty" / name);
  }
  // A USB-serial style tty: "<dir>/<name>/tty/<name>".
  static void AddPortTty(const std::filesystem::path& dir, const std::string& name) {
    std::filesystem::create_directories(dir / name / "tty" / name);
  }

  static void Write(const std::filesystem::path& file, const std::string& text) { std::ofstream(file) << text << "\n"; }

 private:
  TempDir dir_;
  std::filesystem::path root_ = dir_.Path();
};
