# Cross build of TAVELOCAM.dll: 32-bit Windows with Debian's MinGW-w64
# (g++-mingw-w64-i686, binutils-mingw-w64-i686).
#
# The posix-threads flavour of the compiler gives the full C++ thread
# support library; its runtime (winpthread), libgcc and libstdc++ are linked
# statically (windows/CMakeLists.txt), so the DLL needs system DLLs only.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(TAVELO_MINGW_TRIPLET i686-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${TAVELO_MINGW_TRIPLET}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${TAVELO_MINGW_TRIPLET}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${TAVELO_MINGW_TRIPLET}-windres REQUIRED)
find_program(CMAKE_AR NAMES ${TAVELO_MINGW_TRIPLET}-gcc-ar-posix ${TAVELO_MINGW_TRIPLET}-ar
             REQUIRED)
find_program(CMAKE_RANLIB NAMES ${TAVELO_MINGW_TRIPLET}-gcc-ranlib-posix
             ${TAVELO_MINGW_TRIPLET}-ranlib REQUIRED)
find_program(CMAKE_DLLTOOL NAMES ${TAVELO_MINGW_TRIPLET}-dlltool REQUIRED)
find_program(TAVELO_MINGW_OBJDUMP NAMES ${TAVELO_MINGW_TRIPLET}-objdump REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${TAVELO_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
