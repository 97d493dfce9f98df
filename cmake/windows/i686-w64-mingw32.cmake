# Cross build of the Qt-free libraries (media, engine, player) for 32-bit Windows with Debian's
# MinGW-w64 POSIX-threads compiler: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/windows/i686-w64-mingw32.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(QAC_MINGW_TRIPLET i686-w64-mingw32)

set(CMAKE_C_COMPILER ${QAC_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QAC_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QAC_MINGW_TRIPLET}-windres)
set(CMAKE_AR ${QAC_MINGW_TRIPLET}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${QAC_MINGW_TRIPLET}-gcc-ranlib-posix CACHE FILEPATH "")

# The target's own headers and libraries only; build tools come from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${QAC_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Windows 7 API level (GetTickCount64, SetFilePointerEx, ...); Unicode Win32 names.
add_compile_definitions(_WIN32_WINNT=0x0601 WINVER=0x0601 UNICODE _UNICODE)
