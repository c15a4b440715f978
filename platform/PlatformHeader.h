#pragma once

// Where a folder keeps one backend per OS (Linux/, Windows/), portable code reaches the header
// of the platform being built through a portable header of the same name one folder up, which
// names both backends and includes the one of this build with
//
//   #include OVANTA_PLATFORM_HEADER(connections, ThreadedPort.h)
//
// "connections/Linux/ThreadedPort.h" in the Linux build, "connections/Windows/ThreadedPort.h" in
// the Windows one. The build names the platform (OVANTA_PLATFORM, the top CMakeLists.txt), so the
// portable code chooses no header by OS itself. Code inside a backend names its own folder.
// The path is written out as it stands: spaces around its slashes would be part of it.
// clang-format off
#define OVANTA_PLATFORM_HEADER_TEXT(path) #path
#define OVANTA_PLATFORM_HEADER_PATH(folder, platform, name) OVANTA_PLATFORM_HEADER_TEXT(folder/platform/name)
#define OVANTA_PLATFORM_HEADER(folder, name) OVANTA_PLATFORM_HEADER_PATH(folder, OVANTA_PLATFORM, name)
// clang-format on
