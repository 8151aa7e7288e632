# MinGW-w64 cross compilers from Debian (posix-threads flavour), for the
# triplet the including toolchain file sets in TAVELO_MINGW_TRIPLET.
#
# The posix-threads flavour of the compiler gives the full C++ thread
# support library; its runtime (winpthread), libgcc and libstdc++ are linked
# statically, so the programs need system DLLs only.
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
