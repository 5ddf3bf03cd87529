# Install rules: the public headers, the module's shared library (Sonaflux.dll with its
# import library on Windows), softds as a static library with its header for hosts without
# DirectSound, a CMake package (find_package(Sonaflux): Sonaflux::Sonaflux and
# Sonaflux::softds) and a pkg-config file, sonaflux.pc.
#
# The package's targets are written by hand as imported targets over the installed files,
# so that the build tree's own target definitions (include paths into the sources) stay as
# they are; the file names come from the targets through generator expressions.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(SONAFLUX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Sonaflux)

install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/sonaflux
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.h")
install(TARGETS Sonaflux
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS softds ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/softds/softds.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/softds)

# What a host linking softds needs besides it.
set(SONAFLUX_SOFTDS_DEPENDENCIES "")
set(SONAFLUX_FIND_DEPENDENCIES "")
set(SONAFLUX_PLATFORM_FILE "")
if(NOT WIN32)
  set(SONAFLUX_PLATFORM_FILE "${CMAKE_INSTALL_LIBDIR}/$<TARGET_FILE_NAME:sonaflux_platform>")
  # softds uses the platform layer's events and waits natively.
  install(TARGETS sonaflux_platform ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
  string(APPEND SONAFLUX_FIND_DEPENDENCIES "find_dependency(Threads)\n")
  list(APPEND SONAFLUX_SOFTDS_DEPENDENCIES Sonaflux::platform Threads::Threads)
endif()
get_target_property(_sonaflux_softds_links softds LINK_LIBRARIES)
if("SDL2::SDL2" IN_LIST _sonaflux_softds_links)
  string(APPEND SONAFLUX_FIND_DEPENDENCIES "find_dependency(SDL2 CONFIG)\n")
  list(APPEND SONAFLUX_SOFTDS_DEPENDENCIES SDL2::SDL2)
endif()
if(WIN32)
  set(SONAFLUX_RUNTIME_FILE "${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:Sonaflux>")
  set(SONAFLUX_IMPLIB_FILE "${CMAKE_INSTALL_LIBDIR}/$<TARGET_LINKER_FILE_NAME:Sonaflux>")
else()
  set(SONAFLUX_RUNTIME_FILE "${CMAKE_INSTALL_LIBDIR}/$<TARGET_FILE_NAME:Sonaflux>")
  set(SONAFLUX_IMPLIB_FILE "")
endif()

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/SonafluxConfig.cmake.in
  ${PROJECT_BINARY_DIR}/package/SonafluxConfig.cmake.in
  INSTALL_DESTINATION ${SONAFLUX_CMAKE_DIR})
file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/package/SonafluxConfig.cmake
     INPUT ${PROJECT_BINARY_DIR}/package/SonafluxConfig.cmake.in)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/SonafluxConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/package/SonafluxConfig.cmake
              ${PROJECT_BINARY_DIR}/package/SonafluxConfigVersion.cmake
        DESTINATION ${SONAFLUX_CMAKE_DIR})

# pkg-config: the prefix is found from the file's own place, so the tree can be moved.
set(SONAFLUX_PC_PREFIX "\${pcfiledir}")
string(REPLACE "/" ";" _sonaflux_pc_parts "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
foreach(_part IN LISTS _sonaflux_pc_parts)
  string(APPEND SONAFLUX_PC_PREFIX "/..")
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/cmake/sonaflux.pc.in ${PROJECT_BINARY_DIR}/package/sonaflux.pc
               @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/package/sonaflux.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
