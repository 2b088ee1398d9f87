# Cross-build for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64-posix):
#   cmake -S . -B build-win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# The -posix compilers, because the default (win32-thread) ones have no std::thread.
# Tests built this way run under wine (wine64) as the cross-compiling emulator.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CVSMTPGW_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${CVSMTPGW_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CVSMTPGW_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${CVSMTPGW_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${CVSMTPGW_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Debian installs wine64's loader outside PATH.
find_program(CVSMTPGW_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(CVSMTPGW_WINE NAMES wine64 wine)
if(CVSMTPGW_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CVSMTPGW_WINE})
endif()
