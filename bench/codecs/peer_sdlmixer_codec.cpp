// The peer of bench_codec: SDL2_mixer playing the same file (encoded here the same way) as
// looping music on SDL's dummy output at the music's stored rate, in real time. SDL2_mixer
// decodes inside its audio callback; CPU time of the whole process per second of music it
// mixed (counted by a post-mix callback: a dummy output that falls behind on a busy
// machine mixes fewer seconds than the wall clock shows).
//
// Usage: peer_sdlmixer_codec --codec vorbis|opus|flac|oggflac [--seconds 10]
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
#include "codec_music.h"

namespace {

std::atomic<uint64_t> g_MixedBytes{0};

void CountMixed(void*, Uint8*, int bytes) {
    g_MixedBytes += static_cast<uint64_t>(bytes);
}

}  // namespace

int main(int argc, char** argv) {
    using namespace sonaflux::bench;
    setenv("SDL_AUDIODRIVER", "dummy", 0);
    auto args = ParseArgs(argc, argv);
    const double seconds = args.count("seconds") ? std::atof(args["seconds"].c_str()) : 10.0;
    const std::string codec = args.count("codec") ? args["codec"] : std::string("vorbis");
    CodecMusic music;
    if (!MakeCodecMusic(codec, music)) {
        std::fprintf(stderr, "peer_sdlmixer_codec: unknown codec %s\n", codec.c_str());
        return 2;
    }
    const std::string dir = MakeScratchDir("sonaflux-peer-codec");
    const std::string path = dir + "/music." + music.extension;
    if (dir.empty() || !WriteBytes(path, music.file)) return 2;
    const int flag = codec == "opus"     ? MIX_INIT_OPUS
                     : codec == "vorbis" ? MIX_INIT_OGG
                                         : MIX_INIT_FLAC;
    if (SDL_Init(SDL_INIT_AUDIO) != 0 || (Mix_Init(flag) & flag) == 0 ||
        Mix_OpenAudio(static_cast<int>(music.rate), AUDIO_S16SYS, 2, 1024) != 0) {
        std::fprintf(stderr, "SDL2_mixer: %s\n", Mix_GetError());
        return 2;
    }
    Mix_Music* tune = Mix_LoadMUS(path.c_str());
    if (tune == nullptr) std::fprintf(stderr, "SDL2_mixer: %s\n", Mix_GetError());
    Mix_SetPostMix(&CountMixed, nullptr);
    bool ok = tune != nullptr && Mix_PlayMusic(tune, -1) == 0;
    const uint64_t cpu0 = ProcessCpuMicros();
    const uint64_t mixed0 = g_MixedBytes;
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const uint64_t cpu1 = ProcessCpuMicros();
    const uint64_t mixed1 = g_MixedBytes;
    const double played = static_cast<double>(mixed1 - mixed0) / 4.0 / music.rate;
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ok = ok && Mix_PlayingMusic() == 1 && played > 0;
    if (tune) Mix_FreeMusic(tune);
    Mix_CloseAudio();
    Mix_Quit();
    SDL_Quit();
    RemoveTree(dir);
    PrintResult(
        {{"impl", "sdlmixer-codec"},
         {"codec", codec},
         {"streams", "1"},
         {"seconds", Fixed(wall, 2)},
         {"played_s", Fixed(played, 2)},
         {"us_per_stream_s", Fixed(played > 0 ? static_cast<double>(cpu1 - cpu0) / played : 0, 1)},
         {"ok", ok ? "1" : "0"}});
    return ok ? 0 : 1;
}
