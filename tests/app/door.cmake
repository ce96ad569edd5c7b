# The command line and the wizard admit the same jobs with the same plans. Like the wizard's test
# it sits in a folder of its own beside the Plugins folder of the build.
vt_add_test(app_door_test SOURCES door_test.cpp DEPS vt_app Qt6::Test LABELS "app;gui")
set(VT_APP_DOOR_DIR ${CMAKE_BINARY_DIR}/tests/app-door)
set_target_properties(app_door_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${VT_APP_DOOR_DIR})
add_custom_command(TARGET app_door_test POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E create_symlink ${VT_BIN_DIR}/Plugins ${VT_APP_DOOR_DIR}/Plugins)
add_dependencies(app_door_test fmx_PNM vtconvert)
target_compile_definitions(app_door_test PRIVATE VT_BIN_DIR="${VT_BIN_DIR}")
set_tests_properties(app_door_test PROPERTIES TIMEOUT 300)
set_property(TEST app_door_test APPEND PROPERTY ENVIRONMENT QT_QPA_PLATFORM=offscreen LC_ALL=C.UTF-8)
