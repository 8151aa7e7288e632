# Cross build of the Windows test programs: 64-bit Windows with Debian's
# MinGW-w64 (g++-mingw-w64-x86-64, binutils-mingw-w64-x86-64), run under
# wine64 by scripts/windows-test.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(TAVELO_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-toolchain.cmake)
