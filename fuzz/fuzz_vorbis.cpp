// Arbitrary bytes as an Ogg Vorbis image (its seeds are Ogg Vorbis files): see fuzz_codec.h.
#include "fuzz_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t length) {
    return sonaflux::fuzz::FuzzCodecImage(input, length);
}
