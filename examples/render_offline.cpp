// Offline rendering, complete: softds's manual clock steps playback as fast as the machine
// allows and its WAV sink keeps the mix, so a piece with its loops and fade-out becomes a
// file in a fraction of its playing time. Fades follow the rendered time, because the
// host's timer is the device clock itself.
//
// Usage: render_offline MUSIC.wav OUT.wav [LOOPS]
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "softds/softds.h"
#include "sonaflux/sonaflux.h"

namespace {

constexpr uint32_t kRate = 44100;

// Milliseconds of rendered time. The module calls GetTime from its fade threads while
// Advance runs; reading an atomic frame count is safe from any thread.
class RenderTimer final : public ITimer {
public:
    explicit RenderTimer(const softds::Device* device) : m_Device(device) {}
    int32_t Acquire() override { return 1; }
    uint32_t GetTime() override { return static_cast<uint32_t>(m_Device->Frames() * 1000 / kRate); }

private:
    const softds::Device* m_Device;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: render_offline MUSIC.wav OUT.wav [LOOPS]\n");
        return 2;
    }
    const int loops = argc > 3 ? std::atoi(argv[3]) : 2;
    // [snippet render]
    softds::DeviceOptions options;  // the manual clock: nothing plays until Advance
    options.sink = softds::SinkKind::WavFile;
    options.wavPath = argv[2];
    options.outputRate = kRate;
    options.recordPlayed = false;  // keep only the mix, not every buffer's bytes
    options.recordCalls = false;
    softds::Device* device = softds::Device::Create(options);
    if (device == nullptr) return 1;
    RenderTimer timer(device);

    auto* module = static_cast<MusicModule*>(CreateInterface(&IID_MusicModule));
    module->SetDirectSound(device->HostInterface());
    module->SetTimer(&timer);
    module->SetPlayInfo(0, argv[1], 0, static_cast<int>(std::filesystem::file_size(argv[1])));
    MusicPlayer* player = module->GetPlayer(0);
    if (!player->Load(0)) return 1;
    auto* loop = static_cast<MusicLoopControl*>(player->GetInterface(&IID_MusicLoopControl));
    loop->SetLoopCount(loops);
    player->Play();
    // Ten milliseconds at a time: each step signals the notifications it passes and waits
    // until the stream's worker has refilled, so the result is the same on every run.
    while (player->IsPlaying()) {
        if (!device->Advance(kRate / 100)) return 1;
    }
    const uint64_t frames = device->MixedFrames();
    module->Release();
    device->Release();  // completes the WAV file
    // [snippet end]
    std::printf("render_offline: wrote %s, %llu frames (%.2f s)\n", argv[2],
                static_cast<unsigned long long>(frames), double(frames) / kRate);
    return 0;
}
