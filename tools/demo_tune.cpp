#include "demo_tune.h"

#include <algorithm>
#include <cmath>

#include "wave_file.h"

namespace sfplay {

namespace {

constexpr uint32_t kRate = 44100;
constexpr uint32_t kEighth = kRate / 4;  // 120 beats a minute
constexpr uint32_t kPickupEighths = 8;   // one bar before the loop
constexpr uint32_t kLoopEighths = 16;    // two bars that loop
constexpr double kPi = 3.14159265358979323846;

enum class Voice { Lead, Bass, Pluck };

struct Note {
    int midi;
    uint32_t start;   // in eighths
    uint32_t length;  // in eighths
    Voice voice;
};

// Every note ends inside its own slot and fades to zero there, so the loop region joins
// its end to its start without a click.
const Note kNotes[] = {
    // Pickup bar: a rising run and a half cadence.
    {67, 0, 1, Voice::Lead},
    {69, 1, 1, Voice::Lead},
    {71, 2, 1, Voice::Lead},
    {74, 3, 1, Voice::Lead},
    {76, 4, 2, Voice::Lead},
    {74, 6, 1, Voice::Lead},
    {71, 7, 1, Voice::Lead},
    {43, 0, 4, Voice::Bass},
    {50, 4, 4, Voice::Bass},
    // Loop, bar one (C, Am).
    {72, 8, 2, Voice::Lead},
    {76, 10, 1, Voice::Lead},
    {79, 11, 1, Voice::Lead},
    {81, 12, 2, Voice::Lead},
    {79, 14, 1, Voice::Lead},
    {76, 15, 1, Voice::Lead},
    {48, 8, 2, Voice::Bass},
    {48, 10, 2, Voice::Bass},
    {45, 12, 2, Voice::Bass},
    {45, 14, 2, Voice::Bass},
    // Loop, bar two (F, G, back to C).
    {74, 16, 1, Voice::Lead},
    {76, 17, 1, Voice::Lead},
    {79, 18, 2, Voice::Lead},
    {76, 20, 1, Voice::Lead},
    {74, 21, 1, Voice::Lead},
    {72, 22, 2, Voice::Lead},
    {41, 16, 2, Voice::Bass},
    {41, 18, 2, Voice::Bass},
    {43, 20, 2, Voice::Bass},
    {43, 22, 2, Voice::Bass},
};

// Chord plucks on the off-beats of the loop: C, C, Am, Am, F, F, G, G.
const int kChords[8][3] = {{52, 55, 60}, {52, 55, 60}, {52, 57, 60}, {52, 57, 60},
                           {53, 57, 60}, {53, 57, 60}, {50, 55, 59}, {50, 55, 59}};

double Frequency(int midi) {
    return 440.0 * std::pow(2.0, (midi - 69) / 12.0);
}

// Attack, decay towards a sustain level, and a release that reaches zero at the end.
double Envelope(uint32_t i, uint32_t length, double decayPerSecond, double sustain) {
    const double t = static_cast<double>(i) / kRate;
    const double attack = 0.004, release = 0.025;
    const double left = static_cast<double>(length - i) / kRate;
    double e = sustain + (1.0 - sustain) * std::exp(-decayPerSecond * t);
    if (t < attack) e *= t / attack;
    if (left < release) e *= 0.5 - 0.5 * std::cos(kPi * left / release);
    return e;
}

double Tone(Voice voice, double phase) {
    switch (voice) {
        case Voice::Lead: {  // a soft square: odd harmonics, rolled off
            double v = 0.0, weight = 1.0;
            for (int k = 1; k <= 9; k += 2, weight *= 0.7) v += weight * std::sin(k * phase) / k;
            return v;
        }
        case Voice::Bass:
            return std::sin(phase) + 0.2 * std::sin(2.0 * phase);
        case Voice::Pluck:
            return std::sin(phase);
    }
    return 0.0;
}

void AddNote(std::vector<double>& left, std::vector<double>& right, const Note& note) {
    const uint32_t first = note.start * kEighth;
    const uint32_t length = note.length * kEighth;
    const double step = 2.0 * kPi * Frequency(note.midi) / kRate;
    double gain = 0.0, pan = 0.5, decay = 4.0, sustain = 0.5;
    switch (note.voice) {
        case Voice::Lead:
            gain = 0.30, pan = 0.38, decay = 5.0, sustain = 0.55;
            break;
        case Voice::Bass:
            gain = 0.32, pan = 0.5, decay = 2.0, sustain = 0.6;
            break;
        case Voice::Pluck:
            gain = 0.07, pan = 0.75, decay = 14.0, sustain = 0.0;
            break;
    }
    for (uint32_t i = 0; i < length; ++i) {
        const double v = gain * Envelope(i, length, decay, sustain) * Tone(note.voice, step * i);
        left[first + i] += v * (1.0 - pan) * 2.0;
        right[first + i] += v * pan * 2.0;
    }
}

}  // namespace

DemoTune MakeDemoTune() {
    const uint32_t frames = (kPickupEighths + kLoopEighths) * kEighth;
    std::vector<double> left(frames, 0.0), right(frames, 0.0);
    for (const Note& n : kNotes) AddNote(left, right, n);
    for (uint32_t beat = 0; beat < 8; ++beat) {
        for (int tone : kChords[beat]) {
            AddNote(left, right, Note{tone, kPickupEighths + beat * 2 + 1, 1, Voice::Pluck});
        }
    }

    double peak = 1e-9;
    for (uint32_t i = 0; i < frames; ++i) {
        peak = std::max({peak, std::fabs(left[i]), std::fabs(right[i])});
    }
    const double scale = 0.7 * 32767.0 / peak;  // about -3 dBFS at the loudest
    std::vector<uint8_t> pcm;
    pcm.reserve(frames * 4u);
    for (uint32_t i = 0; i < frames; ++i) {
        for (double v : {left[i], right[i]}) {
            const long s = std::clamp(std::lround(v * scale), -32768L, 32767L);
            Put16(pcm, static_cast<uint16_t>(static_cast<int16_t>(s)));
        }
    }

    DemoTune tune;
    tune.image = MakeWaveImage(PcmFormat{2, 16, kRate}, pcm);
    tune.frames = frames;
    tune.loopStart = kPickupEighths * kEighth;
    tune.loopEnd = frames;
    tune.rate = kRate;
    return tune;
}

}  // namespace sfplay
