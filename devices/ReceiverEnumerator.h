#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "connections/SBConnectionInfo.h"
#include "service/ServiceEvents.h"
#include "text/StringBuffer.h"

// Told of each receiver found; answers whether to go on enumerating. Building the connection
// from the description is the caller's business.
using ReceiverFoundCallback = std::function<bool(const SBConnectionInfo& info)>;

// Finds the plugged-in receivers (vendor 0x16D3, product 0x3000 or 0x0051) and says which
// serial port reaches each, plus the extra ports of the "Ports" setting; a configured port has
// no device instance id (empty).
//
// Linux: the devices in sysfs; a USB receiver's device instance id is its device's sysfs path.
// A device's own port is a tty of the device: for the single-function 0x3000 a tty of the
// device or of any of its interfaces, for the composite 0x0051 a tty of the device itself;
// the composite's serial function is its first interface, "<device>:1.0".
// Windows: the present USB device interfaces through SetupAPI; a receiver's port is the
// "PortName" of its device's hardware key, else of its "Device Parameters" key under
// HKLM\SYSTEM\CurrentControlSet\Enum\USB (the composite's through its first interface, Mi_00).
class CReceiverEnumerator {
 public:
  static constexpr uint16_t kVendorId = 0x16D3;
  static constexpr uint16_t kProductId = 0x3000;
  static constexpr uint16_t kCompositeProductId = 0x0051;
  static constexpr uint16_t kUnknownRevision = 0x0300;

  CReceiverEnumerator() = default;
  virtual ~CReceiverEnumerator() = default;

  // Hands every receiver found on USB, then every configured port not found on USB, to the
  // callback, until it answers false. Refreshes the port list. Always 0.
  int Enumerate(const ReceiverFoundCallback& callback);
  // Entries of the port list.
  int GetCount() const { return static_cast<int>(m_ports.size()); }
  // 0 and the entry when the index is in the list; 1 otherwise.
  int GetDevicePath(int index, Voxlet::StringBuffer& path) const;

  // The tty of the (first) receiver with these ids and serial number: 0 when found, 1 otherwise.
  // Receivers without a serial number, or sharing one, are not told apart by it.
  static int GetDeviceVirtualPort(uint16_t vendorId, uint16_t productId, const Voxlet::StringBuffer& serialNumber,
                                  Voxlet::StringBuffer& port);
  // The port of the receiver a device event names (Linux: by its sysfs path; Windows: by its
  // ids and serial number): 0 when found, 1 when the device is not there, is no receiver or has
  // no port yet.
  static int GetDevicePort(const DeviceEvent& device, Voxlet::StringBuffer& port);
  // Whether two device paths (as device events give them) name the same device.
  static bool SameDevice(const std::string& devicePath, const std::string& otherPath);
  // The text after the last backslash of a device instance ID, the whole text when none.
  static Voxlet::StringBuffer GetReceiverSerialNumber(Voxlet::StringBuffer instanceId);
  // The device's revision. Linux: the "bcdDevice" of the device's sysfs directory. Windows: read
  // from the device's hardware id (the four hex digits after "REV_"), as given (empty when it
  // could not be read). 0x0300 when it cannot be read, 0 when it does not parse.
  static uint16_t GetVersionFromReceiverInfo(const std::string& device);
  // Whether a device path names one of the receivers, in any case.
  static bool IsDeviceAReceiverDevice(Voxlet::StringBuffer path);
  // 0 when the ids are a receiver's, 1 when not.
  static int IsRecognizedDevice(uint16_t vendorId, uint16_t productId);

  // Linux: where sysfs is: the environment variable OVANTA_SYSFS_ROOT, else "/sys", unless set
  // here.
  static void SetSysfsRoot(const std::string& root);
  static std::string SysfsRoot();

 private:
  // Refills the port list: the first-interface ttys of the composite receivers, then the
  // configured ports. Always 0.
  int EnumerateRegistry();

  Voxlet::StringList m_ports;
};
