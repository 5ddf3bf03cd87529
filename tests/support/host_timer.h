// A host timer that the test moves by hand, and a bounded wait for what threads that step
// in real time (fade threads) will have done.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "sonaflux/sonaflux.h"

namespace sonaflux::test {

class HostTimer final : public ITimer {
public:
    explicit HostTimer(uint32_t start = 100000) : now(start) {}
    int32_t Acquire() override { return 1; }
    uint32_t GetTime() override { return now.load(); }
    std::atomic<uint32_t> now;
};

// Polls `done` until it holds, for at most five seconds.
bool Eventually(const std::function<bool()>& done);

}  // namespace sonaflux::test
