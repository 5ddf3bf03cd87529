#include "softds/resampler.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace softds::detail {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kPassFraction = 20000.0 / 44100.0;  // of the lower rate
constexpr double kAttenuationDb = 100.0;
constexpr uint32_t kExactRows = 1024;  // 48000, 32000, 22050, 11025 ... against 44100 or 48000
constexpr uint32_t kGridRows = 512;

struct Design {
    double cutoff;  // cycles per input frame
    uint32_t half;
};

Design DesignFor(uint32_t bufferRate, uint32_t outputRate) {
    const double step = bufferRate, rate = outputRate;
    const double pass = kPassFraction * std::min(step, rate);
    // Downsampling: nothing above the output's Nyquist frequency may fold back. Upsampling:
    // the first image of the passband's edge lies at the input rate less that edge.
    const double stop = step > rate ? 0.5 * rate : step - pass;
    const double transition = (stop - pass) / step;
    // Kaiser's estimate of the length that reaches the attenuation over that transition.
    const double taps = (kAttenuationDb - 7.95) / (2.285 * 2.0 * kPi * transition);
    const auto half = static_cast<uint32_t>(std::ceil(taps / 2.0));
    return {0.5 * (pass + stop) / step, std::clamp<uint32_t>(half, 2, kMaxHalfWidth)};
}

double BesselI0(double x) {
    double sum = 1.0, term = 1.0;
    for (int k = 1; term > 1e-14 * sum; ++k) {
        const double f = x / (2.0 * k);
        term *= f * f;
        sum += term;
    }
    return sum;
}

// One row: the taps for input frames -H + 1 .. H around a position `t` past frame 0,
// normalised to unit gain at 0 Hz, each tap stored twice (for the left and right sample).
void MakeRow(double cutoff, uint32_t half, double t, float* row) {
    const double beta = 0.1102 * (kAttenuationDb - 8.7);
    const double norm = BesselI0(beta);
    const uint32_t taps = 2 * half;
    std::vector<double> h(taps);
    double sum = 0.0;
    for (uint32_t m = 0; m < taps; ++m) {
        const double x = static_cast<double>(m) - (half - 1) - t;
        const double r = x / half;
        if (r <= -1.0 || r >= 1.0) continue;
        const double arg = 2.0 * cutoff * x;
        const double sinc = arg == 0.0 ? 1.0 : std::sin(kPi * arg) / (kPi * arg);
        h[m] = 2.0 * cutoff * sinc * BesselI0(beta * std::sqrt(1.0 - r * r)) / norm;
        sum += h[m];
    }
    for (uint32_t m = 0; m < taps; ++m) {
        row[2 * m] = static_cast<float>(h[m] / sum);
        row[2 * m + 1] = row[2 * m];
    }
}

// Left and right: the sum of in[m] * row[m] over the even and the odd m below `n` (a
// multiple of 4).
void Dot(const float* in, const float* row, size_t n, float* out) {
#if defined(__SSE2__)
    __m128 a = _mm_setzero_ps(), b = _mm_setzero_ps();
    size_t m = 0;
    for (; m + 8 <= n; m += 8) {
        a = _mm_add_ps(a, _mm_mul_ps(_mm_loadu_ps(in + m), _mm_loadu_ps(row + m)));
        b = _mm_add_ps(b, _mm_mul_ps(_mm_loadu_ps(in + m + 4), _mm_loadu_ps(row + m + 4)));
    }
    if (m < n) a = _mm_add_ps(a, _mm_mul_ps(_mm_loadu_ps(in + m), _mm_loadu_ps(row + m)));
    alignas(16) float s[4];
    _mm_store_ps(s, _mm_add_ps(a, b));
    out[0] = s[0] + s[2];
    out[1] = s[1] + s[3];
#else
    float s[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    for (size_t m = 0; m < n; m += 4) {
        for (size_t c = 0; c < 4; ++c) s[c] += in[m + c] * row[m + c];
    }
    out[0] = s[0] + s[2];
    out[1] = s[1] + s[3];
#endif
}

}  // namespace

uint32_t KernelHalfWidth(uint32_t bufferRate, uint32_t outputRate) {
    return DesignFor(bufferRate, outputRate).half;
}

Kernel::Kernel(uint32_t bufferRate, uint32_t outputRate)
    : m_Step(bufferRate), m_Rate(outputRate), m_Divisor(std::gcd(bufferRate, outputRate)) {
    const Design d = DesignFor(bufferRate, outputRate);
    m_Half = d.half;
    m_Stride = 4 * size_t{m_Half};
    const uint32_t positions = outputRate / m_Divisor;
    m_Exact = positions <= kExactRows;
    m_RowCount = m_Exact ? positions : kGridRows + 1;
    const double spacing = m_Exact ? positions : kGridRows;
    m_Rows.assign(m_RowCount * m_Stride, 0.0f);
    for (uint32_t q = 0; q < m_RowCount; ++q) {
        MakeRow(d.cutoff, m_Half, q / spacing, m_Rows.data() + q * m_Stride);
    }
    if (!m_Exact) m_Blend.assign(m_Stride, 0.0f);
}

void Kernel::Run(const float* in, uint32_t phase, float* out, size_t frames) {
    // Whole and fractional input frames per output frame, so that no division runs per frame.
    const uint32_t whole = m_Step / m_Rate;
    const uint32_t part = m_Step % m_Rate;
    size_t at = phase / m_Rate;
    uint32_t fraction = phase % m_Rate;
    for (size_t k = 0; k < frames; ++k) {
        const float* row;
        if (m_Exact) {
            row = Row(fraction / m_Divisor);
        } else {
            const double r = static_cast<double>(fraction) * kGridRows / m_Rate;
            const auto q = static_cast<size_t>(r);
            const auto w = static_cast<float>(r - static_cast<double>(q));
            const float* a = Row(q);
            const float* b = Row(q + 1);
            for (size_t m = 0; m < m_Stride; ++m) m_Blend[m] = a[m] + (b[m] - a[m]) * w;
            row = m_Blend.data();
        }
        Dot(in + 2 * at, row, m_Stride, out + 2 * k);
        at += whole;
        fraction += part;
        if (fraction >= m_Rate) {
            fraction -= m_Rate;
            ++at;
        }
    }
}

Kernel& KernelCache::For(uint32_t bufferRate, uint32_t outputRate) {
    const auto it = std::find_if(m_Kernels.begin(), m_Kernels.end(), [&](const auto& k) {
        return k->BufferRate() == bufferRate && k->OutputRate() == outputRate;
    });
    if (it != m_Kernels.end()) {
        std::rotate(it, it + 1, m_Kernels.end());
    } else {
        if (m_Kernels.size() == kKept) m_Kernels.erase(m_Kernels.begin());
        m_Kernels.push_back(std::make_unique<Kernel>(bufferRate, outputRate));
    }
    return *m_Kernels.back();
}

size_t KernelCache::HeldBytes() const {
    size_t bytes = m_Kernels.capacity() * sizeof(m_Kernels[0]);
    for (const auto& k : m_Kernels) bytes += sizeof(Kernel) + k->HeldBytes();
    return bytes;
}

}  // namespace softds::detail
