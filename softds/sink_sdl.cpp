// The SDL2 sink. With the real-time clock SDL's audio callback pulls each block of the mix:
// the device follows the audio hardware, with no clock thread and no polling. With the
// manual clock the mix is queued on the device as it is made.
#include <SDL.h>

#include <cstring>

#include "softds/sink.h"

namespace softds::detail {

namespace {

class SdlSink final : public Sink {
public:
    explicit SdlSink(bool pull) : m_Pull(pull) {}
    ~SdlSink() override { Close(); }

    bool Open(uint32_t rate, uint32_t periodFrames) {
        SDL_AudioSpec want{};
        want.freq = static_cast<int>(rate);
        want.format = AUDIO_S16SYS;
        want.channels = 2;
        Uint16 samples = 256;  // a power of two at or above the clock's period
        while (samples < periodFrames && samples < 8192) samples = static_cast<Uint16>(samples * 2);
        want.samples = samples;
        if (m_Pull) {
            want.callback = &SdlSink::Callback;
            want.userdata = this;
        }
        m_Device = SDL_OpenAudioDevice(nullptr, 0, &want, nullptr, 0);
        if (m_Device == 0) return false;
        if (!m_Pull) SDL_PauseAudioDevice(m_Device, 0);
        return true;
    }

    void Write(const int16_t* frames, size_t count) override {
        if (m_Device && !m_Pull) SDL_QueueAudio(m_Device, frames, static_cast<Uint32>(count * 4));
    }
    bool Pulls() const override { return m_Pull; }
    void Start(RenderFn render) override {
        m_Render = std::move(render);
        if (m_Device) SDL_PauseAudioDevice(m_Device, 0);
    }
    // Pausing takes the device's lock, which SDL holds around each callback: once it returns
    // no callback runs, and none follows.
    void Stop() override {
        if (m_Device && m_Pull) SDL_PauseAudioDevice(m_Device, 1);
    }
    void Close() override {
        if (!m_Device) return;
        SDL_CloseAudioDevice(m_Device);  // waits for the audio thread
        m_Device = 0;
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
    }

private:
    static void SDLCALL Callback(void* self, Uint8* stream, int bytes) {
        auto* sink = static_cast<SdlSink*>(self);
        const size_t frames = static_cast<size_t>(bytes) / 4;
        if (sink->m_Render) {
            sink->m_Render(reinterpret_cast<int16_t*>(stream), frames);
        } else {
            std::memset(stream, 0, static_cast<size_t>(bytes));
        }
    }

    const bool m_Pull;
    SDL_AudioDeviceID m_Device = 0;
    RenderFn m_Render;  // set before the device is unpaused, read by the callback only
};

}  // namespace

std::unique_ptr<Sink> MakeSdlSink(uint32_t rate, uint32_t periodFrames, bool pull) {
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) return nullptr;
    auto sink = std::make_unique<SdlSink>(pull);
    if (!sink->Open(rate, periodFrames)) {
        sink.reset();
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        return nullptr;
    }
    return sink;
}

}  // namespace softds::detail
