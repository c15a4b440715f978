#include "connections/LinkResult.h"
#include "connections/Windows/Win32LinkErrors.h"

// Windows' system errors are Win32 codes already: only the ones with a meaning of their own
// here are mapped.
uint32_t LinkResult::FromSystemError(int error) { return Win32LinkErrors::OpenResult(static_cast<DWORD>(error)); }
