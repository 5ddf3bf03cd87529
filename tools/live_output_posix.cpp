// Live output on POSIX: softds's real-time clock paced by an SDL2 audio device.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "live_output.h"
#include "softds/softds.h"

namespace sfplay {

namespace {

class SoftdsOutput final : public LiveOutput {
public:
    explicit SoftdsOutput(softds::Device* device) : m_Device(device) {}
    ~SoftdsOutput() override { m_Device->Release(); }
    ::IDirectSound* Device() override { return m_Device->HostInterface(); }
    const char* Name() const override { return "softds, SDL2 audio device"; }

private:
    softds::Device* m_Device;
};

// Points the process's stderr at /dev/null for the scope's life, and back after. SDL's
// backends (ALSA above all) print a line for every card they fail to find.
class QuietStderr {
public:
    QuietStderr() {
        std::fflush(stderr);
        m_Saved = dup(STDERR_FILENO);
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (m_Saved >= 0 && null >= 0) dup2(null, STDERR_FILENO);
        if (null >= 0) close(null);
    }
    ~QuietStderr() {
        std::fflush(stderr);
        if (m_Saved < 0) return;
        dup2(m_Saved, STDERR_FILENO);
        close(m_Saved);
    }
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;

private:
    int m_Saved = -1;
};

}  // namespace

std::unique_ptr<LiveOutput> OpenLiveOutput(bool verbose, std::string* why) {
    softds::DeviceOptions options;
    options.clock = softds::ClockKind::RealTime;
    options.sink = softds::SinkKind::Sdl;
    options.outputRate = 44100;
    options.periodFrames = 441;
    options.recordPlayed = false;  // a long session would keep every byte otherwise
    options.recordCalls = false;
    softds::Device* device = nullptr;
    if (verbose) {
        device = softds::Device::Create(options);
    } else {
        const QuietStderr quiet;
        device = softds::Device::Create(options);
    }
    if (device == nullptr) {
        const char* driver = std::getenv("SDL_AUDIODRIVER");
        *why = std::string("no SDL2 audio device could be opened") +
               (driver ? std::string(" (SDL_AUDIODRIVER=") + driver + ")" : std::string());
        return nullptr;
    }
    return std::make_unique<SoftdsOutput>(device);
}

}  // namespace sfplay
