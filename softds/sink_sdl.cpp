// The SDL2 sink. With the real-time clock SDL's audio callback pulls each block of the mix:
// the device follows the audio hardware, with no clock thread; a watcher keeps the clock
// running while the device is gone (sink_recovering.cpp). With the manual clock the mix is
// queued on the device as it is made.
#include <SDL.h>

#include <cstring>

#include "softds/sink.h"

namespace softds::detail {

namespace {

// The manual clock's SDL output: the mix is queued on the device as it is made.
class SdlSink final : public Sink {
public:
    ~SdlSink() override { Close(); }

    bool Open(uint32_t rate) {
        SDL_AudioSpec want{};
        want.freq = static_cast<int>(rate);
        want.format = AUDIO_S16SYS;
        want.channels = 2;
        want.samples = 256;
        m_Device = SDL_OpenAudioDevice(nullptr, 0, &want, nullptr, 0);
        if (m_Device == 0) return false;
        SDL_PauseAudioDevice(m_Device, 0);
        return true;
    }

    void Write(const int16_t* frames, size_t count) override {
        if (m_Device) SDL_QueueAudio(m_Device, frames, static_cast<Uint32>(count * 4));
    }
    void Close() override {
        if (!m_Device) return;
        SDL_CloseAudioDevice(m_Device);  // waits for the audio thread
        m_Device = 0;
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
    }

private:
    SDL_AudioDeviceID m_Device = 0;
};

// SDL's default device for the real-time clock, which pulls the mix through `render`.
// Each port holds the audio subsystem for its life (SDL counts), so one can be opened
// again after the device went away.
class SdlPort final : public OutputPort {
public:
    explicit SdlPort(Sink::RenderFn render) : m_Render(std::move(render)) {}
    ~SdlPort() override {
        if (m_Device != 0) SDL_CloseAudioDevice(m_Device);  // waits for the audio thread
        if (m_Subsystem) SDL_QuitSubSystem(SDL_INIT_AUDIO);
    }

    bool Open(uint32_t rate, uint32_t periodFrames) {
        m_Subsystem = SDL_InitSubSystem(SDL_INIT_AUDIO) == 0;
        if (!m_Subsystem) return false;
        SDL_AudioSpec want{};
        want.freq = static_cast<int>(rate);
        want.format = AUDIO_S16SYS;
        want.channels = 2;
        Uint16 samples = 256;  // a power of two at or above the clock's period
        while (samples < periodFrames && samples < 8192) samples = static_cast<Uint16>(samples * 2);
        want.samples = samples;
        want.callback = &SdlPort::Callback;
        want.userdata = this;
        m_Device = SDL_OpenAudioDevice(nullptr, 0, &want, nullptr, 0);
        return m_Device != 0;
    }
    void Start() override { SDL_PauseAudioDevice(m_Device, 0); }
    // Pausing takes the device's lock, which SDL holds around each callback.
    void Stop() override { SDL_PauseAudioDevice(m_Device, 1); }
    // SDL disables a device the system removed; it then reports it stopped.
    bool Lost() const override { return SDL_GetAudioDeviceStatus(m_Device) == SDL_AUDIO_STOPPED; }

private:
    static void SDLCALL Callback(void* self, Uint8* stream, int bytes) {
        static_cast<SdlPort*>(self)->m_Render(reinterpret_cast<int16_t*>(stream),
                                              static_cast<size_t>(bytes) / 4);
    }

    Sink::RenderFn m_Render;
    SDL_AudioDeviceID m_Device = 0;
    bool m_Subsystem = false;
};

}  // namespace

std::unique_ptr<Sink> MakeSdlSink(uint32_t rate, uint32_t periodFrames, bool pull) {
    if (pull) {
        // The real-time clock survives its device: see MakeRecoveringSink.
        return MakeRecoveringSink(rate, periodFrames, [rate, periodFrames](Sink::RenderFn render) {
            auto port = std::make_unique<SdlPort>(std::move(render));
            return port->Open(rate, periodFrames) ? std::unique_ptr<OutputPort>(std::move(port))
                                                  : nullptr;
        });
    }
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) return nullptr;
    auto sink = std::make_unique<SdlSink>();
    if (!sink->Open(rate)) {
        sink.reset();
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        return nullptr;
    }
    return sink;
}

}  // namespace softds::detail
