# The same sources for 64-bit Windows: the test build of machines whose kernel runs no 32-bit
# programs, so that the Win32 tests still run there (under 64-bit Wine). The product is i686.
set(vorna_mingw_cpu x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
# Debian's `wine` runs the 32-bit loader whenever it is installed; this one runs the 64-bit one.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/harness/wine64/wine)
set(VORNA_OPENSSL_ROOT "/var/cache/vornaagent/openssl-mingw64" CACHE PATH
    "libcrypto built for x86_64-w64-mingw32 by scripts/setup")
