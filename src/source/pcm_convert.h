// The one rule by which integer samples wider than 16 bits become the buffer's 16 bits,
// for every decoder (WAVE's 24/32-bit PCM, FLAC of any depth).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace sonaflux {

// A signed sample of `bits` bits (9..32) as 16 bits: rounded to nearest with halves up,
// clamped, no dither. Narrower samples (9..15 bits) are widened exactly.
inline int16_t NarrowTo16(int32_t value, unsigned bits) {
    if (bits <= 16) return static_cast<int16_t>(value * (1 << (16 - bits)));
    const unsigned shift = bits - 16;
    const int64_t rounded = (static_cast<int64_t>(value) + (int64_t{1} << (shift - 1))) >> shift;
    return static_cast<int16_t>(std::clamp<int64_t>(rounded, -32768, 32767));
}

// A float sample (1.0 full scale) as 16 bits: the value × 32768 rounded (halves up),
// clamped to -32768..32767; NaN is 0. WAVE's 32-bit float and Opus both take this rule
// (Opus decodes to float; libopusfile's own 16-bit output is dithered with a state that
// depends on the path decoded, which would make loop seams differ from pass to pass).
inline int16_t FloatTo16(float value) {
    if (std::isnan(value)) return 0;
    const double scaled = std::floor(static_cast<double>(value) * 32768.0 + 0.5);
    if (scaled >= 32767.0) return 32767;
    if (scaled <= -32768.0) return -32768;
    return static_cast<int16_t>(scaled);
}

// An 8-bit sample as WAVE stores it (unsigned, 128 the centre).
inline uint8_t ToUnsigned8(int32_t value) {
    return static_cast<uint8_t>(std::clamp(value, -128, 127) + 128);
}

}  // namespace sonaflux
