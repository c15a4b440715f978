#pragma once
#include <cstdio>
#include <string>

namespace Platform {

// Replaces the file at path with text so that a reader, or the machine after a crash, sees
// either the old file whole or the new one whole: the text goes to a temporary file in the
// same directory, which is synced, renamed over path, and the directory synced after it.
// The new file keeps the old one's permission bits (mode for a file that did not exist).
// False, with the reason in error, when any step fails; the old file is then untouched.
bool ReplaceFileAtomically(const std::string& path, const std::string& text, std::string& error, unsigned mode = 0644);

// Commits the data written to an open file (flushed from its buffer first) to disk.
bool SyncFileData(std::FILE* file);

}  // namespace Platform
