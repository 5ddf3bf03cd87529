// The pulling sink that survives its device (see MakeRecoveringSink in sink.h). While a
// device plays, its own thread pulls the mix and a watcher looks every 50 ms whether the
// system removed it. Once it is gone, the watcher becomes the clock: it renders a period
// of the mix every period of time into nothing, so buffers play on, notifications fire
// and positions move as if the device were there, and it tries the default device again
// every retry interval. Only one of the two renders at any time: the lost device is
// paused before the watcher renders, and the watcher stops rendering before the new
// device starts.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "softds/sink.h"

namespace softds::detail {

namespace {

using Clock = std::chrono::steady_clock;

class RecoveringSink final : public Sink {
public:
    RecoveringSink(uint32_t rate, uint32_t periodFrames, OpenPort open,
                   std::function<void(const char*)> say, uint32_t retryMs)
        : m_Rate(rate),
          m_Period(std::max<uint32_t>(periodFrames, 1)),
          m_Open(std::move(open)),
          m_Say(std::move(say)),
          m_Retry(std::chrono::milliseconds(retryMs)) {}
    ~RecoveringSink() override { Close(); }

    bool OpenFirst() {
        m_Port = m_Open(Forward());
        return m_Port != nullptr;
    }

    void Write(const int16_t*, size_t) override {}
    bool Pulls() const override { return true; }
    void Start(RenderFn render) override {
        m_Render = std::move(render);
        if (m_Port) m_Port->Start();
        m_Watcher = std::thread(&RecoveringSink::Watch, this);
    }
    void Stop() override {
        {
            const std::lock_guard<std::mutex> lock(m_Mutex);
            m_Stop = true;
        }
        m_Wake.notify_all();
        if (m_Watcher.joinable()) m_Watcher.join();
        if (m_Port) m_Port->Stop();
    }
    void Close() override {
        Stop();
        m_Port.reset();
    }

private:
    // What a device pulls through: the render function given at Start.
    RenderFn Forward() {
        return [this](int16_t* out, size_t frames) { m_Render(out, frames); };
    }
    void Say(const char* text) {
        if (m_Say) {
            m_Say(text);
        } else {
            std::fprintf(stderr, "%s\n", text);
        }
    }
    bool Stopping() {
        const std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Stop;
    }

    void Watch() {
        std::unique_lock<std::mutex> lock(m_Mutex);
        while (!m_Stop) {
            if (m_Port && m_Port->Lost()) {
                lock.unlock();
                m_Port->Stop();
                m_Port.reset();
                Say("softds: the audio device was removed; the music plays on and goes to the "
                    "default device as soon as one opens");
                RunWithoutDevice();
                lock.lock();
                continue;
            }
            m_Wake.wait_for(lock, std::chrono::milliseconds(50), [this] { return m_Stop; });
        }
    }

    // The clock without a device, until one opens again (or the sink stops).
    void RunWithoutDevice() {
        std::vector<int16_t> scratch(2 * size_t{m_Period});
        const auto start = Clock::now();
        auto nextTry = start + m_Retry;
        for (uint64_t frames = m_Period;; frames += m_Period) {
            const auto due = start + std::chrono::microseconds(frames * 1000000 / m_Rate);
            {
                std::unique_lock<std::mutex> lock(m_Mutex);
                if (m_Wake.wait_until(lock, due, [this] { return m_Stop; })) return;
            }
            m_Render(scratch.data(), m_Period);
            if (Clock::now() < nextTry) continue;
            nextTry = Clock::now() + m_Retry;
            std::unique_ptr<OutputPort> port = m_Open(Forward());
            if (!port) continue;
            m_Port = std::move(port);
            if (Stopping()) return;  // Stop pauses it
            m_Port->Start();
            Say("softds: playing to the default audio device again");
            return;
        }
    }

    const uint32_t m_Rate;
    const uint32_t m_Period;
    const OpenPort m_Open;
    const std::function<void(const char*)> m_Say;
    const Clock::duration m_Retry;
    RenderFn m_Render;
    std::unique_ptr<OutputPort> m_Port;  // the watcher's while it runs; the owner's after
    std::mutex m_Mutex;
    std::condition_variable m_Wake;
    bool m_Stop = false;
    std::thread m_Watcher;
};

}  // namespace

std::unique_ptr<Sink> MakeRecoveringSink(uint32_t rate, uint32_t periodFrames, OpenPort open,
                                         std::function<void(const char*)> say, uint32_t retryMs) {
    auto sink = std::make_unique<RecoveringSink>(rate, periodFrames, std::move(open),
                                                 std::move(say), retryMs);
    if (!sink->OpenFirst()) return nullptr;
    return sink;
}

}  // namespace softds::detail
