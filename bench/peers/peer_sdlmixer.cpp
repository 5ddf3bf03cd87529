// The streaming workload of bench_streams on SDL2_mixer: one looping music stream from
// the same WAVE file (SDL2_mixer plays one music at a time), on SDL's dummy output
// (SDL_AUDIODRIVER=dummy). The music is read from disk and mixed inside the audio
// callback, so there is no refill to be late and no buffer that can run dry: lateness
// and underruns are not measured here.
//
// Usage: peer_sdlmixer [--seconds 10] [--chunk 1024]
#include <SDL.h>
#include <SDL_mixer.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench_common.h"

namespace {

using namespace sonaflux::bench;

constexpr uint32_t kRate = 44100;
constexpr uint32_t kMusicFrames = kRate * 4;

std::atomic<uint64_t> g_mixedBytes{0};
void CountMixed(void*, Uint8*, int bytes) {
    g_mixedBytes.fetch_add(static_cast<uint64_t>(bytes));
}

}  // namespace

int main(int argc, char** argv) {
    setenv("SDL_AUDIODRIVER", "dummy", 0);
    auto args = ParseArgs(argc, argv);
    const double seconds = args.count("seconds") ? std::atof(args["seconds"].c_str()) : 10.0;
    const int chunk = args.count("chunk") ? std::atoi(args["chunk"].c_str()) : 1024;

    const std::string dir = MakeScratchDir("sonaflux-peer-sdlmixer");
    const std::string music = dir + "/music.wav";
    if (dir.empty() || !WriteToneWave(music, kRate, 2, kMusicFrames)) return 2;
    WarmPageCache(music);

    const std::vector<pid_t> before = ThreadIds();
    if (SDL_Init(SDL_INIT_AUDIO) != 0) {
        std::fprintf(stderr, "SDL_Init: %s\n", SDL_GetError());
        return 2;
    }
    if (Mix_OpenAudio(kRate, AUDIO_S16SYS, 2, chunk) != 0) {
        std::fprintf(stderr, "Mix_OpenAudio: %s\n", Mix_GetError());
        return 2;
    }
    Mix_Music* tune = Mix_LoadMUS(music.c_str());
    if (tune == nullptr) {
        std::fprintf(stderr, "Mix_LoadMUS: %s\n", Mix_GetError());
        return 2;
    }
    Mix_SetPostMix(&CountMixed, nullptr);
    bool ok = Mix_PlayMusic(tune, -1) == 0;
    std::vector<pid_t> audioThreads;
    for (pid_t t : ThreadIds()) {
        bool known = false;
        for (pid_t b : before) known |= b == t;
        if (!known) audioThreads.push_back(t);
    }

    const uint64_t process0 = ProcessCpuMicros();
    const uint64_t audio0 = ThreadsCpuNanos(audioThreads);
    const uint64_t bytes0 = g_mixedBytes.load();
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const uint64_t process1 = ProcessCpuMicros();
    const uint64_t audio1 = ThreadsCpuNanos(audioThreads);
    const uint64_t bytes1 = g_mixedBytes.load();
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ok = ok && Mix_PlayingMusic() == 1;

    Mix_HaltMusic();
    Mix_FreeMusic(tune);
    Mix_CloseAudio();
    SDL_Quit();
    RemoveTree(dir);

    PrintResult(
        {{"impl", "sdlmixer"},
         {"streams", "1"},
         {"seconds", Fixed(wall, 2)},
         {"process_us_per_stream_s", Fixed(static_cast<double>(process1 - process0) / wall, 1)},
         {"audio_us_per_stream_s", Fixed(static_cast<double>(audio1 - audio0) / 1000.0 / wall, 1)},
         {"frames", std::to_string((bytes1 - bytes0) / 4)},
         {"ok", ok ? "1" : "0"}});
    return ok ? 0 : 1;
}
