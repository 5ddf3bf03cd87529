#include "base/faults.h"

#include <atomic>

namespace sonaflux {
namespace {
constexpr int kPoints = static_cast<int>(FaultPoint::Count);
// -1: disarmed; otherwise the number of calls still to let through.
std::atomic<int> g_countdown[kPoints] = {};
std::atomic<bool> g_initialised{false};

void InitOnce() {
    bool expected = false;
    if (g_initialised.compare_exchange_strong(expected, true)) {
        for (auto& c : g_countdown) c.store(-1);
    }
}
struct Init {
    Init() { InitOnce(); }
} g_init;
}  // namespace

void ArmFault(FaultPoint point, int skip) {
    InitOnce();
    g_countdown[static_cast<int>(point)].store(skip < 0 ? 0 : skip);
}

void DisarmFaults() {
    InitOnce();
    for (auto& c : g_countdown) c.store(-1);
}

bool FaultFires(FaultPoint point) {
    auto& c = g_countdown[static_cast<int>(point)];
    int v = c.load(std::memory_order_relaxed);
    while (v >= 0) {
        if (c.compare_exchange_weak(v, v - 1)) return v == 0;
    }
    return false;
}

}  // namespace sonaflux
