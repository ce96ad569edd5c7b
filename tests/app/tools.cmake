# The suite's settings tools. Like the shell's test it sits beside Plugins and Language folders
# of its own, since the tools list what is installed beside them.
vt_add_test(app_tools_test SOURCES tools_test.cpp DEPS vt_app Qt6::Test LABELS "app;gui")
set(VT_APP_TOOLS_DIR ${CMAKE_BINARY_DIR}/tests/app-tools)
set_target_properties(app_tools_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${VT_APP_TOOLS_DIR})
add_custom_command(TARGET app_tools_test POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E create_symlink ${VT_BIN_DIR}/Plugins ${VT_APP_TOOLS_DIR}/Plugins
    COMMAND ${CMAKE_COMMAND} -E create_symlink ${VT_BIN_DIR}/Language ${VT_APP_TOOLS_DIR}/Language)
add_dependencies(app_tools_test fmx_PNM fmx_PNG vt_language_files)
target_compile_definitions(app_tools_test PRIVATE VT_VERSION="${PROJECT_VERSION}"
                           VT_APP_SCREENS_DIR="${VT_APP_SCREENS_DIR}"
                           VT_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
set_tests_properties(app_tools_test PROPERTIES TIMEOUT 120)
set_property(TEST app_tools_test APPEND PROPERTY ENVIRONMENT QT_QPA_PLATFORM=offscreen LC_ALL=C.UTF-8)
