#pragma once
#include <windows.h>

namespace Platform {

// The private folder's access list (MakePrivateDirectory): SYSTEM and Administrators, full
// control, inherited by every folder and file in it. ERROR_SUCCESS and the list in *acl (free it
// with LocalFree), or the system's error code.
unsigned long NewPrivateAccessList(PACL* acl);

}  // namespace Platform
