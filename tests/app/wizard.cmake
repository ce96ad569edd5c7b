# The conversion wizard, page by page and once end to end against vtconvert. It sits in a folder
# of its own beside the Plugins and Language folders of the build.
vt_add_test(app_wizard_test SOURCES wizard_test.cpp DEPS vt_app Qt6::Test LABELS "app;gui")
set(VT_APP_WIZARD_DIR ${CMAKE_BINARY_DIR}/tests/app-wizard)
set_target_properties(app_wizard_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${VT_APP_WIZARD_DIR})
foreach(folder Plugins Language)
    add_custom_command(TARGET app_wizard_test POST_BUILD
        COMMAND ${CMAKE_COMMAND} -E create_symlink ${VT_BIN_DIR}/${folder} ${VT_APP_WIZARD_DIR}/${folder})
endforeach()
add_dependencies(app_wizard_test fmx_PNM fmx_BMP fmx_PNG vtconvert vt_language_files)
target_compile_definitions(app_wizard_test PRIVATE VT_APP_SCREENS_DIR="${VT_APP_SCREENS_DIR}"
                                                   VT_BIN_DIR="${VT_BIN_DIR}"
                                                   VT_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
set_tests_properties(app_wizard_test PROPERTIES TIMEOUT 120)
set_property(TEST app_wizard_test APPEND PROPERTY ENVIRONMENT QT_QPA_PLATFORM=offscreen LC_ALL=C.UTF-8)
