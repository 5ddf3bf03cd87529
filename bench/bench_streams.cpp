// End-to-end streaming benchmark: N looping streams through the module's public
// interfaces on softds's real-time clock, for a fixed time each. softds mixes every stream
// whatever the sink: with no sink (the default) its clock thread renders a period each
// tick; with --sink sdl SDL's audio callback pulls (use SDL_AUDIODRIVER=dummy).
//
// Measured per run: CPU time per stream-second, a second of music that the device played
// (getrusage of the whole process, and the share of the module's own threads and of the
// device's from /proc/self/task/<tid>/schedstat), the resident
// set (at the end, and how much its peak grew from a fifth of the run, at most a minute
// in, to the end), softds's underrun count and, with --lateness, the refill lateness
// from each notification to the Unlock that answers it. Lateness needs softds's call log,
// which the real-time clock keeps only when asked, so only the lateness pass keeps it.
// softds logs the device-clock frame of every call but not of the notifications it
// signals, so the frame of each notification is worked out from the Play call and the
// buffer geometry; lateness is thus resolved to one clock period (--period frames).
// With --fade-ms D, the one-stream run also measures what a fade of D ms costs: the
// process CPU of a window with the fade less that of an equal window before it.
//
// Usage: bench_streams [--streams 1,8,32,64] [--seconds 10] [--period 44] [--lateness]
//                      [--sink none|sdl] [--fade-ms 500]
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "base/diagnostics.h"
#include "bench_common.h"
#include "steady_timer.h"
#include "config/module_settings.h"
#include "softds/softds.h"
#include "sonaflux/sonaflux.h"

namespace {

using namespace sonaflux;
using namespace sonaflux::bench;

constexpr uint32_t kRate = 44100;
constexpr uint32_t kMusicFrames = kRate * 4;  // four seconds of stereo music, looped

std::atomic<int> g_boxes{0};
std::atomic<int> g_debugLines{0};
void CountReports(ReportKind kind, const char* text, void*) {
    (kind == ReportKind::Box ? g_boxes : g_debugLines).fetch_add(1);
    std::fprintf(stderr, "report: %s\n", text);
}

std::vector<pid_t> Minus(const std::vector<pid_t>& all, const std::vector<pid_t>& known) {
    std::vector<pid_t> out;
    for (pid_t t : all) {
        if (std::find(known.begin(), known.end(), t) == known.end()) out.push_back(t);
    }
    return out;
}

struct Lateness {
    std::vector<double> framesLate;
    uint64_t unmatched = 0;  // refills that no passed notification explains
};

// Pairs every refill (Lock ... Unlock after the Play call) with the notification that
// asked for it: the worker refills segment (j + n/2) mod n when notification j fires.
// The device clock moves in whole periods and the worker's calls are logged with the
// frame count at the end of the period in which the notification passed, or later.
void CollectLateness(const softds::BufferRecord& record, uint32_t period, Lateness& out) {
    const std::vector<softds::CallRecord> calls = record.Calls();
    const auto notifications = record.Notifications();
    const uint32_t align = record.Format().nBlockAlign;
    if (notifications.empty() || align == 0 || record.Format().nSamplesPerSec != kRate) return;
    const uint32_t n = static_cast<uint32_t>(notifications.size());
    const uint32_t segment = record.Bytes() / n;
    const uint64_t ringFrames = record.Bytes() / align;
    size_t playAt = calls.size();
    for (size_t i = 0; i < calls.size(); ++i) {
        if (calls[i].op == softds::Op::Play && calls[i].result >= 0) playAt = i;
    }
    if (playAt == calls.size()) return;
    const uint64_t play = calls[playAt].frame;
    for (size_t i = playAt + 1; i < calls.size(); ++i) {
        if (calls[i].op != softds::Op::Lock) continue;
        const uint32_t refilled = calls[i].a / segment;
        const uint32_t j = (refilled + n - n / 2) % n;
        const uint64_t at = notifications[j].dwOffset / align;  // buffer frame of the position
        const uint64_t lockFrame = calls[i].frame;
        if (lockFrame <= play + at) {
            ++out.unmatched;
            continue;
        }
        const uint64_t lap = (lockFrame - 1 - play - at) / ringFrames;
        const uint64_t passedIn = play + lap * ringFrames + at;  // output frame index
        const uint64_t signalled = (passedIn / period + 1) * period;
        size_t u = i + 1;
        while (u < calls.size() && calls[u].op != softds::Op::Unlock) ++u;
        if (u == calls.size()) break;
        out.framesLate.push_back(static_cast<double>(calls[u].frame - signalled));
        i = u;
    }
}

struct RunResult {
    uint64_t rssKib = 0;
    int64_t rssGrowthKib = 0;
    double fadeCpuUs = -1;  // not measured
    double processUsPerStreamSecond = 0;
    double moduleUsPerStreamSecond = 0;
    double deviceUsPerStreamSecond = 0;
    double latMedianMs = 0, latP99Ms = 0, latMaxMs = 0;
    size_t refills = 0;
    uint64_t unmatched = 0;
    uint64_t underruns = 0;
    uint64_t frames = 0;
    double seconds = 0;
    bool ok = true;
};

struct RunOptions {
    double seconds = 10;
    uint32_t period = 44;
    bool lateness = false;
    bool sdl = false;
    int fadeMs = 0;
};

RunResult RunOnce(int streams, const RunOptions& run, const std::string& dir) {
    RunResult result;
    const double seconds = run.seconds;
    const uint32_t period = run.period;
    const std::vector<pid_t> beforeDevice = ThreadIds();
    softds::DeviceOptions options;
    options.clock = softds::ClockKind::RealTime;
    options.sink = run.sdl ? softds::SinkKind::Sdl : softds::SinkKind::None;
    options.outputRate = kRate;
    options.periodFrames = period;
    options.recordCalls = run.lateness;  // the played bytes are never kept
    softds::Device* device = softds::Device::Create(options);
    if (device == nullptr) {
        std::fprintf(stderr, "softds refused the options\n");
        result.ok = false;
        return result;
    }
    const std::vector<pid_t> clockThreads = Minus(ThreadIds(), beforeDevice);
    const std::vector<pid_t> beforeModule = ThreadIds();

    SteadyTimer timer;
    auto* module = static_cast<MusicModule*>(CreateInterface(&IID_MusicModule));
    module->SetDirectSound(device->HostInterface());
    module->SetTimer(&timer);
    const std::string music = dir + "/music.wav";
    module->SetPlayInfo(0, music.c_str(), 0, static_cast<int>(44 + kMusicFrames * 4));
    std::vector<MusicPlayer*> players;
    for (int i = 0; i < streams; ++i) {
        MusicPlayer* p = module->GetPlayer(i);
        auto* loop = static_cast<MusicLoopControl*>(p->GetInterface(&IID_MusicLoopControl));
        loop->SetLoopCount(0);
        if (!p->Load(0)) {
            std::fprintf(stderr, "load of stream %d failed\n", i);
            result.ok = false;
        }
        players.push_back(p);
    }
    for (MusicPlayer* p : players) {
        if (!p->Play()) result.ok = false;
    }
    const std::vector<pid_t> moduleThreads = Minus(ThreadIds(), beforeModule);

    const uint64_t process0 = ProcessCpuMicros();
    const uint64_t module0 = ThreadsCpuNanos(moduleThreads);
    const uint64_t device0 = ThreadsCpuNanos(clockThreads);
    const uint64_t frames0 = device->Frames();
    const auto wall0 = std::chrono::steady_clock::now();
    // Resident set: its peak (VmHWM) at a fifth of the run (at most a minute in) and at the
    // end; read twice only, so that the reading costs nothing next to the streams.
    const double settled = std::min(seconds / 5, 60.0);
    std::this_thread::sleep_for(std::chrono::duration<double>(settled));
    const uint64_t peakSettled = PeakResidentKib();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds - settled));
    const uint64_t process1 = ProcessCpuMicros();
    const uint64_t module1 = ThreadsCpuNanos(moduleThreads);
    const uint64_t device1 = ThreadsCpuNanos(clockThreads);
    const uint64_t frames1 = device->Frames();
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    result.frames = frames1 - frames0;
    result.rssKib = ResidentKib();
    result.rssGrowthKib =
        static_cast<int64_t>(PeakResidentKib()) - static_cast<int64_t>(peakSettled);

    if (run.fadeMs > 0 && streams == 1) {
        // The same window without and with a fade that ends inside it.
        const auto window = std::chrono::milliseconds(run.fadeMs + 500);
        const uint64_t quiet0 = ProcessCpuMicros();
        std::this_thread::sleep_for(window);
        const uint64_t quiet1 = ProcessCpuMicros();
        auto* fade =
            static_cast<MusicFadeControl*>(players[0]->GetInterface(&IID_MusicFadeControl));
        const uint64_t fade0 = ProcessCpuMicros();
        if (!fade->Fade(run.fadeMs, 10, false)) result.ok = false;
        std::this_thread::sleep_for(window);
        const uint64_t fade1 = ProcessCpuMicros();
        if (fade->IsFading()) result.ok = false;
        result.fadeCpuUs =
            static_cast<double>(fade1 - fade0) - static_cast<double>(quiet1 - quiet0);
    }

    for (MusicPlayer* p : players) {
        if (!p->IsPlaying()) result.ok = false;
        p->Stop();
    }
    Lateness lateness;
    for (size_t i = 0; i < device->BufferCount(); ++i) {
        auto record = device->Buffer(i);
        result.underruns += record->Underruns();
        if (run.lateness) CollectLateness(*record, period, lateness);
    }
    module->Release();
    module->SetDirectSound(nullptr);
    module->SetTimer(nullptr);
    device->Release();

    // Per second of music played: the device's clock, which SDL's dummy output paces and
    // which falls behind the wall clock when that output is starved of CPU.
    const double streamSeconds = streams * static_cast<double>(result.frames) / kRate;
    result.processUsPerStreamSecond = static_cast<double>(process1 - process0) / streamSeconds;
    result.moduleUsPerStreamSecond =
        static_cast<double>(module1 - module0) / 1000.0 / streamSeconds;
    result.deviceUsPerStreamSecond =
        static_cast<double>(device1 - device0) / 1000.0 / streamSeconds;
    const double msPerFrame = 1000.0 / kRate;
    result.latMedianMs = Percentile(lateness.framesLate, 0.5) * msPerFrame;
    result.latP99Ms = Percentile(lateness.framesLate, 0.99) * msPerFrame;
    result.latMaxMs = Percentile(lateness.framesLate, 1.0) * msPerFrame;
    result.refills = lateness.framesLate.size();
    result.unmatched = lateness.unmatched;
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    auto args = ParseArgs(argc, argv);
    const std::vector<int> counts =
        ParseIntList(args.count("streams") ? args["streams"] : "1,8,32,64");
    RunOptions run;
    run.seconds = args.count("seconds") ? std::atof(args["seconds"].c_str()) : 10.0;
    run.period =
        args.count("period") ? static_cast<uint32_t>(std::atoi(args["period"].c_str())) : 44;
    run.lateness = args.count("lateness") != 0;
    run.sdl = args.count("sink") && args["sink"] == "sdl";
    run.fadeMs = args.count("fade-ms") ? std::atoi(args["fade-ms"].c_str()) : 0;

    const std::string dir = MakeScratchDir("sonaflux-bench");
    if (dir.empty() || !WriteToneWave(dir + "/music.wav", kRate, 2, kMusicFrames)) {
        std::fprintf(stderr, "cannot write the test music\n");
        return 2;
    }
    WarmPageCache(dir + "/music.wav");
    // The module reads its settings from the current folder: keep the defaults but raise
    // the stream-count warning above the largest run, so that no warning box is shown.
    {
        std::ofstream ini(dir + "/Sonaflux.ini");
        ini << "STREAM_WARNING_MAX = 1000\n";
    }
    if (chdir(dir.c_str()) != 0) return 2;
    SetReportHook(&CountReports, nullptr);

    int status = 0;
    for (int n : counts) {
        const RunResult r = RunOnce(n, run, dir);
        const bool pass = r.ok && r.underruns == 0 && g_boxes.load() == 0;
        if (!pass) status = 1;
        PrintResult({{"impl", "sonaflux"},
                     {"streams", std::to_string(n)},
                     {"seconds", Fixed(r.seconds, 2)},
                     {"process_us_per_stream_s", Fixed(r.processUsPerStreamSecond, 1)},
                     {"module_us_per_stream_s", Fixed(r.moduleUsPerStreamSecond, 1)},
                     {"device_us_per_stream_s", Fixed(r.deviceUsPerStreamSecond, 1)},
                     {"lat_median_ms", Fixed(r.latMedianMs, 2)},
                     {"lat_p99_ms", Fixed(r.latP99Ms, 2)},
                     {"lat_max_ms", Fixed(r.latMaxMs, 2)},
                     {"tick_ms", Fixed(1000.0 * run.period / kRate, 2)},
                     {"lateness", run.lateness ? "1" : "0"},
                     {"sink", run.sdl ? "sdl" : "none"},
                     {"rss_kib", std::to_string(r.rssKib)},
                     {"rss_growth_kib", std::to_string(r.rssGrowthKib)},
                     {"fade_ms", std::to_string(n == 1 ? run.fadeMs : 0)},
                     {"fade_cpu_us", Fixed(r.fadeCpuUs, 0)},
                     {"refills", std::to_string(r.refills)},
                     {"unmatched", std::to_string(r.unmatched)},
                     {"underruns", std::to_string(r.underruns)},
                     {"boxes", std::to_string(g_boxes.load())},
                     {"frames", std::to_string(r.frames)},
                     {"ok", pass ? "1" : "0"}});
    }
    SetReportHook(nullptr, nullptr);
    if (chdir("/") != 0) status = 2;
    RemoveTree(dir);
    return status;
}
