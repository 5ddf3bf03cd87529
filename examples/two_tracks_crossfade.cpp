// Two tracks, complete: one player fades out while the next fades in, and the master
// volume changes half-way through the crossfade. softds plays in real time into an SDL2
// audio device, or into a WAV file at the same pace when no device opens.
//
// Usage: two_tracks_crossfade FIRST.wav SECOND.wav [OUT.wav]
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "softds/softds.h"
#include "sonaflux/sonaflux.h"

namespace {

// Thread-safe and non-blocking, as the fade threads that call it require.
class Timer final : public ITimer {
public:
    int32_t Acquire() override { return 1; }
    uint32_t GetTime() override {
        using namespace std::chrono;
        return static_cast<uint32_t>(
            duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
    }
};

template <typename T>
T* InterfaceOf(MusicPlayer* player, const GUID& iid) {
    return static_cast<T*>(player->GetInterface(&iid));
}

void Wait(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: two_tracks_crossfade FIRST.wav SECOND.wav [OUT.wav]\n");
        return 2;
    }
    static Timer timer;
    softds::DeviceOptions options;
    options.clock = softds::ClockKind::RealTime;
    options.sink = softds::SinkKind::Sdl;
    softds::Device* device = softds::Device::Create(options);
    if (device == nullptr) {
        options.sink = softds::SinkKind::WavFile;
        options.wavPath = argc > 3 ? argv[3] : "crossfade.wav";
        if ((device = softds::Device::Create(options)) == nullptr) return 1;
    }
    auto* module = static_cast<MusicModule*>(CreateInterface(&IID_MusicModule));
    module->SetDirectSound(device->HostInterface());
    module->SetTimer(&timer);
    for (int music = 0; music < 2; ++music) {
        const char* file = argv[1 + music];
        module->SetPlayInfo(music, file, 0, static_cast<int>(std::filesystem::file_size(file)));
    }
    auto* master = static_cast<MusicVolumeControl*>(module->GetInterface(&IID_MusicVolumeControl));

    // [snippet crossfade]
    MusicPlayer* outgoing = module->GetPlayer(0);
    MusicPlayer* incoming = module->GetPlayer(1);
    if (!outgoing->Load(0) || !incoming->Load(1)) return 1;
    InterfaceOf<MusicLoopControl>(outgoing, IID_MusicLoopControl)->SetLoopCount(0);
    InterfaceOf<MusicLoopControl>(incoming, IID_MusicLoopControl)->SetLoopCount(0);
    outgoing->Play();
    Wait(1000);

    InterfaceOf<MusicFadeControl>(incoming, IID_MusicFadeControl)->Fade(0, 0, false);  // silent now
    incoming->Play();
    InterfaceOf<MusicFadeControl>(outgoing, IID_MusicFadeControl)
        ->Fade(2000, 0, true);  // then stops
    InterfaceOf<MusicFadeControl>(incoming, IID_MusicFadeControl)->Fade(2000, 100, false);
    Wait(1000);
    master->SetMasterVolume(0.5);  // both fades go on, under the new master volume
    // [snippet end]

    // The fades end about a second later; a loaded machine may take a little longer.
    auto done = [&] {
        return !outgoing->IsPlaying() &&
               !InterfaceOf<MusicFadeControl>(incoming, IID_MusicFadeControl)->IsFading();
    };
    for (int waited = 0; !done() && waited < 10000; waited += 50) Wait(50);
    const bool ok = done() && incoming->IsPlaying();
    std::printf("two_tracks_crossfade: first %s, second %s\n",
                outgoing->IsPlaying() ? "still playing" : "faded out and stopped",
                incoming->IsPlaying() ? "playing at full level" : "stopped");
    module->Release();
    device->Release();
    return ok ? 0 : 1;
}
