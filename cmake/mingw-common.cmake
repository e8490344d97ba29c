# Cross-compiles for Windows with the mingw-w64 compilers (posix threading
# model, so that the C++ standard library has its threads). Included by the
# toolchain files mingw-i686.cmake and mingw-x86_64.cmake, which set
# VORL_MINGW_PROCESSOR (i686 or x86_64) first.
set(VORL_MINGW_TRIPLET ${VORL_MINGW_PROCESSOR}-w64-mingw32)
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${VORL_MINGW_PROCESSOR})
set(CMAKE_C_COMPILER ${VORL_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VORL_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${VORL_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${VORL_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
