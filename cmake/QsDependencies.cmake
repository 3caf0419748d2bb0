# Every dependency comes from the system (Debian packages, see scripts/setup-deps.sh and
# scripts/setup-windows-deps.sh); nothing is downloaded at configure or build time.
find_package(Threads REQUIRED)

set(QS_FONT_AWESOME_DIR "${CMAKE_SOURCE_DIR}/.deps/fontawesome/package/webfonts" CACHE PATH "Font Awesome Free 6 webfonts folder")
set(QS_LEAGUE_SPARTAN_DIR "/usr/share/fonts/opentype/league-spartan" CACHE PATH "League Spartan OTF folder")

if(WIN32)
    include(cmake/QsWindowsDependencies.cmake)
else()
    find_package(PkgConfig REQUIRED)
    find_package(OpenSSL REQUIRED)
    find_package(CURL REQUIRED)
    find_package(nlohmann_json 3.11 REQUIRED)

    # qs_platform and qs_ui link these; the fuzz build (no window, no tests) compiles both too.
    if(QS_BUILD_APP OR QS_BUILD_TESTS OR QS_BUILD_FUZZ)
        pkg_check_modules(SDL2 REQUIRED IMPORTED_TARGET sdl2)
        pkg_check_modules(IMGUI REQUIRED IMPORTED_TARGET imgui)
        find_package(OpenGL REQUIRED)
    endif()
    if(QS_BUILD_TESTS)
        find_package(GTest REQUIRED)
        find_path(HTTPLIB_INCLUDE_DIR httplib.h REQUIRED)
    endif()
endif()
if(QS_BUILD_TESTS)
    include(GoogleTest)
endif()

# qs_add_test(NAME SOURCES ... LIBS ... [LABELS ...]): one GoogleTest executable registered with
# CTest. `make tsan` runs the tests labelled concurrency. A cross build lists the tests when
# CTest runs (through Wine), not at build time.
function(qs_add_test name)
    # SERIAL: the tests change what every process of the user sees (Windows: the user's proxy
    # settings in the registry), so no other test may run beside them.
    cmake_parse_arguments(ARG "SERIAL" "" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main qs_options)
    set(serial FALSE)
    if(ARG_SERIAL)
        set(serial TRUE)
    endif()
    if(CMAKE_CROSSCOMPILING)
        gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
            PROPERTIES RUN_SERIAL ${serial} TIMEOUT 300 LABELS "${ARG_LABELS}")
    else()
        gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
            PROPERTIES RUN_SERIAL ${serial} TIMEOUT 300 LABELS "${ARG_LABELS}")
    endif()
endfunction()
