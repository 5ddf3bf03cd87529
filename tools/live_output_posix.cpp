// Live output on POSIX: softds's real-time clock paced by an SDL2 audio device.
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

}  // namespace

std::unique_ptr<LiveOutput> OpenLiveOutput(std::string* why) {
    softds::DeviceOptions options;
    options.clock = softds::ClockKind::RealTime;
    options.sink = softds::SinkKind::Sdl;
    options.outputRate = 44100;
    options.periodFrames = 441;
    options.recordPlayed = false;  // a long session would keep every byte otherwise
    options.recordCalls = false;
    softds::Device* device = softds::Device::Create(options);
    if (device == nullptr) {
        const char* driver = std::getenv("SDL_AUDIODRIVER");
        *why = std::string("no SDL2 audio device could be opened") +
               (driver ? std::string(" (SDL_AUDIODRIVER=") + driver + ")" : std::string());
        return nullptr;
    }
    return std::make_unique<SoftdsOutput>(device);
}

}  // namespace sfplay
