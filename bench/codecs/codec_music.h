// The music of the codec benchmark and of its SDL2_mixer peer: 8 s of the tests' moving
// stereo tone, encoded at run time with the codec libraries' own encoders, and the same
// music decoded by the library directly, as a 16-bit PCM WAVE file at the stored rate.
#pragma once

#include <cstdint>
#include <string>

#include "support/wave_image.h"

namespace sonaflux::bench {

struct CodecMusic {
    std::string codec;      // vorbis, opus, flac (native) or oggflac (FLAC in Ogg)
    std::string extension;  // of the file written, as a game would name it
    uint32_t rate = 0;      // the stored rate: 48000 for Opus, 44100 for the others
    test::Bytes file;
    test::Bytes wave;  // the decoded music as PCM WAVE
};

// False for a codec name not listed above.
bool MakeCodecMusic(const std::string& codec, CodecMusic& music);
// Writes `bytes` to `path`; false when the file cannot be written whole.
bool WriteBytes(const std::string& path, const test::Bytes& bytes);

}  // namespace sonaflux::bench
