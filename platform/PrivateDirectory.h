#pragma once
#include <string>

// A folder for what only the service and the machine's administrators may read or change (the
// students' answers kept on disk).
namespace Platform {

enum class PrivateDirectory {
  kMade,        // it was missing: made, and theirs alone
  kWasPrivate,  // it was there and theirs alone already
  kRepaired,    // it was there and others could reach it: now theirs alone
  kNotKept,     // it is there, but its file system keeps no access lists
  kFailed,      // it could not be made, or its access could not be set (the reason in error)
};

// Makes the folder path (and the folders above it that are missing) and sees that it and what
// it holds are for the system and the administrators only. Windows: a protected access list
// that gives SYSTEM and Administrators full control, inherited by everything in it; a folder
// whose list is anything else (made by an older version, or inheriting ProgramData's, under
// which every user may read and create files) is given that list, and what it holds keeps its
// content. Linux: the folder is made; its mode is the package's business (its state directory
// is the service user's alone).
PrivateDirectory MakePrivateDirectory(const std::string& path, std::string& error);

}  // namespace Platform
