# libFLAC, libopus, libopusfile and libopusenc as static libraries for the Windows builds,
# compiled with the preset's MinGW-w64 compiler from Debian's own source packages, which
# scripts/fetch-vorbis-sources.sh unpacked for cmake/vorbis-mingw.cmake (included first:
# its list of source folders and libogg are used here). Plain C throughout: no assembly,
# no run-time CPU dispatch, so both DLLs import nothing beyond the C runtime.
# Defines sonaflux_flac_static, sonaflux_opusfile_static (with libopus) and
# sonaflux_opusenc_static (the encoder, for the tests that make their own Opus files).
list(GET _sonaflux_vorbis_dirs 2 SONAFLUX_FLAC_DIR)
list(GET _sonaflux_vorbis_dirs 3 SONAFLUX_OPUS_DIR)
list(GET _sonaflux_vorbis_dirs 4 SONAFLUX_OPUSFILE_DIR)
list(GET _sonaflux_vorbis_dirs 5 SONAFLUX_OPUSENC_DIR)
foreach(_dir FLAC OPUS OPUSFILE OPUSENC)
  file(READ ${SONAFLUX_${_dir}_DIR}/.sonaflux-version _version)
  string(STRIP "${_version}" _version)
  message(STATUS "${SONAFLUX_${_dir}_DIR}: Debian source package ${_version}, built statically")
endforeach()

# The upstream sources are compiled as they are: their own warnings are theirs.
set(_sonaflux_codec_options -O2 -w)

# libFLAC: every source but the SIMD variants, with the few settings its configure step
# would write into config.h.
set(_flac_lib ${SONAFLUX_FLAC_DIR}/src/libFLAC)
set(_flac_sources bitmath.c bitreader.c bitwriter.c cpu.c crc.c fixed.c float.c format.c lpc.c
    md5.c memory.c metadata_iterators.c metadata_object.c ogg_decoder_aspect.c
    ogg_encoder_aspect.c ogg_helper.c ogg_mapping.c stream_decoder.c stream_encoder.c
    stream_encoder_framing.c window.c)
list(TRANSFORM _flac_sources PREPEND ${_flac_lib}/)
# File names as UTF-8 on Windows (fopen_utf8; the module never opens a file through libFLAC,
# but the decoder's file functions refer to it).
list(APPEND _flac_sources ${SONAFLUX_FLAC_DIR}/src/share/win_utf8_io/win_utf8_io.c)
file(READ ${SONAFLUX_FLAC_DIR}/.sonaflux-version _flac_version)
string(REGEX REPLACE "^([0-9.]+).*" "\\1" _flac_version "${_flac_version}")
set(_flac_config ${CMAKE_BINARY_DIR}/third_party/flac-config)
file(WRITE ${_flac_config}/config.h
  "#define CPU_IS_BIG_ENDIAN 0\n#define CPU_IS_LITTLE_ENDIAN 1\n#define ENABLE_64_BIT_WORDS 0\n"
  "#define OGG_FOUND 1\n#define FLAC__HAS_OGG 1\n#define FLAC__HAS_X86INTRIN 0\n"
  "#define FLAC__HAS_NEONINTRIN 0\n#define FLAC__HAS_A64NEONINTRIN 0\n#define FLAC__NO_ASM 1\n"
  "#define HAVE_LROUND 1\n#define HAVE_STDINT_H 1\n#define HAVE_INTTYPES_H 1\n"
  "#define HAVE_STDLIB_H 1\n#define HAVE_STRING_H 1\n#define HAVE_FSEEKO 1\n"
  "#define PACKAGE_VERSION \"${_flac_version}\"\n")
add_library(sonaflux_flac_static STATIC ${_flac_sources})
target_include_directories(sonaflux_flac_static SYSTEM PUBLIC ${SONAFLUX_FLAC_DIR}/include)
target_include_directories(sonaflux_flac_static PRIVATE ${_flac_config} ${_flac_lib}/include)
target_compile_definitions(sonaflux_flac_static PUBLIC FLAC__NO_DLL PRIVATE HAVE_CONFIG_H)
target_compile_options(sonaflux_flac_static PRIVATE ${_sonaflux_codec_options})
target_link_libraries(sonaflux_flac_static PUBLIC sonaflux_ogg_static)

# libopus, floating point, with the source lists its own make fragments give.
function(_sonaflux_opus_sources out)
  set(files "")
  foreach(group IN LISTS ARGN)
    string(REGEX MATCH "^[A-Z]+" prefix ${group})
    string(TOLOWER ${prefix} prefix)
    file(READ ${SONAFLUX_OPUS_DIR}/${prefix}_sources.mk text)
    string(REGEX REPLACE "\\\\\n" " " text "${text}")
    string(REGEX MATCH "(^|\n)${group} =[^\n]*" line "${text}")
    string(REGEX REPLACE "^\n?${group} =" "" line "${line}")
    separate_arguments(line)
    list(TRANSFORM line PREPEND ${SONAFLUX_OPUS_DIR}/)
    list(APPEND files ${line})
  endforeach()
  set(${out} ${files} PARENT_SCOPE)
endfunction()
_sonaflux_opus_sources(_opus_sources SILK_SOURCES SILK_SOURCES_FLOAT CELT_SOURCES OPUS_SOURCES
                       OPUS_SOURCES_FLOAT)
add_library(sonaflux_opus_static STATIC ${_opus_sources})
target_include_directories(sonaflux_opus_static SYSTEM PUBLIC ${SONAFLUX_OPUS_DIR}/include)
target_include_directories(sonaflux_opus_static PRIVATE ${SONAFLUX_OPUS_DIR}
  ${SONAFLUX_OPUS_DIR}/celt ${SONAFLUX_OPUS_DIR}/silk ${SONAFLUX_OPUS_DIR}/silk/float)
target_compile_definitions(sonaflux_opus_static PRIVATE OPUS_BUILD USE_ALLOCA HAVE_LRINTF
                                                        HAVE_LRINT)
target_compile_options(sonaflux_opus_static PRIVATE ${_sonaflux_codec_options})

add_library(sonaflux_opusfile_static STATIC ${SONAFLUX_OPUSFILE_DIR}/src/info.c
  ${SONAFLUX_OPUSFILE_DIR}/src/internal.c ${SONAFLUX_OPUSFILE_DIR}/src/opusfile.c
  ${SONAFLUX_OPUSFILE_DIR}/src/stream.c)
target_include_directories(sonaflux_opusfile_static SYSTEM PUBLIC ${SONAFLUX_OPUSFILE_DIR}/include)
target_compile_options(sonaflux_opusfile_static PRIVATE ${_sonaflux_codec_options})
target_link_libraries(sonaflux_opusfile_static PUBLIC sonaflux_opus_static sonaflux_ogg_static)

add_library(sonaflux_opusenc_static STATIC ${SONAFLUX_OPUSENC_DIR}/src/ogg_packer.c
  ${SONAFLUX_OPUSENC_DIR}/src/opus_header.c ${SONAFLUX_OPUSENC_DIR}/src/opusenc.c
  ${SONAFLUX_OPUSENC_DIR}/src/picture.c ${SONAFLUX_OPUSENC_DIR}/src/resample.c
  ${SONAFLUX_OPUSENC_DIR}/src/unicode_support.c)
target_include_directories(sonaflux_opusenc_static SYSTEM PUBLIC ${SONAFLUX_OPUSENC_DIR}/include)
file(READ ${SONAFLUX_OPUSENC_DIR}/.sonaflux-version _opusenc_version)
string(REGEX REPLACE "^([0-9.]+).*" "\\1" _opusenc_version "${_opusenc_version}")
target_compile_definitions(sonaflux_opusenc_static PRIVATE RANDOM_PREFIX=libopusenc OUTSIDE_SPEEX
                           PACKAGE_NAME="libopusenc" PACKAGE_VERSION="${_opusenc_version}")
target_compile_options(sonaflux_opusenc_static PRIVATE ${_sonaflux_codec_options})
target_link_libraries(sonaflux_opusenc_static PUBLIC sonaflux_opus_static)
