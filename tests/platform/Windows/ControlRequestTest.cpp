#include <gtest/gtest.h>
#include <windows.h>
// windows.h first: the device broadcasts' header builds on it.
#include <dbt.h>

#include <cstring>
#include <vector>

#include "platform/Windows/ControlRequest.h"

namespace {

using Platform::DecodeControlRequest;

// A device broadcast as the system lays it out: the fixed fields, then the name, its size
// counted in the header.
template <typename Broadcast>
std::vector<uint64_t> BroadcastWith(DWORD deviceType, const std::wstring& name, size_t nameOffset, bool terminated) {
  const size_t size = nameOffset + (name.size() + (terminated ? 1 : 0)) * sizeof(wchar_t);
  std::vector<uint64_t> buffer((std::max(size, sizeof(Broadcast)) + 7) / 8 + 1, 0);
  auto* header = reinterpret_cast<DEV_BROADCAST_HDR*>(buffer.data());
  header->dbch_size = static_cast<DWORD>(size);
  header->dbch_devicetype = deviceType;
  std::memcpy(reinterpret_cast<char*>(buffer.data()) + nameOffset, name.c_str(), name.size() * sizeof(wchar_t));
  // Past the size the header gives: must not be read as part of the name.
  if (!terminated) reinterpret_cast<wchar_t*>(reinterpret_cast<char*>(buffer.data()) + size)[0] = L'X';
  return buffer;
}

// A device event's data is read for what it names, within the size its header gives; power
// events keep their code; other controls carry nothing.
TEST(ControlRequest, DeviceBroadcastsAreReadWithinTheirOwnSize) {
  const std::wstring path = L"\\\\?\\USB#VID_16D3&PID_3000#R1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
  const size_t interfaceName = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
  for (bool terminated : {true, false}) {
    const auto data =
        BroadcastWith<DEV_BROADCAST_DEVICEINTERFACE_W>(DBT_DEVTYP_DEVICEINTERFACE, path, interfaceName, terminated);
    const auto request = DecodeControlRequest(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEARRIVAL, data.data());
    EXPECT_EQ(request.control, static_cast<uint32_t>(SERVICE_CONTROL_DEVICEEVENT));
    EXPECT_EQ(request.eventType, static_cast<uint32_t>(DBT_DEVICEARRIVAL));
    EXPECT_TRUE(request.hasDeviceData);
    EXPECT_EQ(request.deviceType, static_cast<uint32_t>(DBT_DEVTYP_DEVICEINTERFACE));
    EXPECT_EQ(request.deviceName, "\\\\?\\USB#VID_16D3&PID_3000#R1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
  }
  const auto port =
      BroadcastWith<DEV_BROADCAST_PORT_W>(DBT_DEVTYP_PORT, L"COM5", offsetof(DEV_BROADCAST_PORT_W, dbcp_name), true);
  EXPECT_EQ(DecodeControlRequest(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEREMOVECOMPLETE, port.data()).deviceName,
            "COM5");
  // A header too short for any name, a handle's broadcast (no name), no data at all.
  auto shortOne = BroadcastWith<DEV_BROADCAST_DEVICEINTERFACE_W>(DBT_DEVTYP_DEVICEINTERFACE, L"", interfaceName, false);
  reinterpret_cast<DEV_BROADCAST_HDR*>(shortOne.data())->dbch_size = sizeof(DEV_BROADCAST_HDR);
  EXPECT_EQ(DecodeControlRequest(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEARRIVAL, shortOne.data()).deviceName, "");
  DEV_BROADCAST_HDR handle{sizeof(DEV_BROADCAST_HDR), DBT_DEVTYP_HANDLE, 0};
  const auto ofHandle = DecodeControlRequest(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEQUERYREMOVE, &handle);
  EXPECT_TRUE(ofHandle.hasDeviceData);
  EXPECT_EQ(ofHandle.deviceType, static_cast<uint32_t>(DBT_DEVTYP_HANDLE));
  EXPECT_EQ(ofHandle.deviceName, "");
  EXPECT_FALSE(DecodeControlRequest(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEARRIVAL, nullptr).hasDeviceData);

  const auto power = DecodeControlRequest(SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND, &handle);
  EXPECT_EQ(power.eventType, static_cast<uint32_t>(PBT_APMSUSPEND));
  EXPECT_FALSE(power.hasDeviceData);
  const auto stop = DecodeControlRequest(SERVICE_CONTROL_STOP, 7, &handle);
  EXPECT_EQ(stop.control, static_cast<uint32_t>(SERVICE_CONTROL_STOP));
  EXPECT_EQ(stop.eventType, 0u);
}

}  // namespace
