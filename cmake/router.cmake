# The router tree (cmake/router-toolchain.cmake): the Linux agent alone, with the BearSSL
# backend, small and static; no tests, tools or package here (the tests run it under qemu).
add_library(vorna_crypto STATIC IMPORTED GLOBAL)
set_target_properties(vorna_crypto PROPERTIES
    IMPORTED_LOCATION "${VORNA_ROUTER_ROOT}/lib/libbearssl.a"
    INTERFACE_INCLUDE_DIRECTORIES "${VORNA_ROUTER_ROOT}/include")
add_compile_options(-ffunction-sections -fdata-sections)
add_link_options(-Wl,--gc-sections)
vorna_core_library(vorna_core bearssl)
add_subdirectory(platform/posix)
add_subdirectory(platform/linux)
add_subdirectory(bench/linux)
target_sources(vornaagent PRIVATE ${PROJECT_SOURCE_DIR}/cmake/router/cxx_runtime.cpp)
# The binary that ships: stripped, at the top of the tree.
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/vornaagent
                   COMMAND ${CMAKE_STRIP} -o ${PROJECT_BINARY_DIR}/vornaagent
                           $<TARGET_FILE:vornaagent>
                   DEPENDS vornaagent VERBATIM)
add_custom_target(vornaagent_stripped ALL DEPENDS ${PROJECT_BINARY_DIR}/vornaagent)
if(VORNA_ROUTER_FLAGS MATCHES "-msoft-float")
    set(objects $<TARGET_OBJECTS:vornaagent> $<TARGET_OBJECTS:vorna_core>
                $<TARGET_OBJECTS:vorna_text> $<TARGET_OBJECTS:vorna_platform_posix>
                $<TARGET_OBJECTS:vorna_platform_linux>)
    add_custom_command(TARGET vornaagent_stripped POST_BUILD
                       COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} "-DOBJECTS=$<JOIN:${objects},|>"
                               -P ${PROJECT_SOURCE_DIR}/cmake/router/no_float.cmake
                       VERBATIM)
endif()
