# Cross-compiling the agent for 32-bit Windows with MinGW-w64 (posix thread model).
set(vorna_mingw_cpu i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
