// Arbitrary bytes as an Ogg Opus image (its seeds are Ogg Opus files): see fuzz_codec.h.
#include "fuzz_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t length) {
    return sonaflux::fuzz::FuzzCodecImage(input, length);
}
