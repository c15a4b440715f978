#pragma once
// The format archetype of the printf the Windows build formats with: mingw's C99 one
// (__USE_MINGW_ANSI_STDIO, which knows %zu and %lld), not Microsoft's.
#define OVANTA_PRINTF_FORMAT gnu_printf
