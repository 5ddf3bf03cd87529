// Tells the kind of a music image by its first bytes (the signature, never a file
// name's extension), including the kinds the module does not play, so that a refusal
// names them ("an MP3 file: not supported") instead of blaming the WAVE reader.
#pragma once

#include <cstdint>

namespace sonaflux {

enum class ImageKind { Wave, OggVorbis, OggOpus, OggFlac, Flac, Unsupported, Unknown };

struct ImageProbe {
    ImageKind kind = ImageKind::Unknown;
    const char* name = "";  // what an Unsupported image is, e.g. "MP3"
};

// Bytes the probe looks at: an Ogg page header with a full segment table and the start of
// its first packet.
inline constexpr uint32_t kProbeBytes = 27 + 255 + 8;

// `length` bytes from the start of the image (fewer than kProbeBytes for a short image).
// An Ogg stream whose first packet is not recognised is taken as Vorbis, whose decoder
// then says what is wrong with it.
ImageProbe ProbeImage(const uint8_t* head, uint32_t length);

}  // namespace sonaflux
