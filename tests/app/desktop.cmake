# Desktop integration. Included from tests/app/CMakeLists.txt it declares the tests; run with
# `cmake -P` it is the install test itself: install into an empty prefix, check the Linux layout
# (bin/ holds the three programs and nothing else, the suite program folder lib/vantrel, the
# shipped data in share/vantrel, no test helper anywhere) and convert the bundled samples with
# the installed vtconvert, started from / without any of our variables, which must find its
# plug-ins and core library from its own path.

if(CMAKE_SCRIPT_MODE_FILE)
    file(REMOVE_RECURSE ${VT_WORK_DIR})
    set(prefix ${VT_WORK_DIR}/prefix)
    unset(ENV{DESTDIR})
    execute_process(COMMAND ${CMAKE_COMMAND} --install ${VT_BUILD_DIR} --prefix ${prefix}
                    OUTPUT_QUIET RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "cmake --install failed: ${result}")
    endif()

    set(expected lib/vantrel/vtl_Core.so lib/vantrel/vtl_Video lib/vantrel/Plugins/fmx_PNG.so
        share/vantrel/Help/index.html share/vantrel/Help/converter_usage.html
        share/vantrel/Help/help.css share/vantrel/Language/German.lng
        share/vantrel/Presets/web-1920-jpeg.vtpreset
        lib/vantrel/opt_Plugins lib/vantrel/opt_Files lib/vantrel/opt_Language
        lib/vantrel/opt_Other
        share/applications/vantrel-converter.desktop
        share/mime/packages/vantrel-converter.xml
        share/icons/hicolor/scalable/apps/vantrel-converter.svg
        share/man/man1/vtconvert.1.gz share/man/man1/vantrel-converter.1.gz
        share/man/man1/vt5dump.1.gz share/doc/vantrel-converter/copyright
        share/doc/vantrel-converter/changelog.gz)
    foreach(size 16 22 24 32 48 64 128 256)
        list(APPEND expected share/icons/hicolor/${size}x${size}/apps/vantrel-converter.png)
    endforeach()
    foreach(file ${expected})
        if(NOT EXISTS ${prefix}/${file})
            message(FATAL_ERROR "not installed: ${file}")
        endif()
    endforeach()
    file(GLOB programs RELATIVE ${prefix}/bin ${prefix}/bin/*)
    list(SORT programs)
    if(NOT programs STREQUAL "vantrel-converter;vt5dump;vtconvert")
        message(FATAL_ERROR "bin/ must hold exactly the three programs, not: ${programs}")
    endif()
    file(GLOB_RECURSE helpers RELATIVE ${prefix} ${prefix}/*vt_test* ${prefix}/*fmx_Test*)
    if(helpers)
        message(FATAL_ERROR "test helpers installed: ${helpers}")
    endif()

    # The installed programs know nothing of the build tree or of this user's settings.
    set(ENV{VANTREL_DATA_ROOT} ${VT_WORK_DIR}/data)
    unset(ENV{VANTREL_PATH})
    unset(ENV{LD_LIBRARY_PATH})
    execute_process(COMMAND ${prefix}/bin/vtconvert --list-formats WORKING_DIRECTORY /
                    OUTPUT_VARIABLE formats RESULT_VARIABLE result)
    if(NOT result EQUAL 0 OR NOT formats MATCHES "\\.png +PNG Image +fmx_PNG\\.so +fmx_PNG\\.so")
        message(FATAL_ERROR "installed vtconvert --list-formats (${result}):\n${formats}")
    endif()
    # The dynamic loader's trace names the core library the installed program opened.
    execute_process(COMMAND ${CMAKE_COMMAND} -E env LD_DEBUG=files
                            ${prefix}/bin/vtconvert -q -r -f .png --json ${VT_SAMPLES}
                            ${VT_WORK_DIR}/out
                    WORKING_DIRECTORY / OUTPUT_VARIABLE summary ERROR_VARIABLE loaded
                    RESULT_VARIABLE result)
    if(NOT result EQUAL 0 OR NOT summary MATCHES "\"failed\":0,\"unknown\":0")
        message(FATAL_ERROR "installed vtconvert converting the samples (${result}): ${summary}")
    endif()
    string(FIND "${loaded}" "file=${prefix}/lib/vantrel/vtl_Core.so " core_at)
    if(core_at EQUAL -1)
        message(FATAL_ERROR "the installed vtconvert did not open lib/vantrel/vtl_Core.so")
    endif()
    file(GLOB_RECURSE written ${VT_WORK_DIR}/out/*.png)
    if(NOT written)
        message(FATAL_ERROR "the installed vtconvert wrote no picture: ${summary}")
    endif()
    return()
endif()

find_program(VT_DESKTOP_FILE_VALIDATE desktop-file-validate)
if(VT_DESKTOP_FILE_VALIDATE)
    # Any output is a warning or a hint about the entry, and fails the test.
    add_test(NAME desktop_file_valid COMMAND ${VT_DESKTOP_FILE_VALIDATE}
             ${CMAKE_BINARY_DIR}/share/applications/vantrel-converter.desktop)
    set_tests_properties(desktop_file_valid PROPERTIES LABELS app FAIL_REGULAR_EXPRESSION ".")
endif()
# The written entry claims what the plug-ins read (PNG and the PNM family are always built) and
# never folders; folders are its action instead.
add_test(NAME desktop_entry_types
         COMMAND ${CMAKE_COMMAND}
                 -DVT_ENTRY=${CMAKE_BINARY_DIR}/share/applications/vantrel-converter.desktop
                 -P ${CMAKE_CURRENT_LIST_DIR}/desktop_entry_test.cmake)
set_tests_properties(desktop_entry_types PROPERTIES LABELS app)

add_test(NAME desktop_install
         COMMAND ${CMAKE_COMMAND} -DVT_BUILD_DIR=${CMAKE_BINARY_DIR}
                 -DVT_WORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/install-test
                 -DVT_SAMPLES=${PROJECT_SOURCE_DIR}/samples -P ${CMAKE_CURRENT_LIST_FILE})
set_tests_properties(desktop_install PROPERTIES LABELS "app;e2e" TIMEOUT 300)
