# The Windows cross build: Debian's mingw-w64 toolchain (cmake/mingw-w64.cmake), Dear ImGui with
# its Win32 and Direct3D 11 backends compiled from Debian's imgui source package, nlohmann-json
# from its Debian package, GoogleTest from Debian's googletest sources. No libcurl, OpenSSL or SDL.
set(QS_IMGUI_SOURCE_DIR "${CMAKE_SOURCE_DIR}/.deps/imgui-src" CACHE PATH "Dear ImGui 1.86 source tree")
if(NOT EXISTS "${QS_IMGUI_SOURCE_DIR}/backends/imgui_impl_dx11.cpp")
    message(FATAL_ERROR "Dear ImGui sources not found in ${QS_IMGUI_SOURCE_DIR} (run scripts/setup-windows-deps.sh)")
endif()
add_library(qs_imgui STATIC
    ${QS_IMGUI_SOURCE_DIR}/imgui.cpp
    ${QS_IMGUI_SOURCE_DIR}/imgui_draw.cpp
    ${QS_IMGUI_SOURCE_DIR}/imgui_tables.cpp
    ${QS_IMGUI_SOURCE_DIR}/imgui_widgets.cpp
    ${QS_IMGUI_SOURCE_DIR}/backends/imgui_impl_win32.cpp
    ${QS_IMGUI_SOURCE_DIR}/backends/imgui_impl_dx11.cpp)
target_include_directories(qs_imgui SYSTEM PUBLIC ${QS_IMGUI_SOURCE_DIR})
target_compile_definitions(qs_imgui PUBLIC UNICODE _UNICODE NOMINMAX)
target_link_libraries(qs_imgui PUBLIC d3d11 dxgi d3dcompiler dwmapi imm32 user32 gdi32)
# The rest of the build names ImGui as on Linux.
add_library(PkgConfig::IMGUI ALIAS qs_imgui)

# nlohmann-json is header-only; its folder is staged on its own so that the host's /usr/include
# (glibc headers) never reaches the cross compiler.
set(qs_json_include ${CMAKE_BINARY_DIR}/staged-include)
file(MAKE_DIRECTORY ${qs_json_include})
file(CREATE_LINK /usr/include/nlohmann ${qs_json_include}/nlohmann SYMBOLIC)
if(NOT EXISTS ${qs_json_include}/nlohmann/json.hpp)
    message(FATAL_ERROR "nlohmann-json not found in /usr/include/nlohmann (nlohmann-json3-dev)")
endif()
add_library(qs_nlohmann_json INTERFACE)
target_include_directories(qs_nlohmann_json SYSTEM INTERFACE ${qs_json_include})
add_library(nlohmann_json::nlohmann_json ALIAS qs_nlohmann_json)

if(QS_BUILD_TESTS)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
endif()
