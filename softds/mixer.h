// The float mixer: what one buffer gives to a block of output, and the loops that turn it
// into 16-bit stereo.
//
// Each playing buffer hands the mixer a piece: a copy of the PCM frames that its span of
// output frames reads (taken under the device lock), the resampling position and its gain.
// The mixer converts the piece once into a stereo float line (16-bit units), resamples it
// band-limited (resampler.h) when the buffer's rate differs from the output rate, adds it with its
// gain into the block's float line, and converts the block once to 16-bit with clamping. None of it
// runs under the device lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "softds/resampler.h"

namespace softds::detail {

// `frames` whole frames of PCM at `in` to interleaved stereo floats in 16-bit units
// (a mono sample goes to both channels; 8-bit is centred on 128 and scaled by 256).
using ConvertFn = void (*)(const uint8_t* in, size_t frames, float* out);
ConvertFn ConverterFor(uint16_t bits, uint16_t channels);

// mix[2k + c] += line[2k + c] * gain[c], for k below `frames`.
void Accumulate(float* mix, const float* line, size_t frames, float left, float right);
// The same with a gain that moves by step[c] each frame, from gain[c] at frame 0.
void AccumulateRamp(float* mix, const float* line, size_t frames, float left, float right,
                    float leftStep, float rightStep);
// Rounds to the nearest integer and clamps to 16 bits.
void ToInt16(const float* mix, size_t samples, int16_t* out);

// What one buffer gives to one block.
struct MixPiece {
    ConvertFn convert;
    bool resample;       // false: same rate, the frames play as they are
    size_t at;           // first byte of its frames in the block's byte arena
    uint32_t inFrames;   // whole frames there
    uint32_t outFrames;  // output frames it sounds for, from the start of the block
    // Resampling: the position of output frame 0 past input frame H - 1 (the frames before
    // it are the kernel's history, KernelHalfWidth), in 1/rate frames.
    uint32_t phase;
    uint32_t step;      // the buffer's rate
    uint32_t rate;      // the output rate
    float gain[2];      // at output frame 0
    float rampStep[2];  // per frame, over the first rampFrames frames (at most outFrames)
    uint32_t rampFrames;
    float held[2];  // from frame rampFrames on
};

// Scratch of the thread that renders: reused from block to block, so it stops growing
// once it has held the largest block.
class Mixer {
public:
    // Mixes `frames` output frames of `pieces` (their bytes in `arena`) into `out`
    // (2 * frames samples).
    void Mix(const std::vector<MixPiece>& pieces, const std::vector<uint8_t>& arena,
             uint32_t frames, int16_t* out);
    size_t HeldBytes() const {
        return (m_Mix.capacity() + m_Line.capacity() + m_Resampled.capacity()) * sizeof(float) +
               m_Kernels.HeldBytes();
    }

private:
    std::vector<float> m_Mix;
    std::vector<float> m_Line;
    std::vector<float> m_Resampled;
    KernelCache m_Kernels;
};

}  // namespace softds::detail
