# What the MinGW-w64 toolchain files share (posix thread model); `vorna_mingw_cpu` is set by
# the file that includes this one: i686 for the product, x86_64 for the 64-bit test build.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${vorna_mingw_cpu})
set(CMAKE_C_COMPILER ${vorna_mingw_cpu}-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER ${vorna_mingw_cpu}-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER ${vorna_mingw_cpu}-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${vorna_mingw_cpu}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
