#pragma once
// The format archetype of the system's printf, for __attribute__((format(...))) on the
// project's own printf-like functions.
#define OVANTA_PRINTF_FORMAT printf
