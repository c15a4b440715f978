#include "connections/LinkResult.h"

// Linux's system errors are errno values.
uint32_t LinkResult::FromSystemError(int error) { return FromErrno(error); }
