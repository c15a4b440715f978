#pragma once
// in_addr without <winsock2.h> (and the Windows headers' macros); ssize_t from the C library.
#include <inaddr.h>
#include <sys/types.h>
