# Toolchain file: cross-compiles for Windows (x86_64) with the mingw-w64
# compilers; mingw-common.cmake has the settings.
set(VORL_MINGW_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
