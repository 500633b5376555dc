# The router agent for one OpenWrt target: a static binary on musl and BearSSL, both built by
# scripts/setup into the cache. scripts/build passes VORNA_ROUTER_TARGET, VORNA_ROUTER_TRIPLET
# and VORNA_ROUTER_FLAGS from scripts/lib/router.sh, the one table of the targets.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${VORNA_ROUTER_TARGET})
set(CMAKE_C_COMPILER ${VORNA_ROUTER_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${VORNA_ROUTER_TRIPLET}-g++)
set(VORNA_ROUTER ON CACHE BOOL "" FORCE)
set(VORNA_ROUTER_ROOT "/var/cache/vornaagent/router-${VORNA_ROUTER_TARGET}" CACHE PATH
    "musl and BearSSL for this target, built by scripts/setup")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VORNA_ROUTER_TARGET VORNA_ROUTER_TRIPLET
     VORNA_ROUTER_FLAGS VORNA_ROUTER_ROOT)
if(NOT EXISTS "${VORNA_ROUTER_ROOT}/lib/libc.a")
    message(FATAL_ERROR "No musl for ${VORNA_ROUTER_TARGET} in ${VORNA_ROUTER_ROOT}: run scripts/setup")
endif()

# The cross compiler's C headers and libraries are glibc's: only its own headers (stddef.h...)
# and libstdc++'s header-only parts are kept, in front of musl's headers.
execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=include
                OUTPUT_VARIABLE gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${CMAKE_C_COMPILER} -print-libgcc-file-name
                OUTPUT_VARIABLE libgcc OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -x c++ -E -v /dev/null
                ERROR_VARIABLE search OUTPUT_QUIET)
string(REGEX MATCHALL "\n [^\n]*/c\\+\\+/[^\n]*" cxx_dirs "${search}")
set(cxx_includes "")
foreach(dir IN LISTS cxx_dirs)
    string(STRIP "${dir}" dir)
    string(APPEND cxx_includes " -isystem ${dir}")
endforeach()
set(c_includes "-nostdinc -isystem ${gcc_include} -isystem ${VORNA_ROUTER_ROOT}/include")
set(CMAKE_C_FLAGS_INIT "${VORNA_ROUTER_FLAGS} ${c_includes}")
# No exceptions, no RTTI: the agent uses neither, and the C++ runtime is our own small one.
set(CMAKE_CXX_FLAGS_INIT "${VORNA_ROUTER_FLAGS} -nostdinc ${cxx_includes} -isystem ${gcc_include} \
-isystem ${VORNA_ROUTER_ROOT}/include -include ${CMAKE_CURRENT_LIST_DIR}/router/musl_glibcxx.h \
-fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-unwind-tables")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -nostdlib ${VORNA_ROUTER_FLAGS} \
${VORNA_ROUTER_ROOT}/lib/crt1.o ${VORNA_ROUTER_ROOT}/lib/crti.o")
# Only libgcc's integer helpers are reached: the agent does no floating point (on MIPS the
# library is built for hard float, so its float routines would not fit soft-float code).
set(CMAKE_C_STANDARD_LIBRARIES "-Wl,--start-group ${VORNA_ROUTER_ROOT}/lib/libc.a ${libgcc} \
-Wl,--end-group ${VORNA_ROUTER_ROOT}/lib/crtn.o")
set(CMAKE_CXX_STANDARD_LIBRARIES "${CMAKE_C_STANDARD_LIBRARIES}")

set(CMAKE_FIND_ROOT_PATH ${VORNA_ROUTER_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
