// Switch benchmark on softds's real-time clock (no sink: its clock thread renders each
// period), through the module's public interfaces.
//
// Latency of "now": one looping stream of a tone; each try calls SwitchTo(now) for a piece
// whose every frame is (32767, -32768), which the tone never reaches, and finds that frame
// in the bytes the device played: the latency is the frames played from the call to the
// first switched frame. Then the stream switches back to the tone, and the next try waits
// a little so that the calls fall at every phase of the ring.
//
// CPU per stream-second during crossfades: N looping streams, measured over a window of
// plain streaming, an equal window in which every stream switches "now" (a cut, which
// writes the ring ahead again) every crossfade length, and one in which each of those
// switches crossfades: the streams crossfade all the time. The last less the middle one
// is what the mixing costs.
//
// Usage: bench_switch [--tries 100] [--streams 8] [--seconds 5] [--crossfade-ms 500]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_common.h"
#include "steady_timer.h"
#include "softds/softds.h"
#include "sonaflux/sonaflux.h"

namespace {

using namespace sonaflux;
using namespace sonaflux::bench;

constexpr uint32_t kRate = 44100;
constexpr uint32_t kToneFrames = kRate * 4;
constexpr uint32_t kMarkFrames = kRate * 4;

struct Session {
    softds::Device* device = nullptr;
    MusicModule* module = nullptr;
    SteadyTimer timer;
};

bool Open(Session& s, bool recordPlayed) {
    softds::DeviceOptions options;
    options.clock = softds::ClockKind::RealTime;
    options.sink = softds::SinkKind::None;
    options.outputRate = kRate;
    options.periodFrames = 44;  // 1 ms: the latency is resolved to a millisecond
    options.recordPlayed = recordPlayed;
    s.device = softds::Device::Create(options);
    if (s.device == nullptr) return false;
    s.module = static_cast<MusicModule*>(CreateInterface(&IID_MusicModule));
    s.module->SetDirectSound(s.device->HostInterface());
    s.module->SetTimer(&s.timer);
    s.module->SetPlayInfo(0, "tone.wav", 0, static_cast<int>(44 + kToneFrames * 4));
    s.module->SetPlayInfo(1, "mark.wav", 0, static_cast<int>(44 + kMarkFrames * 4));
    return true;
}

void Close(Session& s) {
    s.module->Release();
    s.module->SetDirectSound(nullptr);
    s.module->SetTimer(nullptr);
    s.device->Release();
}

MusicPlayer* StartLooping(MusicModule* module, int index) {
    MusicPlayer* p = module->GetPlayer(index);
    static_cast<MusicLoopControl*>(p->GetInterface(&IID_MusicLoopControl))->SetLoopCount(0);
    return p->Load(0) && p->Play() ? p : nullptr;
}

MusicSequence* SequenceOf(MusicPlayer* p) {
    return static_cast<MusicSequence*>(p->GetInterface(&IID_MusicSequence));
}

// The first frame at or after `from` that is the marked piece's, or -1.
int64_t FindMark(const std::vector<uint8_t>& played, size_t from) {
    for (size_t at = from * 4; at + 4 <= played.size(); at += 4) {
        if (played[at] == 0xFF && played[at + 1] == 0x7F && played[at + 2] == 0x00 &&
            played[at + 3] == 0x80)
            return static_cast<int64_t>(at / 4);
    }
    return -1;
}

// Milliseconds from each "now" call to the first switched frame heard; false on a failure.
bool MeasureNow(int tries, std::vector<double>& latencies, std::vector<double>& callUs) {
    Session s;
    if (!Open(s, true)) return false;
    MusicPlayer* p = StartLooping(s.module, 0);
    bool ok = p != nullptr;
    auto record = s.device->Buffer(0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (int i = 0; ok && i < tries; ++i) {
        record = s.device->Buffer(s.device->BufferCount() - 1);
        record->ClearPlayed();
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + (i * 37) % 60));
        const size_t before = record->Played().size() / 4;
        const auto t0 = std::chrono::steady_clock::now();
        ok = SequenceOf(p)->SwitchTo(1, 0, 0, MusicSequence::kSwitchNow, 0, 0, 0);
        const auto t1 = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        const int64_t heard = FindMark(record->Played(), before);
        if (heard < 0) ok = false;
        latencies.push_back(static_cast<double>(heard - static_cast<int64_t>(before)) * 1000.0 /
                            kRate);
        callUs.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        ok = ok && SequenceOf(p)->SwitchTo(0, 0, 0, MusicSequence::kSwitchNow, 0, 0, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
    ok = ok && record->Underruns() == 0;
    Close(s);
    return ok;
}

// Process CPU per stream-second over `seconds` of N streams: playing plainly (every 0),
// or switching "now" every `every` ms with a crossfade of `crossfadeMs` (0: cuts).
double CpuWindow(Session& s, const std::vector<MusicPlayer*>& players, double seconds, int every,
                 int crossfadeMs, bool& ok) {
    const uint64_t cpu0 = ProcessCpuMicros();
    const uint64_t frames0 = s.device->Frames();
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    int next = 1;
    while (std::chrono::steady_clock::now() < end) {
        if (every > 0) {
            for (MusicPlayer* p : players) {
                ok = ok && SequenceOf(p)->SwitchTo(next, 0, 0, MusicSequence::kSwitchNow, 0, 0,
                                                   crossfadeMs);
            }
            next = 1 - next;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(every > 0 ? every : 100));
    }
    const double streamSeconds = static_cast<double>(players.size()) *
                                 static_cast<double>(s.device->Frames() - frames0) / kRate;
    return static_cast<double>(ProcessCpuMicros() - cpu0) / streamSeconds;
}

struct CpuFigures {
    double plain = 0, cuts = 0, crossfades = 0;
};

bool MeasureCpu(int streams, double seconds, int crossfadeMs, CpuFigures& out) {
    Session s;
    if (!Open(s, false)) return false;
    std::vector<MusicPlayer*> players;
    bool ok = true;
    for (int i = 0; i < streams; ++i) {
        MusicPlayer* p = StartLooping(s.module, i);
        ok = ok && p != nullptr;
        if (p != nullptr) players.push_back(p);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    out.plain = CpuWindow(s, players, seconds, 0, 0, ok);
    out.cuts = CpuWindow(s, players, seconds, crossfadeMs, 0, ok);
    out.crossfades = CpuWindow(s, players, seconds, crossfadeMs, crossfadeMs, ok);
    for (size_t i = 0; i < s.device->BufferCount(); ++i)
        ok = ok && s.device->Buffer(i)->Underruns() == 0;
    Close(s);
    return ok;
}

bool WriteMusic() {
    std::vector<int16_t> mark(static_cast<size_t>(kMarkFrames) * 2);
    for (size_t i = 0; i < mark.size(); ++i) mark[i] = i % 2 ? -32768 : 32767;
    return WriteToneWave("tone.wav", kRate, 2, kToneFrames) &&
           WritePcmWave("mark.wav", kRate, 2, mark) && WarmPageCache("tone.wav") &&
           WarmPageCache("mark.wav");
}

}  // namespace

int main(int argc, char** argv) {
    auto args = ParseArgs(argc, argv);
    const int tries = args.count("tries") ? std::atoi(args["tries"].c_str()) : 100;
    const int streams = args.count("streams") ? std::atoi(args["streams"].c_str()) : 8;
    const double seconds = args.count("seconds") ? std::atof(args["seconds"].c_str()) : 5.0;
    const int crossfadeMs =
        args.count("crossfade-ms") ? std::atoi(args["crossfade-ms"].c_str()) : 500;
    const std::string dir = MakeScratchDir("sonaflux-bench-switch");
    if (dir.empty() || chdir(dir.c_str()) != 0) return 2;
    {
        std::ofstream ini("Sonaflux.ini");
        ini << "STREAM_WARNING_MAX = 1000\n";
    }
    if (!WriteMusic()) {
        std::fprintf(stderr, "cannot write the test music\n");
        return 2;
    }
    std::vector<double> latencies, callUs;
    const bool nowOk = MeasureNow(tries, latencies, callUs);
    CpuFigures cpu;
    const bool cpuOk = MeasureCpu(streams, seconds, crossfadeMs, cpu);
    PrintResult({{"impl", "sonaflux-switch"},
                 {"tries", std::to_string(latencies.size())},
                 {"now_median_ms", Fixed(Percentile(latencies, 0.5), 2)},
                 {"now_p99_ms", Fixed(Percentile(latencies, 0.99), 2)},
                 {"now_max_ms", Fixed(Percentile(latencies, 1.0), 2)},
                 {"call_median_us", Fixed(Percentile(callUs, 0.5), 0)},
                 {"call_p99_us", Fixed(Percentile(callUs, 0.99), 0)},
                 {"streams", std::to_string(streams)},
                 {"crossfade_ms", std::to_string(crossfadeMs)},
                 {"plain_us_per_stream_s", Fixed(cpu.plain, 1)},
                 {"cuts_us_per_stream_s", Fixed(cpu.cuts, 1)},
                 {"crossfade_us_per_stream_s", Fixed(cpu.crossfades, 1)},
                 {"ok", nowOk && cpuOk ? "1" : "0"}});
    if (chdir("/") != 0) return 2;
    RemoveTree(dir);
    return nowOk && cpuOk ? 0 : 1;
}
