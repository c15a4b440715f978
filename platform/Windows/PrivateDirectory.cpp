#include "platform/PrivateDirectory.h"

#include <windows.h>
// windows.h first: the security API's header builds on it.
#include <aclapi.h>

#include <filesystem>
#include <system_error>

#include "platform/FilePath.h"
#include "platform/Windows/PrivateAccessList.h"
#include "platform/Windows/WideText.h"
#include "platform/Windows/Win32Error.h"

// The folder's access list through the security API: SYSTEM and Administrators, full control,
// inherited by every folder and file in it, nothing inherited from above.
namespace Platform {
namespace {

// A well-known account's SID.
struct WellKnownSid {
  explicit WellKnownSid(WELL_KNOWN_SID_TYPE type) {
    DWORD size = sizeof bytes;
    valid = ::CreateWellKnownSid(type, nullptr, bytes, &size) != FALSE;
  }
  PSID Get() { return bytes; }
  BYTE bytes[SECURITY_MAX_SID_SIZE] = {};
  bool valid = false;
};

// Memory the security API allocated.
struct LocalMemory {
  ~LocalMemory() {
    if (memory) ::LocalFree(memory);
  }
  HLOCAL memory = nullptr;
};

// Whether the folder's access list is the private one already: protected from inheritance, and
// every entry an allowing entry for one of the two accounts.
bool IsPrivate(const std::wstring& folder, PSID system, PSID administrators) {
  PACL dacl = nullptr;
  LocalMemory descriptor;
  if (::GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                              nullptr, reinterpret_cast<PSECURITY_DESCRIPTOR*>(&descriptor.memory)) != ERROR_SUCCESS)
    return false;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (!dacl || !::GetSecurityDescriptorControl(descriptor.memory, &control, &revision) ||
      !(control & SE_DACL_PROTECTED))
    return false;
  bool systemAllowed = false, administratorsAllowed = false;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!::GetAce(dacl, i, &ace)) return false;
    const auto* header = static_cast<const ACE_HEADER*>(ace);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) return false;
    PSID sid = &static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart;
    if (::EqualSid(sid, system))
      systemAllowed = true;
    else if (::EqualSid(sid, administrators))
      administratorsAllowed = true;
    else
      return false;
  }
  return systemAllowed && administratorsAllowed;
}

// Gives the folder the private access list; false with the reason.
bool SetPrivate(const std::wstring& folder, std::string& error) {
  PACL acl = nullptr;
  DWORD result = NewPrivateAccessList(&acl);
  LocalMemory aclMemory;
  aclMemory.memory = acl;
  if (result == ERROR_SUCCESS)
    result = ::SetNamedSecurityInfoW(const_cast<LPWSTR>(folder.c_str()), SE_FILE_OBJECT,
                                     DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                     acl, nullptr);
  if (result == ERROR_SUCCESS) return true;
  error = Win32ErrorText(result);
  return false;
}

}  // namespace

unsigned long NewPrivateAccessList(PACL* acl) {
  WellKnownSid system(WinLocalSystemSid), administrators(WinBuiltinAdministratorsSid);
  if (!system.valid || !administrators.valid) return ::GetLastError();
  EXPLICIT_ACCESS_W entries[2] = {};
  PSID sids[2] = {system.Get(), administrators.Get()};
  for (int i = 0; i < 2; ++i) {
    entries[i].grfAccessPermissions = FILE_ALL_ACCESS;
    entries[i].grfAccessMode = SET_ACCESS;
    entries[i].grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
    entries[i].Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entries[i].Trustee.TrusteeType = i == 0 ? TRUSTEE_IS_USER : TRUSTEE_IS_WELL_KNOWN_GROUP;
    entries[i].Trustee.ptstrName = static_cast<LPWSTR>(sids[i]);
  }
  return ::SetEntriesInAclW(2, entries, nullptr, acl);
}

PrivateDirectory MakePrivateDirectory(const std::string& path, std::string& error) {
  std::error_code ec;
  const std::filesystem::path folder = Utf8Path(path);
  const bool existed = std::filesystem::is_directory(folder, ec);
  if (!existed) {
    std::filesystem::create_directories(folder, ec);
    if (ec) {
      error = "cannot create " + path + ": " + ec.message();
      return PrivateDirectory::kFailed;
    }
  }
  WellKnownSid system(WinLocalSystemSid), administrators(WinBuiltinAdministratorsSid);
  if (!system.valid || !administrators.valid) {
    error = Win32ErrorText(::GetLastError());
    return PrivateDirectory::kFailed;
  }
  const std::wstring wide = Widen(path);
  if (existed && IsPrivate(wide, system.Get(), administrators.Get())) return PrivateDirectory::kWasPrivate;
  if (!SetPrivate(wide, error)) {
    error = "cannot set the access of " + path + ": " + error;
    return PrivateDirectory::kFailed;
  }
  // A file system that keeps no access lists (FAT, some network shares; Wine's, unless its
  // files take extended attributes) takes the call and keeps what it had.
  if (!IsPrivate(wide, system.Get(), administrators.Get())) return PrivateDirectory::kNotKept;
  return existed ? PrivateDirectory::kRepaired : PrivateDirectory::kMade;
}

}  // namespace Platform
