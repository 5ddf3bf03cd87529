// Drives the module through its public interfaces on softds's manual clock, step by step
// as a sequence says, and the model beside it; after every step it compares what the
// buffers played, byte for byte, and every query. Also makes seeded sequences and shrinks
// a failing one to the shortest it can find.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "model/model.h"
#include "model/ops.h"

namespace sonaflux::model {

struct Outcome {
    bool agreed = true;
    size_t step = 0;   // the step after which module and model disagreed
    std::string what;  // how
};

struct Counts {
    uint64_t sequences = 0;
    uint64_t steps = 0;     // host operations, clock advances and settings reads
    uint64_t queries = 0;   // query calls compared
    uint64_t frames = 0;    // output frames the clock played
    uint64_t latitude = 0;  // stops the model accepted one segment early
    uint64_t ends = 0;      // buffers that stopped by themselves after the music's end
    uint64_t fadeEnds = 0;  // timed fades that reached their end on the clock
    uint64_t skipped = 0;   // loads not driven: segments shorter than one output frame's step
    uint64_t events = 0;    // events polled and compared
    uint64_t switches = 0;  // switches taken
    uint64_t switchesLeftOut = 0;  // switches from silence or an unwritten segment: not driven
    uint64_t crossfades = 0;       // switches taken with a crossfade
    uint64_t mixedBytes = 0;       // bytes played under a crossfade and compared within 1 LSB
};

class Harness {
public:
    static constexpr uint32_t kOutputRate = 8000;
    static constexpr int kPlayers = 3;

    Harness();
    ~Harness();
    Harness(const Harness&) = delete;
    Harness& operator=(const Harness&) = delete;

    // Runs `sequence` on a module set up afresh and compares after each step.
    Outcome Run(const Sequence& sequence);
    // A sequence of `steps` steps made from `seed` alone.
    Sequence Generate(uint64_t seed, size_t steps) const;
    // The shortest variant of a failing sequence that still fails, by removing steps and
    // shortening clock advances.
    Sequence Shrink(const Sequence& failing);
    // A ready-to-paste test that replays `sequence`.
    static std::string AsTest(uint64_t seed, const Sequence& sequence, const Outcome& outcome);

    const std::vector<Entry>& Entries() const { return m_Entries; }
    Counts counts;

private:
    struct Files;
    struct Session;
    std::unique_ptr<Files> m_Files;
    std::vector<Entry> m_Entries;
};

// Runs `sequence` and fails the current test with the divergence, if any.
void ExpectModelAgrees(const Sequence& sequence);

}  // namespace sonaflux::model
