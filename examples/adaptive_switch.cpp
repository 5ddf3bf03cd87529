// Adaptive music: a calm loop plays until the game says a fight began, then the battle
// loop takes over on the next bar line of what is heard. The host computes the grid from
// the tempo; the module joins the pieces exactly there, in the ring. Both pieces are made
// in code and written to a temporary folder; softds's manual clock plays them as fast as
// the machine allows (into OUT.wav when given).
//
// Usage: adaptive_switch [OUT.wav]
#include <cstdio>
#include <filesystem>
#include <string>

#include "example_tunes.h"
#include "softds/softds.h"
#include "sonaflux/sonaflux.h"

namespace {

constexpr int kCalm = 0, kBattle = 1;  // music numbers
constexpr double kTempo = 120;         // beats a minute, four to the bar
constexpr double kFightAt = 1.3;       // seconds into the music: the fight begins
constexpr double kEndAt = 4.0;

// Plays the clock on in steps of ten milliseconds up to `until` seconds; answers when the
// battle was first heard (or `heard` as it was).
double PlayUntil(softds::Device* device, MusicSequence* sequence, double until, double heard) {
    while (device->Frames() < until * example::kRate) {
        if (!device->Advance(example::kRate / 100)) return -1;
        const double now = double(device->Frames()) / example::kRate;
        MusicEvent e;
        while (sequence->PollEvent(&e)) {
            std::printf("%6.2f s: %s, music %d, frame %u\n", now, example::EventName(e.kind),
                        e.musicNumber, e.frame);
            if (e.kind == MusicEvent::kPieceStart && e.musicNumber == kBattle) heard = now;
        }
    }
    return heard;
}

}  // namespace

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    const fs::path dir = example::TempFolder("adaptive-switch");
    const std::string calm = (dir / "calm.wav").string(), battle = (dir / "battle.wav").string();
    const uint32_t beat = static_cast<uint32_t>(example::kRate * 60 / kTempo);
    if (!example::WriteTune(calm, 4, beat, {262.0, 330.0, 392.0, 330.0}, 0.3) ||
        !example::WriteTune(battle, 8, beat / 2, {220.0, 220.0, 262.0, 247.0}, 0.6)) {
        return 1;
    }
    softds::Device* device = example::ManualDevice(argc > 1 ? argv[1] : nullptr);
    if (device == nullptr) return 1;
    auto* module = static_cast<MusicModule*>(CreateInterface(&IID_MusicModule));
    module->SetDirectSound(device->HostInterface());
    module->SetPlayInfo(kCalm, calm.c_str(), 0, static_cast<int>(fs::file_size(calm)));
    module->SetPlayInfo(kBattle, battle.c_str(), 0, static_cast<int>(fs::file_size(battle)));
    MusicPlayer* player = module->GetPlayer(0);
    auto* sequence = static_cast<MusicSequence*>(player->GetInterface(&IID_MusicSequence));
    auto* loops = static_cast<MusicLoopControl*>(player->GetInterface(&IID_MusicLoopControl));
    if (!player->Load(kCalm)) return 1;
    loops->SetLoopCount(0);  // calm, endlessly
    player->Play();
    double heard = PlayUntil(device, sequence, kFightAt, -1);

    // [snippet switch]
    // The fight begins: the battle music (endless, from its frame 0) on the next bar line
    // of the calm piece heard, crossfaded over a beat. A bar is four beats of the tempo, the
    // grid starts at frame 0.
    const int bar = static_cast<int>(4 * 60 / kTempo * example::kRate);
    const int beatMs = static_cast<int>(60 * 1000 / kTempo);
    if (!sequence->SwitchTo(kBattle, 0, 0, MusicSequence::kSwitchOnGrid, 0, bar, beatMs)) return 1;
    // [snippet end]
    heard = PlayUntil(device, sequence, kEndAt, heard);
    module->Release();
    device->Release();
    std::error_code ignored;
    fs::remove_all(dir, ignored);
    // Asked at 1.3 s, inside the first bar: the battle begins at the second, 2.0 s.
    const bool ok = heard >= 2.0 && heard < 2.02;
    std::printf("adaptive_switch: the battle was heard from %.2f s%s\n", heard,
                ok ? ", on the bar line" : " (not on the bar line)");
    return ok ? 0 : 1;
}
