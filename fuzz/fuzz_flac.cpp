// Arbitrary bytes as a FLAC image, native or in Ogg (its seeds are such files): see
// fuzz_codec.h.
#include "fuzz_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t length) {
    return sonaflux::fuzz::FuzzCodecImage(input, length);
}
