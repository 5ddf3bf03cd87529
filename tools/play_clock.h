// The clocks a sonaflux-play session runs by: the host timer the module's fades read, and
// the clock the session's own loop waits on. Live playback follows the wall clock; a
// render follows the frames softds's manual clock has mixed.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>

#include "softds/softds.h"
#include "sonaflux/sonaflux.h"

namespace sfplay {

constexpr uint32_t kOutputRate = 44100;  // a render's rate unless --rate says otherwise

// The host's millisecond timer on the wall clock.
class SteadyTimer final : public ITimer {
public:
    int32_t Acquire() override { return 1; }
    uint32_t GetTime() override;
};

// The manual clock's time: the frames the device has played. Counts its readers so that
// rendering can let each fade step see the time it was rendered at.
class FrameTimer final : public ITimer {
public:
    // `rate`: the device's output rate.
    FrameTimer(softds::Device& device, uint32_t rate) : m_Device(device), m_Rate(rate) {}
    uint32_t Rate() const { return m_Rate; }
    int32_t Acquire() override { return 1; }
    uint32_t GetTime() override;
    uint64_t Reads() const { return m_Reads.load(); }

private:
    softds::Device& m_Device;
    const uint32_t m_Rate;
    std::atomic<uint64_t> m_Reads{0};
};

class Clock {
public:
    virtual ~Clock() = default;
    virtual double Now() = 0;  // seconds since playback started
    // Lets playback run until `t`. False when the device stopped keeping time.
    virtual bool RunUntil(double t) = 0;
};

class LiveClock final : public Clock {
public:
    double Now() override;
    bool RunUntil(double t) override;

private:
    std::chrono::steady_clock::time_point m_Start = std::chrono::steady_clock::now();
};

// Renders as fast as the machine allows. While a fade runs, time moves in small steps and
// each step waits until the fade worker has read the clock twice, so the level it applied
// belongs to the audio that follows (a fade thus sounds as it would in real time).
class RenderClock final : public Clock {
public:
    // `fadeStep`: the frames of one step while a fade runs, 0 when none does; `fading`:
    // whether a fade still runs.
    RenderClock(softds::Device& device, FrameTimer& timer, std::function<uint32_t()> fadeStep,
                std::function<bool()> fading)
        : m_Device(device),
          m_Timer(timer),
          m_FadeStep(std::move(fadeStep)),
          m_Fading(std::move(fading)) {}
    double Now() override;
    bool RunUntil(double t) override;

private:
    void WaitForFade(uint64_t reads);

    softds::Device& m_Device;
    FrameTimer& m_Timer;
    std::function<uint32_t()> m_FadeStep;
    std::function<bool()> m_Fading;
};

}  // namespace sfplay
