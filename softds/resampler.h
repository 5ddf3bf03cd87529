// Band-limited rate conversion: a Kaiser-windowed sinc evaluated at the exact position of
// every output frame.
//
// Output frame k of a piece sits at phase + k * step (in 1/rate input frames) past the
// piece's first input frame; it is the sum of the 2H input frames around that position,
// each weighted by the kernel at its distance. The output depends only on the input
// frames and the position, never on what was computed before, so a buffer's sound is
// continuous across spans, blocks and changes of its rate without any state carried
// between them (the buffer hands over H - 1 frames before its cursor and H after).
//
// The kernel passes 0..0.4535 x the lower of the two rates (20 kHz at 44.1 kHz) within
// 0.001 dB and attenuates by 100 dB from the output's Nyquist frequency (downsampling) or
// from the first image of the passband's edge (upsampling). Its rows (one per fractional
// position) are computed once per pair of rates: exactly, when the positions an output
// frame can take are at most kExactRows apart; otherwise on a grid of kGridRows positions
// between which the rows are interpolated linearly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace softds::detail {

// H: the kernel reads H - 1 input frames before an output frame's position and H after;
// at most kMaxHalfWidth (beyond a ratio of about 4:1 the band edge widens instead).
inline constexpr uint32_t kMaxHalfWidth = 256;
uint32_t KernelHalfWidth(uint32_t bufferRate, uint32_t outputRate);

class Kernel {
public:
    Kernel(uint32_t bufferRate, uint32_t outputRate);
    uint32_t BufferRate() const { return m_Step; }
    uint32_t OutputRate() const { return m_Rate; }
    size_t HeldBytes() const { return (m_Rows.capacity() + m_Blend.capacity()) * sizeof(float); }

    // `in`: interleaved stereo frames, of which frame 0 is H - 1 frames before the input
    // frame that `phase` counts from; writes `frames` stereo frames to `out`.
    void Run(const float* in, uint32_t phase, float* out, size_t frames);

private:
    const float* Row(size_t index) const { return m_Rows.data() + index * m_Stride; }

    uint32_t m_Step;      // input frames per second
    uint32_t m_Rate;      // output frames per second
    uint32_t m_Half;      // H
    size_t m_Stride;      // floats per row: 2H taps, each twice (left, right), padded to 4
    uint32_t m_RowCount;  // exact: the positions' denominator; grid: kGridRows + 1
    bool m_Exact;
    uint32_t m_Divisor;  // exact: gcd of the rates, the unit of every position
    std::vector<float> m_Rows;
    std::vector<float> m_Blend;  // grid: the row interpolated for one output frame
};

// The kernels of the rate pairs that play now, kept by the thread that mixes.
class KernelCache {
public:
    Kernel& For(uint32_t bufferRate, uint32_t outputRate);
    size_t HeldBytes() const;

private:
    static constexpr size_t kKept = 8;               // a host sweeping its rates reuses these slots
    std::vector<std::unique_ptr<Kernel>> m_Kernels;  // the most recently used last
};

}  // namespace softds::detail
