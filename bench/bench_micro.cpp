// Micro-benchmarks of the hot path:
//  - CWaveFileStream::Gets of 32768-byte requests (a refill's pull) from a file in the page
//    cache, next to memcpy of as many bytes from memory: the ratio is what the reader's
//    block copy, its disk reads and its bookkeeping cost over a bare copy;
//  - ReadModuleSettings over a generated settings file, as bytes per second;
//  - LinearToHundredthsDb, the volume conversion of every fade step;
//  - softds's clock and mixer alone: N looping buffers on the manual clock, no sink and no
//    records, one 10 ms period per iteration (span bookkeeping, the copy under the device
//    lock, conversion, resampling when the rates differ, gain, accumulation, 16-bit output);
//  - one bare thread wake-up cycle, the floor of a refill that wakes a worker.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "base/diagnostics.h"
#include "bench_common.h"
#include "config/module_settings.h"
#include "config/settings_reader.h"
#include "platform/win32.h"
#include "softds/softds.h"
#include "sound/stream_buffer.h"
#include "support/wave_file_stream.h"

namespace {

using namespace sonaflux;

constexpr int32_t kRequest = 32768;          // one segment of the default ring
constexpr uint32_t kMusicFrames = 4u << 20;  // 16 MiB of stereo 16-bit data

void Quiet(ReportKind, const char*, void*) {}

// Scratch files shared by the benchmarks, removed at exit.
struct Files {
    Files() {
        dir = bench::MakeScratchDir("sonaflux-micro");
        wave = dir + "/music.wav";
        bench::WriteToneWave(wave, 44100, 2, kMusicFrames);
        bench::WarmPageCache(wave);
        settings = dir + "/settings.ini";
        std::ofstream out(settings);
        // The six keys and words that are no key (skipped, not counted), repeated to 1 MiB.
        const char* lines[] = {"STREAM_BUFFER_SIZE = 262144\n",
                               "RING_BUFFER_BLOCK_SIZE = 32768\n",
                               "plain words between the keys\n",
                               "NOTIFY_MAX = 16\n",
                               "STREAM_WARNING_MAX = 4\n",
                               "GLOBALFOCUS = false\n",
                               "FADETYPE = 0\n",
                               "UNUSED_WORD another_word\n"};
        size_t bytes = 0;
        for (size_t i = 0; bytes < (1u << 20); ++i) {
            const char* line = lines[i % (sizeof lines / sizeof lines[0])];
            out << line;
            bytes += std::strlen(line);
        }
        out.close();
        settingsBytes = bytes;
        small = dir + "/small.ini";
        std::ofstream s(small);
        for (const char* line : lines) s << line;
        s.close();
        smallBytes = 0;
        for (const char* line : lines) smallBytes += std::strlen(line);
    }
    ~Files() { bench::RemoveTree(dir); }
    std::string dir, wave, settings, small;
    size_t settingsBytes = 0, smallBytes = 0;
};

Files& TheFiles() {
    static Files files;
    return files;
}

void BM_WaveGets(benchmark::State& state) {
    Settings().ResetToDefaults();
    Files& files = TheFiles();
    CWaveFileStream stream;
    if (!stream.Open(files.wave.c_str(), 0, 44 + kMusicFrames * 4)) {
        state.SkipWithError("open failed");
        return;
    }
    stream.m_PassesLeft = 0;  // endless: the file loops under the benchmark
    std::vector<uint8_t> destination(kRequest);
    for (auto _ : state) {
        if (!stream.Gets(destination.data(), kRequest)) {
            state.SkipWithError("Gets failed");
            break;
        }
        benchmark::DoNotOptimize(destination.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kRequest);
}
BENCHMARK(BM_WaveGets);

// The same number of bytes moved by memcpy, from a source of state.range(0) bytes that the
// requests walk through: 262144 is the reader's block (cache-resident, the floor of Gets'
// own copy), 16 MiB the size of the file's data (the copy from memory without a reader).
void BM_MemcpySameBytes(benchmark::State& state) {
    std::vector<uint8_t> image(static_cast<size_t>(state.range(0)));
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 131u + 7u);
    std::vector<uint8_t> destination(kRequest);
    size_t at = 0;
    for (auto _ : state) {
        std::memcpy(destination.data(), image.data() + at, kRequest);
        benchmark::DoNotOptimize(destination.data());
        benchmark::ClobberMemory();
        at += kRequest;
        if (at + kRequest > image.size()) at = 0;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kRequest);
}
BENCHMARK(BM_MemcpySameBytes)->Arg(262144)->Arg(static_cast<int64_t>(kMusicFrames) * 4);

void ReadSettings(benchmark::State& state, const std::string& path, size_t bytes) {
    for (auto _ : state) {
        const bool read = ReadModuleSettings(path.c_str());
        benchmark::DoNotOptimize(read);
        if (!read) {
            state.SkipWithError("the settings file did not read to its end");
            break;
        }
    }
    Settings().ResetToDefaults();
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}
void BM_ReadModuleSettings_1MiB(benchmark::State& state) {
    ReadSettings(state, TheFiles().settings, TheFiles().settingsBytes);
}
BENCHMARK(BM_ReadModuleSettings_1MiB)->Unit(benchmark::kMicrosecond);
void BM_ReadModuleSettings_EightLines(benchmark::State& state) {
    ReadSettings(state, TheFiles().small, TheFiles().smallBytes);
}
BENCHMARK(BM_ReadModuleSettings_EightLines)->Unit(benchmark::kMicrosecond);

void BM_LinearToHundredthsDb(benchmark::State& state) {
    // Levels a fade passes through, squared as by the default curve.
    std::vector<double> levels(4096);
    for (size_t i = 0; i < levels.size(); ++i) {
        const double v = static_cast<double>(i + 1) / static_cast<double>(levels.size());
        levels[i] = v * v;
    }
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(LinearToHundredthsDb(levels[i]));
        i = (i + 1) & (levels.size() - 1);
    }
}
BENCHMARK(BM_LinearToHundredthsDb);

namespace ds = sonaflux::ds;
constexpr uint32_t kSegments = 16, kSegment = 32768;  // the module's default ring

// A manual-clock device that records nothing.
softds::Device* QuietDevice() {
    softds::DeviceOptions options;
    options.recordPlayed = false;
    options.recordCalls = false;
    return softds::Device::Create(options);
}

// `count` buffers of `rate` Hz 16-bit stereo in rings of the default shape.
std::vector<ds::IDirectSoundBuffer*> MakeRings(softds::Device* device, int count, uint32_t rate) {
    ds::WAVEFORMATEX format{};
    format.wFormatTag = ds::WAVE_FORMAT_PCM;
    format.nChannels = 2;
    format.nSamplesPerSec = rate;
    format.nBlockAlign = 4;
    format.nAvgBytesPerSec = rate * 4;
    format.wBitsPerSample = 16;
    std::vector<ds::IDirectSoundBuffer*> buffers;
    for (int i = 0; i < count; ++i) {
        ds::DSBUFFERDESC desc{};
        desc.dwSize = sizeof desc;
        desc.dwFlags = ds::DSBCAPS_CTRLVOLUME | ds::DSBCAPS_CTRLPOSITIONNOTIFY;
        desc.dwBufferBytes = kSegments * kSegment;
        desc.lpwfxFormat = &format;
        ds::IDirectSoundBuffer* b = nullptr;
        device->Interface()->CreateSoundBuffer(&desc, &b, nullptr);
        buffers.push_back(b);
    }
    return buffers;
}

// N buffers of `rate` Hz 16-bit stereo in rings of the module's default shape (16 segments
// of 32768 bytes), playing in a loop. A real stream adds 5.4 notifications a second, each
// one more span: nothing next to 100 periods.
void SoftdsMix(benchmark::State& state, uint32_t rate) {
    const int streams = static_cast<int>(state.range(0));
    softds::Device* device = QuietDevice();
    const std::vector<ds::IDirectSoundBuffer*> buffers = MakeRings(device, streams, rate);
    for (int i = 0; i < streams; ++i) {
        ds::IDirectSoundBuffer* b = buffers[static_cast<size_t>(i)];
        void* p1 = nullptr;
        void* p2 = nullptr;
        uint32_t n1 = 0, n2 = 0;
        b->Lock(0, kSegments * kSegment, &p1, &n1, &p2, &n2, 0);
        for (uint32_t k = 0; k < n1; ++k)
            static_cast<uint8_t*>(p1)[k] = static_cast<uint8_t>(k * 7);
        b->Unlock(p1, n1, p2, n2);
        b->SetVolume(-300 * (i % 4));
        b->Play(0, 0, ds::DSBPLAY_LOOPING);
    }
    constexpr uint32_t kPeriod = 441;
    for (auto _ : state) device->Advance(kPeriod);  // 10 ms of output
    device->Release();
    for (auto* b : buffers) b->Release();
}
void BM_SoftdsMix(benchmark::State& state) {
    SoftdsMix(state, 44100);
}
BENCHMARK(BM_SoftdsMix)->Arg(1)->Arg(8)->Arg(32)->Arg(64);
// The same with the band-limited resampler: 8 buffers at 22050 Hz (upsampled) or 48000 Hz
// (downsampled) into 44100 Hz.
void BM_SoftdsMixResampled(benchmark::State& state) {
    SoftdsMix(state, static_cast<uint32_t>(state.range(1)));
}
BENCHMARK(BM_SoftdsMixResampled)->Args({8, 22050})->Args({8, 48000});

// softds's part of one refill: Lock a 32768-byte segment, write it (from a block in cache,
// as Gets does), Unlock. 64 buffers of the default ring shape, taken in turn with the
// segment half a ring ahead, so that memory is as cold as with 64 playing streams.
void BM_SoftdsRefill(benchmark::State& state) {
    constexpr uint32_t kBuffers = 64;
    softds::Device* device = QuietDevice();
    const std::vector<ds::IDirectSoundBuffer*> buffers = MakeRings(device, kBuffers, 44100);
    std::vector<uint8_t> block(kSegment);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 13);
    uint64_t n = 0;
    for (auto _ : state) {
        ds::IDirectSoundBuffer* b = buffers[n % kBuffers];
        const uint32_t segment = static_cast<uint32_t>(n / kBuffers % kSegments);
        void* p1 = nullptr;
        void* p2 = nullptr;
        uint32_t n1 = 0, n2 = 0;
        b->Lock(segment * kSegment, kSegment, &p1, &n1, &p2, &n2, 0);
        std::memcpy(p1, block.data(), n1);
        b->Unlock(p1, n1, p2, n2);
        ++n;
    }
    device->Release();
    for (auto* b : buffers) b->Release();
}
BENCHMARK(BM_SoftdsRefill);

// The floor of a design that wakes a thread per refill: one bare wake-up cycle, an event
// set on one thread and waited for on another (the platform layer's events, as the
// stream workers wait on them). Each iteration is a round trip, two such cycles; the CPU
// time is the whole process's, both threads.
void BM_WakeCycle(benchmark::State& state) {
    HANDLE ping = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE pong = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::atomic<bool> stop{false};
    std::thread other([&] {
        for (;;) {
            WaitForSingleObject(ping, INFINITE);
            if (stop.load()) break;
            SetEvent(pong);
        }
    });
    for (auto _ : state) {
        SetEvent(ping);
        WaitForSingleObject(pong, INFINITE);
    }
    stop.store(true);
    SetEvent(ping);
    other.join();
    CloseHandle(ping);
    CloseHandle(pong);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 2);
}
BENCHMARK(BM_WakeCycle)->MeasureProcessCPUTime()->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    SetReportHook(&Quiet, nullptr);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    TheFiles();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    SetReportHook(nullptr, nullptr);
    return 0;
}
