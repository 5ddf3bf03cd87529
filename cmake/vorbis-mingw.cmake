# libogg and libvorbis as static libraries for the Windows builds, compiled with whichever
# MinGW-w64 compiler the preset uses, from Debian's own source packages unpacked by
# scripts/fetch-vorbis-sources.sh (run here at configure time when they are missing).
# Defines sonaflux_vorbis_static (libvorbisfile + libvorbis + libogg) and
# sonaflux_vorbisenc_static (the encoder, for the tests that make their own Ogg files).
set(SONAFLUX_THIRD_PARTY_DIR "${PROJECT_SOURCE_DIR}/build/third_party"
    CACHE PATH "Where the Debian source packages of libogg and libvorbis are unpacked")

execute_process(
  COMMAND ${PROJECT_SOURCE_DIR}/scripts/fetch-vorbis-sources.sh ${SONAFLUX_THIRD_PARTY_DIR}
  OUTPUT_VARIABLE _sonaflux_vorbis_dirs OUTPUT_STRIP_TRAILING_WHITESPACE
  RESULT_VARIABLE _sonaflux_fetch_result)
if(NOT _sonaflux_fetch_result EQUAL 0)
  message(FATAL_ERROR "Fetching the libogg/libvorbis source packages failed; "
                      "run scripts/setup.sh (deb-src entries, dpkg-dev) and try again")
endif()
string(REPLACE "\n" ";" _sonaflux_vorbis_dirs "${_sonaflux_vorbis_dirs}")
list(GET _sonaflux_vorbis_dirs 0 SONAFLUX_OGG_DIR)
list(GET _sonaflux_vorbis_dirs 1 SONAFLUX_VORBIS_DIR)
file(READ ${SONAFLUX_OGG_DIR}/.sonaflux-version SONAFLUX_OGG_VERSION)
file(READ ${SONAFLUX_VORBIS_DIR}/.sonaflux-version SONAFLUX_VORBIS_VERSION)
string(STRIP "${SONAFLUX_OGG_VERSION}" SONAFLUX_OGG_VERSION)
string(STRIP "${SONAFLUX_VORBIS_VERSION}" SONAFLUX_VORBIS_VERSION)
message(STATUS "libogg ${SONAFLUX_OGG_VERSION} and libvorbis ${SONAFLUX_VORBIS_VERSION} "
               "(Debian source packages), built statically")

# The upstream sources are compiled as they are: their own warnings are theirs.
set(_sonaflux_vorbis_options -O2 -w)

add_library(sonaflux_ogg_static STATIC
  ${SONAFLUX_OGG_DIR}/src/bitwise.c ${SONAFLUX_OGG_DIR}/src/framing.c)
target_include_directories(sonaflux_ogg_static SYSTEM PUBLIC ${SONAFLUX_OGG_DIR}/include)
target_compile_options(sonaflux_ogg_static PRIVATE ${_sonaflux_vorbis_options})

set(_sonaflux_vorbis_lib ${SONAFLUX_VORBIS_DIR}/lib)
set(_sonaflux_vorbis_sources mdct.c smallft.c block.c envelope.c window.c lsp.c lpc.c
    analysis.c synthesis.c psy.c info.c floor1.c floor0.c res0.c mapping0.c registry.c
    codebook.c sharedbook.c lookup.c bitrate.c vorbisfile.c)
list(TRANSFORM _sonaflux_vorbis_sources PREPEND ${_sonaflux_vorbis_lib}/)
add_library(sonaflux_vorbis_static STATIC ${_sonaflux_vorbis_sources})
target_include_directories(sonaflux_vorbis_static SYSTEM PUBLIC ${SONAFLUX_VORBIS_DIR}/include)
target_include_directories(sonaflux_vorbis_static PRIVATE ${_sonaflux_vorbis_lib})
target_compile_options(sonaflux_vorbis_static PRIVATE ${_sonaflux_vorbis_options})
target_link_libraries(sonaflux_vorbis_static PUBLIC sonaflux_ogg_static)

add_library(sonaflux_vorbisenc_static STATIC ${_sonaflux_vorbis_lib}/vorbisenc.c)
target_include_directories(sonaflux_vorbisenc_static PRIVATE ${_sonaflux_vorbis_lib})
target_compile_options(sonaflux_vorbisenc_static PRIVATE ${_sonaflux_vorbis_options})
target_link_libraries(sonaflux_vorbisenc_static PUBLIC sonaflux_vorbis_static)
