// An intro, then a loop, joined in the ring without a gap: the host queues the loop behind
// the intro once and never looks at the seam. Both pieces are made in code and written to
// a temporary folder. softds's manual clock plays them as fast as the machine allows (into
// OUT.wav when given), and every event is printed at the moment it is heard.
//
// Usage: intro_and_loop [SECONDS] [OUT.wav]
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "example_tunes.h"
#include "softds/softds.h"
#include "sonaflux/sonaflux.h"

namespace {

constexpr int kIntro = 0, kLoop = 1;            // music numbers
constexpr uint32_t kBeat = example::kRate / 2;  // 120 beats a minute

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 6.5;
    namespace fs = std::filesystem;
    const fs::path dir = example::TempFolder("intro-and-loop");
    const std::string intro = (dir / "intro.wav").string(), loop = (dir / "loop.wav").string();
    // One bar of two beats rising, then a bar of four that loops.
    if (!example::WriteTune(intro, 2, kBeat, {392.0, 494.0}, 0.5) ||
        !example::WriteTune(loop, 4, kBeat, {262.0, 330.0, 392.0, 330.0}, 0.5)) {
        return 1;
    }
    softds::Device* device = example::ManualDevice(argc > 2 ? argv[2] : nullptr);
    if (device == nullptr) return 1;
    auto* module = static_cast<MusicModule*>(CreateInterface(&IID_MusicModule));
    module->SetDirectSound(device->HostInterface());
    module->SetPlayInfo(kIntro, intro.c_str(), 0, static_cast<int>(fs::file_size(intro)));
    module->SetPlayInfo(kLoop, loop.c_str(), 0, static_cast<int>(fs::file_size(loop)));

    // [snippet intro-loop]
    MusicPlayer* player = module->GetPlayer(0);
    auto* sequence = static_cast<MusicSequence*>(player->GetInterface(&IID_MusicSequence));
    auto* loops = static_cast<MusicLoopControl*>(player->GetInterface(&IID_MusicLoopControl));
    if (!player->Load(kIntro)) return 1;
    loops->SetLoopCount(1);                            // the intro once
    if (!sequence->QueuePiece(kLoop, 0, 0)) return 1;  // then the loop, endlessly
    player->Play();

    double startedAt = -1;
    int wraps = 0;
    while (device->Frames() < seconds * example::kRate) {
        if (!device->Advance(example::kRate / 100)) return 1;  // ten milliseconds
        const double now = double(device->Frames()) / example::kRate;
        MusicEvent e;
        while (sequence->PollEvent(&e)) {  // each event once it was heard, in order
            std::printf("%6.2f s: %s, music %d, frame %u\n", now, example::EventName(e.kind),
                        e.musicNumber, e.frame);
            if (e.kind == MusicEvent::kPieceStart && e.musicNumber == kLoop) startedAt = now;
            if (e.kind == MusicEvent::kLoopWrap && e.musicNumber == kLoop) ++wraps;
        }
    }
    // [snippet end]
    module->Release();
    device->Release();
    std::error_code ignored;
    fs::remove_all(dir, ignored);
    // The loop follows the one-second intro at once and wraps every two seconds.
    const int wrapsDue = seconds > 1 ? static_cast<int>((seconds - 1) / 2) : 0;
    const bool ok = startedAt >= 1.0 && startedAt < 1.02 && wraps == wrapsDue;
    std::printf("intro_and_loop: the loop was heard from %.2f s and wrapped %d times%s\n",
                startedAt, wraps, ok ? "" : " (not as it should)");
    return ok ? 0 : 1;
}
