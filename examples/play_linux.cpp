// A Linux host, complete: softds stands in for DirectSound, playing into an SDL2 audio
// device in real time, or into a WAV file at the same pace when no device opens. The
// module is linked directly (libSonaflux.so).
//
// Usage: play_linux MUSIC.wav [SECONDS] [FALLBACK.wav]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "softds/softds.h"
#include "sonaflux/sonaflux.h"

namespace {

// The engine's millisecond clock. The module calls GetTime from its fade threads, so it
// must be thread-safe and must not block: a steady clock is both.
class Timer final : public ITimer {
public:
    int32_t Acquire() override { return 1; }
    uint32_t GetTime() override {
        using namespace std::chrono;
        return static_cast<uint32_t>(
            duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
    }
};

}  // namespace

int main(int argc, char** argv) {
    const char* music = argc > 1 ? argv[1] : "music.wav";
    const double seconds = argc > 2 ? std::atof(argv[2]) : 4.0;
    const char* fallback = argc > 3 ? argv[3] : "play_linux.wav";
    // [snippet linux]
    static Timer timer;
    softds::DeviceOptions options;
    options.clock = softds::ClockKind::RealTime;  // records nothing: memory stays flat
    options.sink = softds::SinkKind::Sdl;
    softds::Device* device = softds::Device::Create(options);  // null if no device opens
    if (device == nullptr) {
        options.sink = softds::SinkKind::WavFile;  // same pace, into a file
        options.wavPath = fallback;
        device = softds::Device::Create(options);
        if (device == nullptr) return 1;
        std::printf("play_linux: no audio device; writing %s\n", fallback);
    }

    auto* module = static_cast<MusicModule*>(CreateInterface(&IID_MusicModule));
    module->SetDirectSound(device->HostInterface());
    module->SetTimer(&timer);
    const auto size = static_cast<int>(std::filesystem::file_size(music));
    module->SetPlayInfo(0, music, 0, size);  // music 0: the whole file
    MusicPlayer* player = module->GetPlayer(0);
    if (!player->Load(0)) return 1;
    auto* loop = static_cast<MusicLoopControl*>(player->GetInterface(&IID_MusicLoopControl));
    loop->SetLoopCount(0);  // endless
    player->Play();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));

    module->Release();  // stops and unloads every player
    device->Release();
    // [snippet end]
    std::printf("play_linux: played %.1f s\n", seconds);
    return 0;
}
