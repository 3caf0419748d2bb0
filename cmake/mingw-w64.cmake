# Cross build of the Windows launcher with Debian's mingw-w64 (POSIX thread model: GCC 12's
# win32 model has no std::thread). Tests run through Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QS_MINGW_TRIPLE x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${QS_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QS_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QS_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QS_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained executable: no libstdc++, libgcc or winpthread DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

find_program(QS_WINE NAMES wine wine64)
if(QS_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${QS_WINE})
endif()
# The static runtime brings its own debug sections; a release executable ships without them.
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")
