// A Windows host, complete: loads Sonaflux.dll at run time, hands it the system's
// DirectSound with a window-less cooperative level, registers a music entry stored inside
// an archive, plays it with loop points, fades it out and unloads everything.
//
// Usage: play_windows MUSIC.wav [SECONDS]   (the WAVE file is packed into bgm.pak first)
#include <windows.h>
#include <dsound.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#include "sonaflux/sonaflux.h"

namespace {

// The engine's millisecond clock. The module calls GetTime from its fade threads, so it
// must be thread-safe and must not block: GetTickCount is both.
class Timer final : public ITimer {
public:
    int32_t Acquire() override { return 1; }
    uint32_t GetTime() override { return GetTickCount(); }
};

// Writes bgm.pak: a 4096-byte header, then the WAVE file. Answers the image's size, 0 on
// failure. Games keep their music in archives like this; the module reads the byte range.
int PackArchive(const char* wavePath) {
    std::ifstream in(wavePath, std::ios::binary);
    const std::vector<char> image((std::istreambuf_iterator<char>(in)), {});
    std::ofstream out("bgm.pak", std::ios::binary);
    out << std::string(4096, '\0');
    out.write(image.data(), static_cast<std::streamsize>(image.size()));
    return in && out ? static_cast<int>(image.size()) : 0;
}

}  // namespace

int main(int argc, char** argv) {
    const int size = PackArchive(argc > 1 ? argv[1] : "music.wav");
    const DWORD playMs = static_cast<DWORD>(argc > 2 ? std::atof(argv[2]) * 1000 : 4000);
    if (size == 0) {
        std::fprintf(stderr, "play_windows: cannot read the music file\n");
        return 1;
    }
    // [snippet windows]
    static Timer timer;
    HMODULE dll = LoadLibraryA("Sonaflux.dll");
    if (dll == nullptr) return 1;
    auto create = reinterpret_cast<CreateInterfaceFunction>(
        reinterpret_cast<void*>(GetProcAddress(dll, "CreateInterface")));
    auto* module = static_cast<MusicModule*>(create(&IID_MusicModule));

    IDirectSound* ds = nullptr;
    if (FAILED(DirectSoundCreate(nullptr, &ds, nullptr))) return 1;
    ds->SetCooperativeLevel(GetDesktopWindow(), DSSCL_PRIORITY);  // no window of our own
    module->SetDirectSound(ds);
    module->SetTimer(&timer);
    module->SetPlayInfo(0, "bgm.pak", 4096, size);  // music 0: the WAVE image inside bgm.pak

    MusicPlayer* player = module->GetPlayer(0);
    if (!player->Load(0)) return 1;
    auto* loop = static_cast<MusicLoopControl*>(player->GetInterface(&IID_MusicLoopControl));
    auto* points = static_cast<MusicLoopPoints*>(player->GetInterface(&IID_MusicLoopPoints));
    auto* fade = static_cast<MusicFadeControl*>(player->GetInterface(&IID_MusicFadeControl));
    loop->SetLoopCount(0);        // endless
    points->SetLoopStart(88200);  // later passes start again at 2 s (44.1 kHz)
    player->Play();
    Sleep(playMs);
    fade->Fade(1000, 0, true);  // fade out over a second, then stop
    while (player->IsPlaying()) Sleep(20);

    module->Release();  // unloads every player; every pointer the module gave is now invalid
    FreeLibrary(dll);
    ds->Release();
    // [snippet end]
    std::printf("play_windows: played %lu ms, faded out and unloaded\n", playMs);
    return 0;
}
