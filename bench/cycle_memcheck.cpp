// A load-play-unload cycle, repeated, for valgrind memcheck: each cycle loads a player,
// plays on softds's manual clock past several refills, starts a fade, seeks, unloads, and
// every few cycles releases the whole module. Exits non-zero when any step fails, so a
// run under valgrind checks both the behaviour and the memory.
//
// Usage: cycle_memcheck [--cycles 200]
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/diagnostics.h"
#include "bench_common.h"
#include "softds/softds.h"
#include "sonaflux/sonaflux.h"

namespace {

using namespace sonaflux;

class ManualTimer final : public ITimer {
public:
    int32_t Acquire() override { return 1; }
    uint32_t GetTime() override { return now; }
    uint32_t now = 1000;
};

int g_boxes = 0;
void CountBoxes(ReportKind kind, const char* text, void*) {
    if (kind == ReportKind::Box) {
        ++g_boxes;
        std::fprintf(stderr, "box: %s\n", text);
    }
}

template <typename T>
T* Part(MusicPlayer* p, const GUID& iid) {
    return static_cast<T*>(p->GetInterface(&iid));
}

}  // namespace

int main(int argc, char** argv) {
    auto args = bench::ParseArgs(argc, argv);
    const int cycles = args.count("cycles") ? std::atoi(args["cycles"].c_str()) : 200;
    constexpr uint32_t kRate = 8000;
    constexpr uint32_t kFrames = 6000;

    const std::string dir = bench::MakeScratchDir("sonaflux-cycle");
    const std::string music = dir + "/music.wav";
    if (dir.empty() || !bench::WriteToneWave(music, kRate, 2, kFrames)) return 2;
    SetReportHook(&CountBoxes, nullptr);

    softds::DeviceOptions options;
    options.outputRate = kRate;
    options.recordPlayed = false;
    options.recordCalls = false;
    options.settleTimeoutMs = 30000;  // valgrind runs the workers slowly
    softds::Device* device = softds::Device::Create(options);
    ManualTimer timer;
    int failures = 0;
    const auto check = [&failures](bool ok, const char* what, int cycle) {
        if (!ok) {
            ++failures;
            std::fprintf(stderr, "cycle %d: %s failed\n", cycle, what);
        }
    };

    for (int cycle = 0; cycle < cycles; ++cycle) {
        auto* module = static_cast<MusicModule*>(CreateInterface(&IID_MusicModule));
        module->SetDirectSound(device->HostInterface());
        module->SetTimer(&timer);
        module->SetPlayInfo(3, music.c_str(), 0, static_cast<int>(44 + kFrames * 4));
        MusicPlayer* p = module->GetPlayer(cycle % 12);
        Part<MusicLoopControl>(p, IID_MusicLoopControl)->SetLoopCount(cycle % 3);
        check(p->Load(3), "Load", cycle);
        check(p->Play(), "Play", cycle);
        check(device->Advance(kFrames / 2), "Advance", cycle);
        // Two seconds: a fade steps every duration/1000 ms, and one shorter than a second
        // would poll without sleeping, which valgrind's one-thread-at-a-time scheduling
        // turns into minutes per cycle.
        check(Part<MusicFadeControl>(p, IID_MusicFadeControl)->Fade(2000, 40, cycle % 2 == 0),
              "Fade", cycle);
        timer.now += 1000;
        check(device->Advance(kFrames / 4), "Advance", cycle);
        check(p->Stop(), "Stop", cycle);
        check(Part<MusicSeekControl>(p, IID_MusicSeekControl)->Seek(100), "Seek", cycle);
        check(p->Unload(), "Unload", cycle);
        if (cycle % 5 == 4) module->Release();
    }
    static_cast<MusicModule*>(CreateInterface(&IID_MusicModule))->Release();
    for (size_t i = 0; i < device->BufferCount(); ++i) {
        check(device->Buffer(i)->Released(), "buffer release", static_cast<int>(i));
    }
    const size_t buffers = device->BufferCount();
    device->Release();
    SetReportHook(nullptr, nullptr);
    bench::RemoveTree(dir);
    std::printf("cycles=%d buffers=%zu failures=%d boxes=%d\n", cycles, buffers, failures, g_boxes);
    return failures == 0 && g_boxes == 0 && buffers == static_cast<size_t>(cycles) ? 0 : 1;
}
