# Cross build of the 64-bit Sonaflux.dll (PE32+, x86_64) with the MinGW-w64 posix toolchain.
# Programs built here run under wine64: scripts/wine64-run.sh is the emulator ctest uses.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(SONAFLUX_MINGW_TRIPLE x86_64-w64-mingw32)
set(SONAFLUX_MINGW_EMULATOR wine64-run.sh)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
