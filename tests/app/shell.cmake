# The main window, start-up and commands. The test runs a real job, so it sits in a folder of
# its own beside a Plugins folder that holds the built format plug-ins.
vt_add_test(app_shell_test SOURCES main_window_test.cpp DEPS vt_app Qt6::Test LABELS "app;gui")
set(VT_APP_SHELL_DIR ${CMAKE_BINARY_DIR}/tests/app-shell)
set_target_properties(app_shell_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${VT_APP_SHELL_DIR})
add_custom_command(TARGET app_shell_test POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E create_symlink ${VT_BIN_DIR}/Plugins ${VT_APP_SHELL_DIR}/Plugins)
add_dependencies(app_shell_test fmx_PNM fmx_BMP fmx_JPEG)
target_compile_definitions(app_shell_test PRIVATE VT_APP_SCREENS_DIR="${VT_APP_SCREENS_DIR}"
                           VT_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
set_tests_properties(app_shell_test PROPERTIES TIMEOUT 120)
set_property(TEST app_shell_test APPEND PROPERTY ENVIRONMENT QT_QPA_PLATFORM=offscreen LC_ALL=C.UTF-8)
add_custom_command(TARGET app_shell_test POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E create_symlink ${VT_BIN_DIR}/Language ${VT_APP_SHELL_DIR}/Language)
add_dependencies(app_shell_test vt_language_files)
# The icons drawn for the program lie in <build>/share; the test finds them as the program
# does, in share/ beside its own folder.
add_custom_command(TARGET app_shell_test POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E create_symlink ${CMAKE_BINARY_DIR}/share ${CMAKE_BINARY_DIR}/tests/share)
add_dependencies(app_shell_test vt_desktop_files)
