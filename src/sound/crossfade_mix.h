// The crossfade of a switch: the outgoing piece's samples fall and the incoming piece's
// rise over a run of frames, with equal-power gains (cos and sin of a quarter turn times
// the run's progress), so that two unrelated pieces keep their loudness through the run.
// Two correlated loud pieces can sum above full scale in the middle: the sum saturates at
// the sample range, it never wraps.
#pragma once

#include <cstdint>

namespace sonaflux {

struct CrossfadeGains {
    double outgoing;
    double incoming;
};

// The gains at frame `frame` of a crossfade `frames` long: frame 0 is the outgoing piece
// alone (1, 0); frame `frames` and later the incoming piece alone (0, 1).
CrossfadeGains CrossfadeGainsAt(uint64_t frame, uint64_t frames);

// Mixes `count` frames of `outgoing` into `incoming` (in place), frame `first` of a
// crossfade `frames` long on. PCM of `bits` (8 unsigned or 16 signed little-endian) with
// `channels` interleaved; each result is rounded to nearest and clamped to the range.
void MixCrossfade(uint8_t* incoming, const uint8_t* outgoing, uint32_t count, uint32_t channels,
                  uint32_t bits, uint64_t first, uint64_t frames);

}  // namespace sonaflux
