# Cross build for Windows x86-64 with Debian's mingw-w64 (posix thread model); programs built
# with it run under Wine. This file is the one place that names the cross compiler, the sysroot
# of the dependencies (built by scripts/windows/setup) and the emulator. scripts/windows/setup
# builds the CMake-based dependencies with it too, and reads the compiler names from it:
# `cmake -P cmake/mingw-w64.cmake` prints "<triple> <C compiler> <C++ compiler>".
set(OVANTA_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER ${OVANTA_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${OVANTA_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${OVANTA_MINGW_TRIPLE}-windres)
if(CMAKE_SCRIPT_MODE_FILE)
  execute_process(COMMAND ${CMAKE_COMMAND} -E echo
                  "${OVANTA_MINGW_TRIPLE} ${CMAKE_C_COMPILER} ${CMAKE_CXX_COMPILER}")
  return()
endif()

# The dependencies' static libraries: -DOVANTA_WINDOWS_SYSROOT=<dir> or the environment's
# OVANTA_WINDOWS_SYSROOT (scripts/windows/build passes the one setup built).
if(NOT OVANTA_WINDOWS_SYSROOT AND DEFINED ENV{OVANTA_WINDOWS_SYSROOT})
  set(OVANTA_WINDOWS_SYSROOT $ENV{OVANTA_WINDOWS_SYSROOT})
endif()
if(NOT OVANTA_WINDOWS_SYSROOT)
  message(FATAL_ERROR "OVANTA_WINDOWS_SYSROOT is not set: run scripts/windows/setup, then scripts/windows/build")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES OVANTA_WINDOWS_SYSROOT)

# Libraries, headers and packages come only from the sysroot and the compiler's own tree;
# programs (pkg-config, the code generators) are the build machine's.
set(CMAKE_FIND_ROOT_PATH ${OVANTA_WINDOWS_SYSROOT} /usr/${OVANTA_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR} ${OVANTA_WINDOWS_SYSROOT}/lib/pkgconfig)

# Every executable is linked statically (the C++ runtime and winpthreads included), so that it
# runs under Wine and on Windows without DLLs beside it; CTest and gtest_discover_tests run the
# test programs through Wine.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
# Debian keeps the 64-bit loader out of PATH (/usr/bin/wine picks it, after a warning that
# 32-bit Wine is missing).
find_program(OVANTA_WINE NAMES wine64 wine PATHS /usr/lib/wine REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${OVANTA_WINE})
