# Every codec library the module links, on top of the Ogg Vorbis one (cmake/Vorbis.cmake):
# libFLAC (native FLAC and FLAC in Ogg) and libopusfile with libopus (Ogg Opus). Debian's
# -dev packages natively; for the Windows DLLs static builds from Debian's own source
# packages (cmake/codecs-mingw.cmake).
#   sonaflux_codecs    the decoders: libvorbisfile, libFLAC, libopusfile, their libogg/libopus
#   sonaflux_encoders  the encoders on top (tests and fuzz seeds make their own files)
include(${CMAKE_CURRENT_LIST_DIR}/Vorbis.cmake)
if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/codecs-mingw.cmake)
  add_library(sonaflux_codecs INTERFACE)
  target_link_libraries(sonaflux_codecs INTERFACE sonaflux_vorbis sonaflux_flac_static
                                                  sonaflux_opusfile_static)
  add_library(sonaflux_encoders INTERFACE)
  target_link_libraries(sonaflux_encoders INTERFACE sonaflux_vorbisenc sonaflux_codecs
                                                    sonaflux_opusenc_static)
else()
  pkg_check_modules(SONAFLUX_FLAC REQUIRED IMPORTED_TARGET GLOBAL flac)
  pkg_check_modules(SONAFLUX_OPUSFILE REQUIRED IMPORTED_TARGET GLOBAL opusfile opus ogg)
  pkg_check_modules(SONAFLUX_OPUSENC REQUIRED IMPORTED_TARGET GLOBAL libopusenc opus)
  message(STATUS "libFLAC ${SONAFLUX_FLAC_VERSION} and libopusfile "
                 "${SONAFLUX_OPUSFILE_opusfile_VERSION} (Debian's -dev packages)")
  add_library(sonaflux_codecs INTERFACE)
  target_link_libraries(sonaflux_codecs INTERFACE sonaflux_vorbis PkgConfig::SONAFLUX_FLAC
                                                  PkgConfig::SONAFLUX_OPUSFILE)
  add_library(sonaflux_encoders INTERFACE)
  target_link_libraries(sonaflux_encoders INTERFACE sonaflux_vorbisenc sonaflux_codecs
                                                    PkgConfig::SONAFLUX_OPUSENC)
endif()
