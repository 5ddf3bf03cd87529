// The host's millisecond timer for the benchmark hosts: a steady clock, as an engine's
// would be (thread-safe and non-blocking, as ITimer requires).
#pragma once

#include <chrono>
#include <cstdint>

#include "sonaflux/sonaflux.h"

namespace sonaflux::bench {

class SteadyTimer final : public ITimer {
public:
    int32_t Acquire() override { return 1; }
    uint32_t GetTime() override {
        using namespace std::chrono;
        return static_cast<uint32_t>(
            duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
    }
};

}  // namespace sonaflux::bench
