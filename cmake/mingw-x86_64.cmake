# The same sources for 64-bit Windows: the test build of machines whose kernel runs no 32-bit
# programs, so that the Win32 tests still run there (under 64-bit Wine). The product is i686.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Debian's `wine` runs the 32-bit loader whenever it is installed; this one runs the 64-bit one.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/harness/wine64/wine)
set(VORNA_OPENSSL_ROOT "/var/cache/vornaagent/openssl-mingw64" CACHE PATH
    "libcrypto built for x86_64-w64-mingw32 by scripts/setup")
