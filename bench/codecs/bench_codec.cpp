// Decode cost of one codec: N streams of the same looping file (Ogg Vorbis, Ogg Opus, FLAC
// or FLAC in Ogg) played through the module on softds's manual clock, against the same
// music as a PCM WAVE file. CPU time of the whole process per stream-second of music; the
// difference is what decoding costs. Also the first fill at Load (decoded on the host's
// thread), per stream, for the codec and for the WAVE file. The device runs at the
// music's stored rate (48 kHz for Opus), so that no resampling enters either figure.
//
// Each figure is the median of --repeat runs (default 5).
//
// Usage: bench_codec --codec vorbis|opus|flac|oggflac [--streams 1,8,32] [--seconds 10]
//                    [--repeat 5]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench_common.h"
#include "codec_music.h"
#include "config/module_settings.h"
#include "softds/softds.h"
#include "sound/sound_stream.h"

namespace {

using namespace sonaflux;
using namespace sonaflux::bench;
using Clock = std::chrono::steady_clock;

struct Run {
    double cpuPerStreamSecond = 0;  // microseconds
    double loadMsPerStream = 0;
    uint64_t underruns = 0;
    bool ok = false;
};

Run Measure(const std::string& path, uint32_t size, uint32_t rate, int streams, double seconds) {
    Run r;
    softds::DeviceOptions options;
    options.outputRate = rate;
    options.recordPlayed = false;
    options.recordCalls = false;
    softds::Device* device = softds::Device::Create(options);
    if (device == nullptr) return r;
    std::vector<std::unique_ptr<SoundStream>> all;
    const auto load0 = Clock::now();
    bool ok = true;
    for (int i = 0; i < streams; ++i) {
        all.push_back(std::make_unique<SoundStream>());
        ok = ok && all.back()->Load(device->Interface(), path.c_str(), 0, size);
    }
    r.loadMsPerStream =
        std::chrono::duration<double, std::milli>(Clock::now() - load0).count() / streams;
    for (auto& s : all) ok = ok && s->Play(0);
    const uint64_t cpu0 = ProcessCpuMicros();
    const auto frames = static_cast<uint64_t>(seconds * rate);
    for (uint64_t done = 0; ok && done < frames; done += rate / 100) {
        ok = device->Advance(rate / 100);
    }
    const uint64_t cpu1 = ProcessCpuMicros();
    for (uint32_t i = 0; i < device->BufferCount(); ++i)
        r.underruns += device->Buffer(i)->Underruns();
    all.clear();
    device->Release();
    r.cpuPerStreamSecond = static_cast<double>(cpu1 - cpu0) / (streams * seconds);
    r.ok = ok;
    return r;
}

// The median of `repeats` runs, CPU and load time each on their own: on the manual clock
// a run at N = 1 takes a few milliseconds of CPU, and one preemption on a busy machine
// would otherwise decide the figure. Underruns are summed; ok only if every run was.
Run MeasureMedian(const std::string& path, uint32_t size, uint32_t rate, int streams,
                  double seconds, int repeats) {
    std::vector<double> cpu, load;
    Run all;
    all.ok = true;
    for (int i = 0; i < repeats; ++i) {
        const Run r = Measure(path, size, rate, streams, seconds);
        cpu.push_back(r.cpuPerStreamSecond);
        load.push_back(r.loadMsPerStream);
        all.underruns += r.underruns;
        all.ok = all.ok && r.ok;
    }
    all.cpuPerStreamSecond = Percentile(cpu, 0.5);
    all.loadMsPerStream = Percentile(load, 0.5);
    return all;
}

}  // namespace

int main(int argc, char** argv) {
    auto args = ParseArgs(argc, argv);
    const double seconds = args.count("seconds") ? std::atof(args["seconds"].c_str()) : 10.0;
    const std::vector<int> counts =
        ParseIntList(args.count("streams") ? args["streams"] : std::string("1,8,32"));
    const int repeats = std::max(1, args.count("repeat") ? std::atoi(args["repeat"].c_str()) : 5);
    const std::string codec = args.count("codec") ? args["codec"] : std::string("vorbis");
    CodecMusic music;
    if (!MakeCodecMusic(codec, music)) {
        std::fprintf(stderr, "bench_codec: unknown codec %s\n", codec.c_str());
        return 2;
    }
    const std::string dir = MakeScratchDir("sonaflux-bench-codec");
    if (dir.empty()) return 2;
    const std::string codedPath = dir + "/music." + music.extension;
    const std::string wavePath = dir + "/music.wav";
    if (!WriteBytes(codedPath, music.file) || !WriteBytes(wavePath, music.wave)) return 2;
    WarmPageCache(codedPath);
    WarmPageCache(wavePath);
    Settings().ResetToDefaults();

    // One untimed load and play of each file first: the first Load of a process also pays
    // for the libraries' one-time set-up and the code's first page faults.
    Measure(codedPath, static_cast<uint32_t>(music.file.size()), music.rate, 1, 0.1);
    Measure(wavePath, static_cast<uint32_t>(music.wave.size()), music.rate, 1, 0.1);
    bool allOk = true;
    for (int n : counts) {
        const Run c = MeasureMedian(codedPath, static_cast<uint32_t>(music.file.size()), music.rate,
                                    n, seconds, repeats);
        const Run p = MeasureMedian(wavePath, static_cast<uint32_t>(music.wave.size()), music.rate,
                                    n, seconds, repeats);
        allOk = allOk && c.ok && p.ok;
        PrintResult(
            {{"impl", "sonaflux-codec"},
             {"codec", codec},
             {"rate", std::to_string(music.rate)},
             {"streams", std::to_string(n)},
             {"seconds", Fixed(seconds, 1)},
             {"codec_us_per_stream_s", Fixed(c.cpuPerStreamSecond, 1)},
             {"pcm_us_per_stream_s", Fixed(p.cpuPerStreamSecond, 1)},
             {"decode_us_per_stream_s", Fixed(c.cpuPerStreamSecond - p.cpuPerStreamSecond, 1)},
             {"load_ms_codec", Fixed(c.loadMsPerStream, 2)},
             {"load_ms_pcm", Fixed(p.loadMsPerStream, 2)},
             {"underruns", std::to_string(c.underruns + p.underruns)},
             {"ok", c.ok && p.ok ? "1" : "0"}});
    }
    RemoveTree(dir);
    return allOk ? 0 : 1;
}
