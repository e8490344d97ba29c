# Toolchain file: cross-compiles for Windows (i686) with the mingw-w64
# compilers; mingw-common.cmake has the settings.
set(VORL_MINGW_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
