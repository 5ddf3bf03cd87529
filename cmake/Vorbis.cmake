# The Ogg Vorbis decoder the module links: Debian's libvorbisfile natively, libogg and
# libvorbis built statically from Debian's source packages for the Windows DLLs.
#   sonaflux_vorbis     libvorbisfile, libvorbis, libogg
#   sonaflux_vorbisenc  the encoder on top (tests and benchmarks make their Ogg files)
if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/vorbis-mingw.cmake)
  add_library(sonaflux_vorbis INTERFACE)
  target_link_libraries(sonaflux_vorbis INTERFACE sonaflux_vorbis_static)
  add_library(sonaflux_vorbisenc INTERFACE)
  target_link_libraries(sonaflux_vorbisenc INTERFACE sonaflux_vorbisenc_static)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(SONAFLUX_VORBISFILE REQUIRED IMPORTED_TARGET GLOBAL vorbisfile vorbis ogg)
  pkg_check_modules(SONAFLUX_VORBISENC REQUIRED IMPORTED_TARGET GLOBAL vorbisenc vorbis ogg)
  message(STATUS "libvorbisfile ${SONAFLUX_VORBISFILE_vorbisfile_VERSION} (Debian's libvorbis-dev)")
  add_library(sonaflux_vorbis INTERFACE)
  target_link_libraries(sonaflux_vorbis INTERFACE PkgConfig::SONAFLUX_VORBISFILE)
  add_library(sonaflux_vorbisenc INTERFACE)
  target_link_libraries(sonaflux_vorbisenc INTERFACE PkgConfig::SONAFLUX_VORBISENC
                                                     PkgConfig::SONAFLUX_VORBISFILE)
endif()
