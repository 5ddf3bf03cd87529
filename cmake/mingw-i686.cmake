# Cross build of Sonaflux.dll (PE32, i686) with the MinGW-w64 posix toolchain.
# Programs built here run under wine: scripts/wine-run.sh is the emulator ctest uses.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(SONAFLUX_MINGW_TRIPLE i686-w64-mingw32)
set(SONAFLUX_MINGW_EMULATOR wine-run.sh)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
