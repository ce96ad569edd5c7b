# The main window, start-up and commands. The test runs a real job, so it sits in a folder of
# its own beside a Plugins folder that holds the built format plug-ins.
vt_add_test(app_shell_test SOURCES main_window_test.cpp DEPS vt_app Qt6::Test LABELS "app;gui")
set(VT_APP_SHELL_DIR ${CMAKE_BINARY_DIR}/tests/app-shell)
set_target_properties(app_shell_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${VT_APP_SHELL_DIR})
add_custom_command(TARGET app_shell_test POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E create_symlink ${VT_BIN_DIR}/Plugins ${VT_APP_SHELL_DIR}/Plugins)
add_dependencies(app_shell_test fmx_PNM fmx_BMP)
target_compile_definitions(app_shell_test PRIVATE VT_APP_SCREENS_DIR="${VT_APP_SCREENS_DIR}")
set_tests_properties(app_shell_test PROPERTIES TIMEOUT 120)
set_property(TEST app_shell_test APPEND PROPERTY ENVIRONMENT QT_QPA_PLATFORM=offscreen)
# The conversion wizard; its end-to-end job needs the plug-ins and vtconvert beside it.
vt_add_test(app_wizard_test SOURCES wizard_test.cpp DEPS vt_app Qt6::Test LABELS "app;gui")
set(VT_APP_WIZARD_DIR ${CMAKE_BINARY_DIR}/tests/app-wizard)
set_target_properties(app_wizard_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${VT_APP_WIZARD_DIR})
add_custom_command(TARGET app_wizard_test POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E create_symlink ${VT_BIN_DIR}/Plugins ${VT_APP_WIZARD_DIR}/Plugins)
add_dependencies(app_wizard_test fmx_PNM fmx_PNG vtconvert)
target_compile_definitions(app_wizard_test PRIVATE VT_APP_SCREENS_DIR="${VT_APP_SCREENS_DIR}"
                           VTCONVERT="${VT_BIN_DIR}/vtconvert")
set_tests_properties(app_wizard_test PROPERTIES TIMEOUT 180)
set_property(TEST app_wizard_test APPEND PROPERTY ENVIRONMENT QT_QPA_PLATFORM=offscreen)
