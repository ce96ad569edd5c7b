# One function per kind of target, so warnings, sanitizers and labels are set in one place.

function(vt_set_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wconversion)
    if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        # clang's -Wconversion adds sign conversions, which g++'s leaves out for C++: one rule for both.
        target_compile_options(${target} PRIVATE -Wno-sign-conversion)
    endif()
    if(VT_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()

function(vt_set_sanitizers target)
    if(VT_SANITIZE STREQUAL "address")
        target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-omit-frame-pointer
                                                 -fno-sanitize-recover=undefined)
        target_link_options(${target} PRIVATE -fsanitize=address,undefined)
    elseif(VT_SANITIZE STREQUAL "thread")
        target_compile_options(${target} PRIVATE -fsanitize=thread -fno-omit-frame-pointer)
        target_link_options(${target} PRIVATE -fsanitize=thread)
    elseif(NOT VT_SANITIZE STREQUAL "")
        message(FATAL_ERROR "VT_SANITIZE must be address, thread or empty")
    endif()
    if(VT_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
        # GCC's may-be-uninitialized analysis misfires on instrumented standard headers.
        target_compile_options(${target} PRIVATE -Wno-maybe-uninitialized)
    endif()
endfunction()

# vt_add_library(name SOURCES ... [DEPS ...] [PUBLIC_DEPS ...])
# A folder's library: include paths rooted at the repository.
function(vt_add_library name)
    cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;PUBLIC_DEPS" ${ARGN})
    add_library(${name} STATIC ${ARG_SOURCES})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${ARG_PUBLIC_DEPS} PRIVATE ${ARG_DEPS})
    vt_set_warnings(${name})
    vt_set_sanitizers(${name})
endfunction()

# vt_add_program(name SOURCES ... DEPS ...): a program the user runs, installed in bin/.
function(vt_add_program name)
    cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_DEPS})
    vt_set_warnings(${name})
    vt_set_sanitizers(${name})
    install(TARGETS ${name} RUNTIME DESTINATION bin)
endfunction()

# vt_add_test(name SOURCES ... DEPS ... LABELS ...): one GoogleTest executable per module.
function(vt_add_test name)
    cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;DEPS;LABELS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gtest_main GTest::gmock
                                          Threads::Threads)
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    vt_set_warnings(${name})
    vt_set_sanitizers(${name})
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 300)
    endif()
    add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
    set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}" TIMEOUT ${ARG_TIMEOUT}
        ENVIRONMENT "VT_SHARED_TESTDATA=${PROJECT_SOURCE_DIR}/../shared/testdata")
endfunction()

# vt_add_benchmark(name SOURCES ... DEPS ...): Google Benchmark executable in bench/.
function(vt_add_benchmark name)
    cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_DEPS} benchmark::benchmark Threads::Threads)
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
    vt_set_warnings(${name})
endfunction()

# vt_add_fuzzer(name SOURCES ... DEPS ...): a libFuzzer target (clang), or with VT_FUZZ_REPLAY a
# plain program that runs every file it is given through the same entry point.
function(vt_add_fuzzer name)
    cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_DEPS})
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
    vt_set_warnings(${name})
    if(VT_FUZZ_REPLAY)
        target_sources(${name} PRIVATE ${PROJECT_SOURCE_DIR}/fuzz/replay_main.cpp)
        vt_set_sanitizers(${name})
    else()
        target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
        target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
    endif()
endfunction()

# vt_find(PACKAGE DEBIAN_PACKAGE [find_package arguments]): find_package with GLOBAL imported
# targets, so a format's tests and fuzz target use what its folder found; a missing library stops
# the configure step with the package that provides it.
macro(vt_find package debian)
    set(CMAKE_FIND_PACKAGE_TARGETS_GLOBAL ON)
    find_package(${package} ${ARGN})
    set(CMAKE_FIND_PACKAGE_TARGETS_GLOBAL OFF)
    if(NOT ${package}_FOUND)
        message(FATAL_ERROR "${package} not found: install the Debian package ${debian}")
    endif()
endmacro()

# vt_pkg(NAME DEBIAN_PACKAGE MODULES...): the pkg-config modules as one GLOBAL imported target,
# PkgConfig::NAME.
function(vt_pkg name debian)
    find_package(PkgConfig)
    if(PkgConfig_FOUND)
        pkg_check_modules(${name} QUIET IMPORTED_TARGET GLOBAL ${ARGN})
    endif()
    if(NOT TARGET PkgConfig::${name})
        message(FATAL_ERROR "${ARGN} not found by pkg-config: install the Debian packages "
                            "pkg-config and ${debian}")
    endif()
endfunction()

# vt_add_format_plugin(NAME SOURCES ... [LIBS ...]): a format plug-in, bin/Plugins/NAME.so in the
# build tree and lib/vantrel/Plugins/NAME.so when installed.
# It sees nothing of the host but the SDK, exports only its entry points and must resolve every
# symbol against the libraries it names. Its sources are compiled once, into NAME_objects, which
# the module, the format's test program and its fuzz target all link; the format is recorded in
# the global property VT_FORMAT_PLUGINS, from which tests/formats/ and fuzz/ declare those two.
function(vt_add_format_plugin name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
    add_library(${name}_objects OBJECT ${ARG_SOURCES})
    target_include_directories(${name}_objects PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name}_objects PUBLIC vt_sdk_kit ${ARG_LIBS})
    target_compile_definitions(${name}_objects PRIVATE VT_PLUGIN_VERSION="${PROJECT_VERSION}")
    set_target_properties(${name}_objects PROPERTIES POSITION_INDEPENDENT_CODE ON
        C_VISIBILITY_PRESET hidden CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
    vt_set_warnings(${name}_objects)
    vt_set_sanitizers(${name}_objects)

    add_library(${name} MODULE)
    target_link_libraries(${name} PRIVATE ${name}_objects)
    set_target_properties(${name} PROPERTIES
        PREFIX "" OUTPUT_NAME ${name}
        LIBRARY_OUTPUT_DIRECTORY ${VT_BIN_DIR}/Plugins
        LINK_DEPENDS ${PROJECT_SOURCE_DIR}/sdk/kit/exports.map)
    target_link_options(${name} PRIVATE
        -Wl,--version-script=${PROJECT_SOURCE_DIR}/sdk/kit/exports.map)
    # Sanitizer runtimes are resolved by the program that loads the plug-in.
    if(NOT VT_SANITIZE AND NOT VT_BUILD_FUZZ)
        target_link_options(${name} PRIVATE -Wl,--no-undefined)
    endif()
    vt_set_sanitizers(${name})
    install(TARGETS ${name} LIBRARY DESTINATION ${VT_INSTALL_SUITE_DIR}/Plugins)
    set_property(GLOBAL APPEND PROPERTY VT_FORMAT_PLUGINS ${name})
endfunction()

# The short name of a recorded format: fmx_WebP -> webp.
function(vt_format_key out name)
    string(REGEX REPLACE "^fmx_" "" key ${name})
    string(TOLOWER ${key} key)
    set(${out} ${key} PARENT_SCOPE)
endfunction()
