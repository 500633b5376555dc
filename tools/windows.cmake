# The site config tool as a Windows console program, for admins who stamp agents on Windows.
# Included by the Windows build; the same sources as the native tool.
set(vorna_tools_dir ${PROJECT_SOURCE_DIR}/tools)
add_executable(vorna_config_win
    ${PROJECT_SOURCE_DIR}/core/cp1251.cpp
    ${vorna_tools_dir}/common/files.cpp
    ${PROJECT_SOURCE_DIR}/core/ipv4.cpp
    ${vorna_tools_dir}/common/rsa_keys.cpp
    ${vorna_tools_dir}/vorna_config/config_block.cpp
    ${vorna_tools_dir}/vorna_config/config_key.cpp
    ${vorna_tools_dir}/vorna_config/pe_image.cpp
    ${vorna_tools_dir}/vorna_config/main.cpp
)
set_target_properties(vorna_config_win PROPERTIES OUTPUT_NAME vorna_config)
target_include_directories(vorna_config_win PRIVATE ${PROJECT_SOURCE_DIR} ${VORNA_GENERATED_DIR})
target_compile_options(vorna_config_win PRIVATE ${VORNA_WARNINGS})
target_compile_definitions(vorna_config_win PRIVATE ${VORNA_OPENSSL_DEFS})
target_link_libraries(vorna_config_win PRIVATE vorna_crypto)
target_link_options(vorna_config_win PRIVATE $<$<CONFIG:Release,MinSizeRel>:-s>)

# Run through wine by CTest: it reads the built-in block of the real agent.
add_test(NAME config_tool_windows_show COMMAND vorna_config_win show $<TARGET_FILE:VornaAgent>)
set_tests_properties(config_tool_windows_show PROPERTIES
    PASS_REGULAR_EXPRESSION "10\\.0\\.0\\.1" FAIL_REGULAR_EXPRESSION "error|refus"
    ENVIRONMENT "WINEDEBUG=-all")
