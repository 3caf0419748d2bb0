add_library(qs_options INTERFACE)
target_compile_options(qs_options INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align -Wunused
    -Woverloaded-virtual -Wnull-dereference -Wimplicit-fallthrough)
if(QS_SANITIZE)
    target_compile_options(qs_options INTERFACE -fsanitize=${QS_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    target_link_options(qs_options INTERFACE -fsanitize=${QS_SANITIZE})
endif()
target_include_directories(qs_options INTERFACE ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR}/generated)
if(WIN32)
    # Wide Win32 calls by default, Windows 10 APIs, and no min/max macros over std::min/max.
    target_compile_definitions(qs_options INTERFACE UNICODE _UNICODE NOMINMAX _WIN32_WINNT=0x0A00
        WINVER=0x0A00)
endif()
