// Decode cost of Ogg Vorbis streams: N streams of the same looping Ogg file played through
// the module on softds's manual clock, against the same music as a PCM WAVE file. CPU time
// of the whole process per stream-second of music; the difference is what decoding costs.
// Also the first fill at Load (decoded on the host's thread), per stream.
//
// Usage: bench_vorbis [--streams 1,8,32] [--seconds 10]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench_common.h"
#include "config/module_settings.h"
#include "softds/softds.h"
#include "sound/sound_stream.h"
#include "support/wave_image.h"

namespace {

using namespace sonaflux;
using namespace sonaflux::bench;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kRate = 44100;
constexpr uint32_t kFrames = kRate * 8;

bool Write(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

struct Run {
    double cpuPerStreamSecond = 0;  // microseconds
    double loadMsPerStream = 0;
    uint64_t underruns = 0;
    bool ok = false;
};

Run Measure(const std::string& path, uint32_t size, int streams, double seconds) {
    Run r;
    softds::DeviceOptions options;
    options.outputRate = kRate;
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
    const auto frames = static_cast<uint64_t>(seconds * kRate);
    for (uint64_t done = 0; ok && done < frames; done += 441) ok = device->Advance(441);
    const uint64_t cpu1 = ProcessCpuMicros();
    for (uint32_t i = 0; i < device->BufferCount(); ++i)
        r.underruns += device->Buffer(i)->Underruns();
    all.clear();
    device->Release();
    r.cpuPerStreamSecond = static_cast<double>(cpu1 - cpu0) / (streams * seconds);
    r.ok = ok;
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    auto args = ParseArgs(argc, argv);
    const double seconds = args.count("seconds") ? std::atof(args["seconds"].c_str()) : 10.0;
    const std::vector<int> counts =
        ParseIntList(args.count("streams") ? args["streams"] : std::string("1,8,32"));
    const std::string dir = MakeScratchDir("sonaflux-bench-vorbis");
    if (dir.empty()) return 2;
    const std::vector<uint8_t> ogg = test::EncodeOggVorbis(2, kRate, kFrames);
    const std::vector<uint8_t> wave = test::MakeWave(2, kRate, 16, test::DecodeOggVorbis(ogg));
    const std::string oggPath = dir + "/music.ogg", wavePath = dir + "/music.wav";
    if (!Write(oggPath, ogg) || !Write(wavePath, wave)) return 2;
    WarmPageCache(oggPath);
    WarmPageCache(wavePath);
    Settings().ResetToDefaults();

    bool allOk = true;
    for (int n : counts) {
        const Run v = Measure(oggPath, static_cast<uint32_t>(ogg.size()), n, seconds);
        const Run p = Measure(wavePath, static_cast<uint32_t>(wave.size()), n, seconds);
        allOk = allOk && v.ok && p.ok;
        PrintResult(
            {{"impl", "sonaflux-vorbis"},
             {"streams", std::to_string(n)},
             {"seconds", Fixed(seconds, 1)},
             {"vorbis_us_per_stream_s", Fixed(v.cpuPerStreamSecond, 1)},
             {"pcm_us_per_stream_s", Fixed(p.cpuPerStreamSecond, 1)},
             {"decode_us_per_stream_s", Fixed(v.cpuPerStreamSecond - p.cpuPerStreamSecond, 1)},
             {"load_ms_vorbis", Fixed(v.loadMsPerStream, 2)},
             {"load_ms_pcm", Fixed(p.loadMsPerStream, 2)},
             {"underruns", std::to_string(v.underruns + p.underruns)},
             {"ok", v.ok && p.ok ? "1" : "0"}});
    }
    RemoveTree(dir);
    return allOk ? 0 : 1;
}
