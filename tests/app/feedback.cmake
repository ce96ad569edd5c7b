# The notice at a job's end and the job log. The test runs on a session bus of its own
# (dbus-run-session), where it starts its own notification service, beside Plugins and
# Language folders of its own.
find_package(Qt6 REQUIRED COMPONENTS DBus)
find_program(VT_DBUS_RUN_SESSION dbus-run-session REQUIRED)
set(VT_APP_FEEDBACK_DIR ${CMAKE_BINARY_DIR}/tests/app-feedback)
add_executable(app_feedback_test feedback_test.cpp)
target_link_libraries(app_feedback_test PRIVATE vt_app Qt6::Test Qt6::DBus)
set_target_properties(app_feedback_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${VT_APP_FEEDBACK_DIR})
vt_set_warnings(app_feedback_test)
vt_set_sanitizers(app_feedback_test)
foreach(folder Plugins Language)
    add_custom_command(TARGET app_feedback_test POST_BUILD
        COMMAND ${CMAKE_COMMAND} -E create_symlink ${VT_BIN_DIR}/${folder} ${VT_APP_FEEDBACK_DIR}/${folder})
endforeach()
add_dependencies(app_feedback_test fmx_PNM fmx_BMP fmx_PNG vt_language_files)
target_compile_definitions(app_feedback_test PRIVATE VT_APP_SCREENS_DIR="${VT_APP_SCREENS_DIR}"
                           VT_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
add_test(NAME app_feedback_test
         COMMAND ${VT_DBUS_RUN_SESSION} -- $<TARGET_FILE:app_feedback_test>)
set_tests_properties(app_feedback_test PROPERTIES LABELS "app;gui" TIMEOUT 120
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;LC_ALL=C.UTF-8")
