// The private folder's access list, read back through the security API as Windows keeps it
// (Wine keeps and returns it, but does not enforce it: what a user may read is a real
// machine's to show).
#include <gtest/gtest.h>
#include <windows.h>
// windows.h first: the security headers build on it.
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/FilePath.h"
#include "platform/PrivateDirectory.h"
#include "platform/Windows/PrivateAccessList.h"
#include "platform/Windows/WideText.h"
#include "tests/service/TestFiles.h"

namespace {

using namespace Platform;

// A folder's access list as the system gives it.
struct AccessList {
  bool read = false;
  bool isProtected = false;
  struct Entry {
    BYTE type, flags;
    ACCESS_MASK mask;
    std::string sid;
  };
  std::vector<Entry> entries;
};

std::string SidText(PSID sid) {
  LPWSTR text = nullptr;
  if (!::ConvertSidToStringSidW(sid, &text)) return "?";
  const std::string result = Narrow(text);
  ::LocalFree(text);
  return result;
}

void AddEntries(PACL dacl, AccessList& list) {
  for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!::GetAce(dacl, i, &ace)) continue;
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
    list.entries.push_back({allowed->Header.AceType, allowed->Header.AceFlags, allowed->Mask,
                            SidText(const_cast<DWORD*>(&allowed->SidStart))});
  }
}

AccessList AccessOf(const std::string& path) {
  AccessList list;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (::GetNamedSecurityInfoW(Widen(path).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                              nullptr, &descriptor) != ERROR_SUCCESS)
    return list;
  list.read = dacl != nullptr;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ::GetSecurityDescriptorControl(descriptor, &control, &revision);
  list.isProtected = (control & SE_DACL_PROTECTED) != 0;
  AddEntries(dacl, list);
  ::LocalFree(descriptor);
  return list;
}

std::string Describe(const AccessList& list) {
  std::string text = list.isProtected ? "protected:" : "inheriting:";
  for (const AccessList::Entry& entry : list.entries)
    text += " " + entry.sid + "/type " + std::to_string(entry.type) + "/flags " + std::to_string(entry.flags) +
            "/mask " + std::to_string(entry.mask);
  return text;
}

// What the folder must have: SYSTEM (S-1-5-18) and Administrators (S-1-5-32-544), full
// control, inherited by the folders and files in it (and, set on the folder, nothing from
// above).
void ExpectPrivateEntries(const AccessList& list) {
  ASSERT_EQ(list.entries.size(), 2u) << Describe(list);
  std::vector<std::string> sids;
  for (const AccessList::Entry& entry : list.entries) {
    EXPECT_EQ(entry.type, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(entry.flags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE), OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
    EXPECT_EQ(entry.mask & FILE_ALL_ACCESS, static_cast<ACCESS_MASK>(FILE_ALL_ACCESS));
    sids.push_back(entry.sid);
  }
  std::sort(sids.begin(), sids.end());
  EXPECT_EQ(sids, (std::vector<std::string>{"S-1-5-18", "S-1-5-32-544"}));
}

void ExpectPrivate(const std::string& path) {
  const AccessList list = AccessOf(path);
  ASSERT_TRUE(list.read) << path;
  EXPECT_TRUE(list.isProtected) << path << ": " << Describe(list);
  ExpectPrivateEntries(list);
}

// Wine takes an access list for a file without keeping it (unless its files take extended
// attributes): there MakePrivateDirectory says so, and the folder's own list is a real machine's
// to read back.
bool SystemKeepsFileAccessLists() {
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return !(ntdll && ::GetProcAddress(ntdll, "wine_get_version"));
}

// Gives the folder an access list under which every user may read and create files (what
// ProgramData hands down, and so what 0.2.0's folder had).
void OpenToEveryone(const std::string& path) {
  EXPLICIT_ACCESS_W entry{};
  entry.grfAccessPermissions = GENERIC_READ | GENERIC_WRITE;
  entry.grfAccessMode = SET_ACCESS;
  entry.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
  entry.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
  entry.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
  wchar_t users[] = L"Users";
  entry.Trustee.ptstrName = users;
  PACL acl = nullptr;
  ASSERT_EQ(::SetEntriesInAclW(1, &entry, nullptr, &acl), static_cast<DWORD>(ERROR_SUCCESS));
  ASSERT_EQ(::SetNamedSecurityInfoW(Widen(path).data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                    acl, nullptr),
            static_cast<DWORD>(ERROR_SUCCESS));
  ::LocalFree(acl);
}

// The list the folders get, as the security API builds it.
TEST(PrivateDirectory, TheListIsSystemAndAdministratorsWithFullControlInherited) {
  PACL acl = nullptr;
  ASSERT_EQ(NewPrivateAccessList(&acl), static_cast<unsigned long>(ERROR_SUCCESS));
  AccessList list;
  AddEntries(acl, list);
  ::LocalFree(acl);
  ExpectPrivateEntries(list);
}

TEST(PrivateDirectory, AMissingFolderIsMadeForSystemAndAdministratorsOnly) {
  TempDir dir;
  const std::string folder = dir.File("Ovanta") + "\\spool \xC3\xA9l\xC3\xA8ves";
  std::string error;
  const PrivateDirectory made = MakePrivateDirectory(folder, error);
  EXPECT_TRUE(std::filesystem::is_directory(Utf8Path(folder)));
  if (!SystemKeepsFileAccessLists()) {
    EXPECT_EQ(made, PrivateDirectory::kNotKept) << error;
    EXPECT_EQ(MakePrivateDirectory(folder, error), PrivateDirectory::kNotKept) << error;
    return;
  }
  EXPECT_EQ(made, PrivateDirectory::kMade) << error;
  ExpectPrivate(folder);
  EXPECT_EQ(MakePrivateDirectory(folder, error), PrivateDirectory::kWasPrivate) << error;
}

// A folder an older version made, open to every user, is repaired once and keeps its answers;
// the next start finds it private.
TEST(PrivateDirectory, AWiderFolderIsRepairedOnceAndKeepsWhatItHolds) {
  TempDir dir;
  const std::string folder = dir.File("Ovanta");
  std::filesystem::create_directories(Utf8Path(folder + "\\spool"));
  WriteFile(folder + "\\spool\\answers.journal", "kept");
  OpenToEveryone(folder);
  ASSERT_FALSE(AccessOf(folder).isProtected);
  std::string error;
  const PrivateDirectory repaired = MakePrivateDirectory(folder, error);
  EXPECT_EQ(ReadFile(folder + "\\spool\\answers.journal"), "kept");
  if (!SystemKeepsFileAccessLists()) {
    EXPECT_EQ(repaired, PrivateDirectory::kNotKept) << error;
    return;
  }
  EXPECT_EQ(repaired, PrivateDirectory::kRepaired) << error;
  ExpectPrivate(folder);
  EXPECT_EQ(MakePrivateDirectory(folder, error), PrivateDirectory::kWasPrivate) << error;
}

TEST(PrivateDirectory, AFolderThatCannotBeMadeSaysWhy) {
  TempDir dir;
  WriteFile(dir.File("file"), "");
  std::string error;
  EXPECT_EQ(MakePrivateDirectory(dir.File("file") + "\\below", error), PrivateDirectory::kFailed);
  EXPECT_NE(error.find("cannot create"), std::string::npos) << error;
}

}  // namespace
