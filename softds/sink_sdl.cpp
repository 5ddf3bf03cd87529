// The SDL2 sink: the mix is queued on the default audio device, which then sets the pace
// of the real-time clock.
#include <SDL.h>

#include "softds/sink.h"

namespace softds::detail {

namespace {

class SdlSink final : public Sink {
public:
    explicit SdlSink(SDL_AudioDeviceID device) : m_Device(device) {
        SDL_PauseAudioDevice(device, 0);
    }
    ~SdlSink() override { Close(); }

    void Write(const int16_t* frames, size_t count) override {
        if (m_Device) SDL_QueueAudio(m_Device, frames, static_cast<Uint32>(count * 4));
    }
    bool PacesClock() const override { return true; }
    size_t Backlog() const override { return m_Device ? SDL_GetQueuedAudioSize(m_Device) / 4 : 0; }
    void Close() override {
        if (!m_Device) return;
        SDL_CloseAudioDevice(m_Device);
        m_Device = 0;
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
    }

private:
    SDL_AudioDeviceID m_Device;
};

}  // namespace

std::unique_ptr<Sink> MakeSdlSink(uint32_t rate, uint32_t periodFrames) {
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) return nullptr;
    SDL_AudioSpec want{};
    want.freq = static_cast<int>(rate);
    want.format = AUDIO_S16SYS;
    want.channels = 2;
    Uint16 samples = 256;  // a power of two near the clock's period
    while (samples < periodFrames && samples < 8192) samples = static_cast<Uint16>(samples * 2);
    want.samples = samples;
    const SDL_AudioDeviceID device = SDL_OpenAudioDevice(nullptr, 0, &want, nullptr, 0);
    if (device == 0) {
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        return nullptr;
    }
    return std::make_unique<SdlSink>(device);
}

}  // namespace softds::detail
