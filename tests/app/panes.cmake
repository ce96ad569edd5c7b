# The progress display and the notification bubble. The test runs a real job, so it sits in a
# folder of its own beside a Plugins folder that holds the built format plug-ins.
vt_add_test(app_panes_test SOURCES panes_test.cpp DEPS vt_app Qt6::Test LABELS "app;gui")
set(VT_APP_PANES_DIR ${CMAKE_BINARY_DIR}/tests/app-panes)
set_target_properties(app_panes_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${VT_APP_PANES_DIR})
add_custom_command(TARGET app_panes_test POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E create_symlink ${VT_BIN_DIR}/Plugins ${VT_APP_PANES_DIR}/Plugins)
add_dependencies(app_panes_test fmx_PNM fmx_BMP)
target_compile_definitions(app_panes_test PRIVATE VT_APP_SCREENS_DIR="${VT_APP_SCREENS_DIR}")
set_tests_properties(app_panes_test PROPERTIES TIMEOUT 120)
set_property(TEST app_panes_test APPEND PROPERTY ENVIRONMENT QT_QPA_PLATFORM=offscreen LC_ALL=C.UTF-8)
