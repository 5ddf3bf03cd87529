#include "softds/mixer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace softds::detail {

namespace {

int16_t Le16(const uint8_t* p) {
    return static_cast<int16_t>(static_cast<uint16_t>(p[0] | (p[1] << 8)));
}

void Stereo16(const uint8_t* in, size_t frames, float* out) {
    for (size_t i = 0; i < 2 * frames; ++i) out[i] = Le16(in + 2 * i);
}

void Mono16(const uint8_t* in, size_t frames, float* out) {
    for (size_t i = 0; i < frames; ++i) {
        const float v = Le16(in + 2 * i);
        out[2 * i] = v;
        out[2 * i + 1] = v;
    }
}

void Stereo8(const uint8_t* in, size_t frames, float* out) {
    for (size_t i = 0; i < 2 * frames; ++i) out[i] = static_cast<float>((in[i] - 128) * 256);
}

void Mono8(const uint8_t* in, size_t frames, float* out) {
    for (size_t i = 0; i < frames; ++i) {
        const float v = static_cast<float>((in[i] - 128) * 256);
        out[2 * i] = v;
        out[2 * i + 1] = v;
    }
}

}  // namespace

ConvertFn ConverterFor(uint16_t bits, uint16_t channels) {
    if (bits == 16) return channels == 2 ? &Stereo16 : &Mono16;
    return channels == 2 ? &Stereo8 : &Mono8;
}

void Accumulate(float* __restrict mix, const float* __restrict line, size_t frames, float left,
                float right) {
    for (size_t k = 0; k < frames; ++k) {
        mix[2 * k] += line[2 * k] * left;
        mix[2 * k + 1] += line[2 * k + 1] * right;
    }
}

void AccumulateRamp(float* __restrict mix, const float* __restrict line, size_t frames, float left,
                    float right, float leftStep, float rightStep) {
    // A 32-bit index converts to float in the vector loop (a 64-bit one would not).
    const auto count = static_cast<int32_t>(frames);
    for (int32_t k = 0; k < count; ++k) {
        const float f = static_cast<float>(k);
        mix[2 * k] += line[2 * k] * (left + leftStep * f);
        mix[2 * k + 1] += line[2 * k + 1] * (right + rightStep * f);
    }
}

void ToInt16(const float* mix, size_t samples, int16_t* out) {
    size_t i = 0;
#if defined(__SSE2__)
    // Round to nearest (the default rounding mode), then pack with signed saturation; the
    // clamp in float first keeps values far out of range from wrapping in the conversion.
    const __m128 low = _mm_set1_ps(-32768.0f);
    const __m128 high = _mm_set1_ps(32767.0f);
    for (; i + 8 <= samples; i += 8) {
        const __m128 a = _mm_min_ps(_mm_max_ps(_mm_loadu_ps(mix + i), low), high);
        const __m128 b = _mm_min_ps(_mm_max_ps(_mm_loadu_ps(mix + i + 4), low), high);
        const __m128i packed = _mm_packs_epi32(_mm_cvtps_epi32(a), _mm_cvtps_epi32(b));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), packed);
    }
#endif
    for (; i < samples; ++i) {
        const float v = std::clamp(mix[i], -32768.0f, 32767.0f);
        out[i] = static_cast<int16_t>(std::nearbyint(v));
    }
}

void Mixer::Mix(const std::vector<MixPiece>& pieces, const std::vector<uint8_t>& arena,
                uint32_t frames, int16_t* out) {
    const size_t samples = 2 * size_t{frames};
    if (m_Mix.size() < samples) m_Mix.resize(samples);
    std::fill_n(m_Mix.begin(), samples, 0.0f);
    for (const MixPiece& p : pieces) {
        if (p.outFrames == 0) continue;
        const size_t lineSamples = 2 * size_t{p.inFrames};
        if (m_Line.size() < lineSamples) m_Line.resize(lineSamples);
        p.convert(arena.data() + p.at, p.inFrames, m_Line.data());
        const float* line = m_Line.data();
        if (p.resample) {
            const size_t n = 2 * size_t{p.outFrames};
            if (m_Resampled.size() < n) m_Resampled.resize(n);
            m_Kernels.For(p.step, p.rate).Run(line, p.phase, m_Resampled.data(), p.outFrames);
            line = m_Resampled.data();
        }
        const uint32_t ramp = std::min(p.rampFrames, p.outFrames);
        if (ramp > 0) {
            AccumulateRamp(m_Mix.data(), line, ramp, p.gain[0], p.gain[1], p.rampStep[0],
                           p.rampStep[1]);
        }
        if (ramp < p.outFrames) {
            Accumulate(m_Mix.data() + 2 * size_t{ramp}, line + 2 * size_t{ramp}, p.outFrames - ramp,
                       p.held[0], p.held[1]);
        }
    }
    ToInt16(m_Mix.data(), samples, out);
}

}  // namespace softds::detail
