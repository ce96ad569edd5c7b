# Close requests as an X server delivers them: the test runs on a virtual X server of its own
# (xvfb-run) and sends the window manager's WM_DELETE_WINDOW itself. Without xvfb-run or the
# XCB headers it is not built.
find_program(VT_XVFB_RUN xvfb-run)
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
    pkg_check_modules(VT_XCB QUIET IMPORTED_TARGET xcb)
endif()
if(VT_XVFB_RUN AND VT_XCB_FOUND)
    set(VT_APP_CLOSE_DIR ${CMAKE_BINARY_DIR}/tests/app-close)
    add_executable(app_close_test close_test.cpp)
    target_link_libraries(app_close_test PRIVATE vt_app Qt6::Test PkgConfig::VT_XCB)
    set_target_properties(app_close_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${VT_APP_CLOSE_DIR})
    vt_set_warnings(app_close_test)
    vt_set_sanitizers(app_close_test)
    foreach(folder Plugins Language)
        add_custom_command(TARGET app_close_test POST_BUILD
            COMMAND ${CMAKE_COMMAND} -E create_symlink ${VT_BIN_DIR}/${folder} ${VT_APP_CLOSE_DIR}/${folder})
    endforeach()
    add_dependencies(app_close_test fmx_PNM fmx_BMP vt_language_files)
    add_test(NAME app_close_test COMMAND ${VT_XVFB_RUN} -a $<TARGET_FILE:app_close_test>)
    set_tests_properties(app_close_test PROPERTIES LABELS "app;gui" TIMEOUT 120
        SKIP_RETURN_CODE 77 ENVIRONMENT "QT_QPA_PLATFORM=xcb;LC_ALL=C.UTF-8")
endif()
