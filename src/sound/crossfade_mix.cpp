#include "sound/crossfade_mix.h"

#include <algorithm>
#include <cmath>

namespace sonaflux {

CrossfadeGains CrossfadeGainsAt(uint64_t frame, uint64_t frames) {
    if (frame >= frames) return {0.0, 1.0};
    const double angle =
        1.5707963267948966 * static_cast<double>(frame) / static_cast<double>(frames);
    return {std::cos(angle), std::sin(angle)};
}

namespace {

int32_t MixSample(int32_t out, int32_t in, const CrossfadeGains& g, int32_t low, int32_t high) {
    const double mixed = std::nearbyint(out * g.outgoing + in * g.incoming);
    return static_cast<int32_t>(
        std::clamp(mixed, static_cast<double>(low), static_cast<double>(high)));
}

}  // namespace

void MixCrossfade(uint8_t* incoming, const uint8_t* outgoing, uint32_t count, uint32_t channels,
                  uint32_t bits, uint64_t first, uint64_t frames) {
    for (uint32_t f = 0; f < count; ++f) {
        const CrossfadeGains g = CrossfadeGainsAt(first + f, frames);
        for (uint32_t c = 0; c < channels; ++c) {
            const size_t i = static_cast<size_t>(f) * channels + c;
            if (bits == 8) {
                const int32_t v = MixSample(outgoing[i] - 128, incoming[i] - 128, g, -128, 127);
                incoming[i] = static_cast<uint8_t>(v + 128);
                continue;
            }
            const auto read = [](const uint8_t* p) {
                return static_cast<int32_t>(static_cast<int16_t>(p[0] | (p[1] << 8)));
            };
            const int32_t v =
                MixSample(read(outgoing + 2 * i), read(incoming + 2 * i), g, -32768, 32767);
            incoming[2 * i] = static_cast<uint8_t>(v & 0xFF);
            incoming[2 * i + 1] = static_cast<uint8_t>((v >> 8) & 0xFF);
        }
    }
}

}  // namespace sonaflux
