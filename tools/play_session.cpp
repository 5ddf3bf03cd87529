#include "play_session.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "check_loop.h"
#include "live_output.h"
#include "module_messages.h"
#include "play_clock.h"
#include "play_info.h"
#include "play_sequence.h"
#include "play_source.h"
#include "softds/softds.h"
#include "sonaflux/sonaflux.h"
#include "wave_file.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace sfplay {

namespace {

using SteadyClock = std::chrono::steady_clock;

// ---- what the user sees ----

std::string Describe(const MusicReport& w) {
    char text[160];
    std::snprintf(text, sizeof text, "%s %s, %u Hz, %u-bit, %s, %s", w.container.c_str(),
                  w.codec.c_str(), w.rate, w.bits, w.channels == 1 ? "mono" : "stereo",
                  FormatTime(w.rate ? static_cast<double>(w.frames) / w.rate : 0.0).c_str());
    return text;
}

// The stream level as the module moves it: an immediate set or a linear fade.
struct Level {
    double from = 100, to = 100, start = 0, length = 0;
    double At(double now) const {
        if (length <= 0 || now >= start + length) return to;
        if (now <= start) return from;
        return from + (to - from) * (now - start) / length;
    }
    void Set(double now, double target, double seconds) {
        from = At(now);
        to = target;
        start = now;
        length = seconds;
    }
};

// ---- the module ----

struct Interfaces {
    MusicTimeInfo* time = nullptr;
    MusicLoopControl* loop = nullptr;
    MusicFadeControl* fade = nullptr;
    MusicSampleInfo* sample = nullptr;
    MusicLoopPoints* points = nullptr;
    MusicSeekControl* seek = nullptr;
};

template <typename T>
T* InterfaceOf(MusicPlayer* player, const GUID& iid) {
    return static_cast<T*>(player->GetInterface(&iid));
}

// Gives back everything the module holds, whatever path the session leaves by.
class ModuleGuard {
public:
    ModuleGuard(MusicModule* module, Interfaces* parts) : m_Module(module), m_Parts(parts) {}
    ModuleGuard(const ModuleGuard&) = delete;
    ModuleGuard& operator=(const ModuleGuard&) = delete;
    ~ModuleGuard() {
        *m_Parts = Interfaces{};  // they go with the player
        if (m_Player) {
            m_Player->Stop();
            m_Player->Unload();
        }
        m_Module->Release();
        m_Module->SetTimer(nullptr);
        m_Module->SetDirectSound(nullptr);
    }
    void Hold(MusicPlayer* player) { m_Player = player; }

private:
    MusicModule* m_Module;
    Interfaces* m_Parts;
    MusicPlayer* m_Player = nullptr;
};

struct Plan {
    int loops = 1;
    std::optional<double> stopAt;      // seconds after the start of playback
    std::optional<double> fadeOutAt;   // when the fade-out begins
    std::optional<double> naturalEnd;  // when finite passes run out
    bool endless = false;              // the music never ends by itself
};

Plan MakePlan(const PlayOptions& o, const Source& src, const Sequence& sequence) {
    Plan plan;
    plan.loops = o.loops ? *o.loops : (src.demo && o.sequence.then.empty() ? 0 : 1);
    if (o.seconds) plan.stopAt = *o.seconds;
    if (plan.loops > 0) {
        const double end = src.loopEnd ? *src.loopEnd : src.music.frames;
        const double first = end - o.start.value_or(0);
        const double later = end - src.loopStart;
        plan.naturalEnd = (first + (plan.loops - 1) * later) / src.music.rate;
    }
    plan.naturalEnd = sequence.ChainEnd(plan.naturalEnd);
    plan.endless = sequence.Endless(plan.loops == 0);
    if (o.fadeOutMs) {
        std::optional<double> end = plan.stopAt;
        if (plan.naturalEnd && (!end || *plan.naturalEnd < *end)) end = plan.naturalEnd;
        if (end) plan.fadeOutAt = std::max(0.0, *end - o.fadeOutMs / 1000.0);
    }
    return plan;
}

// Drives the module through one playback: loads the music, starts it, then steps the
// clock until playback ends, the planned stop comes or Ctrl-C.
class Runner {
public:
    Runner(MusicModule& theModule, const PlayOptions& options, const SessionIo& sessionIo,
           const Source& source, const Plan& sessionPlan, MessageRelay& messages, bool toFile,
           Sequence& pieces)
        : module(theModule),
          o(options),
          io(sessionIo),
          src(source),
          plan(sessionPlan),
          relay(messages),
          rendering(toFile),
          sequence(pieces) {}
    Runner(const Runner&) = delete;
    Runner& operator=(const Runner&) = delete;
    ~Runner() {
        if (!ran) module.Release();  // Run's guard releases it otherwise
    }

    // `clockFor` makes the session's clock once playback has started.
    int Run(::IDirectSound* device, ITimer& timer, const std::function<Clock&()>& clockFor) {
        ran = true;
        ModuleGuard guard(&module, &parts);
        MusicPlayer* player = nullptr;
        const int loaded = Load(device, timer, &player);
        if (loaded != kExitOk) return loaded;
        guard.Hold(player);
        if (!FindInterfaces(player)) return Fail("the player lacks an interface");
        if (!SetUp()) return kExitFailure;
        if (sequence.Active() && !sequence.Attach(module, *player, src.music.rate, relay, io.err))
            return kExitFailure;
        level.Set(0, o.fadeInMs ? 0 : o.volume, 0);
        if (!player->Play()) return Fail("the module could not start playback");
        Clock& clock = clockFor();
        if (o.fadeInMs) {
            parts.fade->Fade(static_cast<int>(o.fadeInMs), o.volume, false);
            level.Set(clock.Now(), o.volume, o.fadeInMs / 1000.0);
        }
        return Loop(clock, *player);
    }

    // Whether a fade of the player runs (false before the player is loaded and after the
    // session gave it back).
    bool Fading() const { return parts.fade != nullptr && parts.fade->IsFading(); }

private:
    int Fail(const char* what) {
        io.err << "sonaflux-play: " << what << "\n";
        return kExitFailure;
    }

    // Hands the module its device, timer and music, and loads music 0 into player 0.
    int Load(::IDirectSound* device, ITimer& timer, MusicPlayer** player) {
        module.SetDirectSound(device);
        module.SetTimer(&timer);
        if (!module.SetPlayInfo(0, src.path.c_str(), static_cast<int>(src.offset),
                                static_cast<int>(src.size))) {
            relay.Flush();
            io.err << "sonaflux-play: the module refused " << src.label << "\n";
            return kExitFailure;
        }
        auto* volume =
            static_cast<MusicVolumeControl*>(module.GetInterface(&IID_MusicVolumeControl));
        *player = module.GetPlayer(0);
        if (volume == nullptr || *player == nullptr) return Fail("the module gave no player");
        volume->SetMasterVolume(o.master / 100.0);
        relay.Flush();
        const size_t before = relay.Messages().size();
        if (!(*player)->Load(0)) {
            const LoadFailure failure = FailureSince(relay, before);
            io.err << "sonaflux-play: the module could not load " << src.label
                   << (failure.cause.empty() ? "" : ": " + failure.cause) << "\n";
            return kExitFailure;
        }
        return kExitOk;
    }

    bool FindInterfaces(MusicPlayer* player) {
        Interfaces& p = parts;
        p.time = InterfaceOf<MusicTimeInfo>(player, IID_MusicTimeInfo);
        p.loop = InterfaceOf<MusicLoopControl>(player, IID_MusicLoopControl);
        p.fade = InterfaceOf<MusicFadeControl>(player, IID_MusicFadeControl);
        p.sample = InterfaceOf<MusicSampleInfo>(player, IID_MusicSampleInfo);
        p.points = InterfaceOf<MusicLoopPoints>(player, IID_MusicLoopPoints);
        p.seek = InterfaceOf<MusicSeekControl>(player, IID_MusicSeekControl);
        return p.time && p.loop && p.fade && p.sample && p.points && p.seek;
    }

    // Loop points, the first frame, the starting volume and the passes, before Play.
    bool SetUp() {
        if (src.loopStart || src.setBothPoints)
            parts.points->SetLoopStart(static_cast<int>(src.loopStart));
        if (src.loopEnd) parts.points->SetLoopEnd(static_cast<int>(*src.loopEnd));
        if (o.start && *o.start > 0 && !parts.seek->Seek(static_cast<int>(*o.start))) {
            io.err << "sonaflux-play: the module could not seek to frame " << *o.start << "\n";
            return false;
        }
        parts.fade->Fade(0, o.fadeInMs ? 0 : o.volume, false);
        parts.loop->SetLoopCount(plan.loops);
        return true;
    }

    int Loop(Clock& clock, MusicPlayer& player) {
        length = parts.time->GetLengthMs() / 1000.0;
        while (true) {
            const int irq = io.interrupts ? io.interrupts->load() : 0;
            const double now = clock.Now();
            relay.Pump();
            if (io.onStep) io.onStep(now);
            if (!sequence.Step(now, relay, io.out, io.err, io.terminal && !o.quiet))
                return kExitFailure;
            if (irq > handled && !TakeInterrupt(irq, now)) break;
            if (!fadingOut && plan.fadeOutAt && now >= *plan.fadeOutAt) StartFadeOut(now);
            if (!player.IsPlaying()) {
                ended = true;
                break;
            }
            if (plan.stopAt && now >= *plan.stopAt) {
                if (AwaitFadeOutEnd(now)) continue;
                break;
            }
            CountPass(now);
            Show(now, false);
            if (!clock.RunUntil(NextWake(now))) {
                if (io.terminal && !o.quiet) io.out << "\n";
                return Fail("the sound device stopped keeping time");
            }
        }
        return Finish(clock.Now(), player);
    }

    // A Ctrl-C: the first one fades out when asked to, any other stops. False: stop now.
    bool TakeInterrupt(int irq, double now) {
        handled = irq;
        interrupted = true;
        if (!o.fadeOutMs || fadingOut || irq != 1) return false;
        StartFadeOut(now);
        plan.stopAt = std::min(plan.stopAt.value_or(1e18), now + o.fadeOutMs / 1e3);
        return true;
    }

    void StartFadeOut(double now) {
        parts.fade->Fade(static_cast<int>(o.fadeOutMs), 0, true);
        level.Set(now, 0, o.fadeOutMs / 1000.0);
        fadingOut = true;
        fadeOutEnd = now + o.fadeOutMs / 1000.0;
    }

    // A fade-out that ends at the stop time stops the music itself: the clock stands still
    // for that moment (a second at most), so nothing more plays at its last level. True
    // while it is still to be waited for. A fade-out longer than what is left to play is
    // cut by the stop: nothing to wait for (a render would stand still a whole second).
    bool AwaitFadeOutEnd(double now) {
        if (!fadingOut || !parts.fade->IsFading()) return false;
        if (now + 0.01 < fadeOutEnd) return false;
        if (!endWait) endWait = SteadyClock::now();
        if (SteadyClock::now() - *endWait >= std::chrono::seconds(1)) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return true;
    }

    // The pass heard last at playback time `now`, from the frames played so far: the first
    // pass runs from the start frame to the loop end, each later one over the loop. (A
    // position that went back would miss every pass a short loop makes between two looks.)
    void CountPass(double now) {
        const double played = now * src.music.rate;
        const double end = src.loopEnd ? *src.loopEnd : src.music.frames;
        const double first = end - o.start.value_or(0);
        const double later = end - src.loopStart;
        long long current = 1;
        if (played > first && later > 0)
            current =
                1 + static_cast<long long>(std::ceil(std::min((played - first) / later, 1e12)));
        if (plan.loops > 0) current = std::min<long long>(current, plan.loops);
        pass = std::max(pass, static_cast<int>(std::min<long long>(current, INT_MAX)));
    }

    // The next moment to look again: in a tenth of a second, or at the stop or fade-out.
    double NextWake(double now) const {
        double next = now + 0.1;
        if (plan.stopAt) next = std::min(next, *plan.stopAt);
        if (const auto wake = sequence.NextWake(now)) next = std::min(next, *wake);
        if (plan.fadeOutAt && !fadingOut && *plan.fadeOutAt > now) {
            next = std::min(next, *plan.fadeOutAt);
        }
        return next;
    }

    // The progress line, at most ten times a second unless forced.
    void Show(double now, bool force) {
        if (!io.terminal || o.quiet) return;
        const auto wall = SteadyClock::now();
        if (!force && wall - lastShown < std::chrono::milliseconds(100)) return;
        lastShown = wall;
        const uint32_t pos = parts.sample->GetPositionSamples();
        char text[160];
        const std::string passes = plan.loops == 0
                                       ? std::to_string(pass) + " (looping)"
                                       : std::to_string(pass) + " of " + std::to_string(plan.loops);
        std::snprintf(text, sizeof text, "\r%s %s / %s  pass %s  vol %3d%%  master %3d%%  ",
                      rendering ? "rendering" : "playing",
                      FormatTime(pos / double(src.music.rate)).c_str(), FormatTime(length).c_str(),
                      passes.c_str(), static_cast<int>(std::lround(level.At(now))), o.master);
        io.out << text << std::flush;
    }

    // Stops the player and says how playback ended.
    int Finish(double stoppedAt, MusicPlayer& player) {
        CountPass(stoppedAt);
        Show(stoppedAt, true);
        if (io.terminal && !o.quiet) io.out << "\n";
        sequence.Finish(io.out);
        player.Stop();
        const std::string damage = Damage();
        const char* how = !damage.empty() ? "read error"
                          : interrupted   ? "stopped"
                          : ended         ? (fadingOut ? "faded out" : "finished")
                                          : "time is up";
        io.out << (rendering ? "rendered " : "played ") << FormatTime(stoppedAt) << " (" << how
               << ", pass " << pass << ")\n";
        if (!damage.empty()) {
            io.err << "sonaflux-play: " << damage << "\n";
            return kExitFailure;
        }
        return interrupted ? kExitInterrupted : kExitOk;
    }

    // A stream that stopped after its file could not be read, or a file that lost data
    // while it played, is a failure: what was heard is not the music. Empty when neither.
    std::string Damage() {
        relay.Flush();
        bool readFailed = false;
        for (const ModuleMessage& m : relay.Messages()) {
            readFailed = readFailed || IsReadFailure(m.text);
        }
        // Where the module's messages are seen, a file is blamed only after a failed read
        // (a file cut after its last pass was read did no harm).
        std::string damage;
        if (!interrupted && (readFailed || !MessageRelay::Available())) damage = SourceDamage(src);
        if (damage.empty() && ended && readFailed) {
            damage = "the module could not read " + src.label + "; the music stopped early";
        }
        return damage;
    }

    MusicModule& module;
    bool ran = false;
    const PlayOptions& o;
    const SessionIo& io;
    const Source& src;
    Plan plan;
    MessageRelay& relay;
    const bool rendering;
    Sequence& sequence;
    Interfaces parts;

    // The playback loop's state.
    Level level;
    double length = 0;  // of the music, in seconds
    int handled = 0;    // Ctrl-Cs seen
    bool interrupted = false, fadingOut = false, ended = false;
    double fadeOutEnd = 0;  // when the fade-out started reaches its target
    int pass = 1;
    std::optional<SteadyClock::time_point> endWait;
    SteadyClock::time_point lastShown = SteadyClock::now() - std::chrono::seconds(1);
};

// ---- the output ----

// Where a render goes until it succeeded: beside the target, so that the final rename
// stays on one file system, under a short name of its own (the target's name with a suffix
// could pass the system's limit on a name's length).
std::string RenderTempPath(const std::string& target) {
#ifdef _WIN32
    const unsigned long pid = GetCurrentProcessId();
#else
    const unsigned long pid = static_cast<unsigned long>(getpid());
#endif
    const std::filesystem::path dir = std::filesystem::path(target).parent_path();
    return (dir / (".sonaflux-play-" + std::to_string(pid) + ".part")).string();
}

// Whether `path` can be created for writing; false with the system's reason.
bool CanCreate(const std::string& path, std::string* why) {
    errno = 0;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        *why = std::strerror(errno);
        return false;
    }
    std::fclose(f);
    return true;
}

// Refuses a render target that would destroy something: the input itself, or a name that
// is not a regular file (renaming onto a device or a FIFO would replace it).
bool CheckRenderTarget(const PlayOptions& o, const std::string& target, std::string* error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status st = fs::status(target, ec);
    if (st.type() == fs::file_type::not_found) return true;
    if (!o.file.empty() && SameFile(o.file, target)) {
        *error = "--render " + target + " is the input file; rendering onto it would destroy it";
        return false;
    }
    if (st.type() != fs::file_type::regular) {
        *error = "--render " + target + " exists and is not a regular file";
        return false;
    }
    return true;
}

// Either a live device or the file a render goes to.
struct Output {
    std::unique_ptr<LiveOutput> live;
    std::string renderPath;
};

// Opens the live device unless told to render; renders to the fallback file when no
// device opens. An endless render is cut to 30 seconds unless --seconds says otherwise.
Output OpenOutput(const PlayOptions& o, const SessionIo& io, Plan* plan) {
    Output out;
    out.renderPath = o.renderPath;
    if (out.renderPath.empty()) {
        std::string why;
        out.live = OpenLiveOutput(o.verbose, &why);
        if (!out.live) {
            out.renderPath = o.fallbackPath;
            io.out << "sonaflux-play: output: " << out.renderPath << ", because " << why
                   << (o.verbose ? "" : " (--verbose shows the audio system's messages)") << "\n";
        }
    }
    if (!out.live && plan->endless && !plan->stopAt) {
        plan->stopAt = 30.0;
        io.out << "sonaflux-play: the music loops endlessly; rendering 30 seconds "
                  "(--seconds sets another length)\n";
        if (o.fadeOutMs) plan->fadeOutAt = std::max(0.0, 30.0 - o.fadeOutMs / 1000.0);
    }
    return out;
}

// The line that says what plays, how and where.
void Announce(const SessionIo& io, const Source& src, const Plan& plan, const Output& out) {
    const bool rendering = !out.live;
    const uint32_t end = src.loopEnd.value_or(src.music.frames);
    io.out << (rendering ? "rendering " : "playing ") << src.label << " (" << Describe(src.music)
           << ")";
    if (src.loopStart || src.loopEnd) {
        io.out << ", loop " << FormatTime(double(src.loopStart) / src.music.rate) << "-"
               << FormatTime(double(end) / src.music.rate);
    }
    io.out << ", "
           << (plan.loops == 0 ? std::string("endless") : std::to_string(plan.loops) + " pass(es)");
    io.out << (rendering ? " into " + out.renderPath : std::string(" on ") + out.live->Name())
           << "\n";
}

int PlayLive(Runner& runner, LiveOutput& live) {
    SteadyTimer timer;
    std::unique_ptr<LiveClock> clock;
    return runner.Run(live.Device(), timer, [&]() -> Clock& {
        clock = std::make_unique<LiveClock>();
        return *clock;
    });
}

// softds on its manual clock, writing a WAV file.
softds::Device* OpenRenderDevice(const std::string& wavPath, uint32_t rate) {
    softds::DeviceOptions options;
    options.clock = softds::ClockKind::Manual;
    options.sink = softds::SinkKind::WavFile;
    options.wavPath = wavPath;
    options.outputRate = rate;
    options.recordPlayed = false;
    options.recordCalls = false;
    options.volumeRampFrames = rate / 200;  // a volume step ramps over 5 ms: no click
    // The worker refills while the clock renders on; waits only when it must (a loop of a
    // few frames passes a notification every frame).
    options.overlapWorkers = true;
    return softds::Device::Create(options);
}

// Renders into a temporary file beside `target`, which replaces the target only when the
// render succeeded.
int Render(const PlayOptions& o, const SessionIo& io, Runner& runner, const std::string& target) {
    std::string why;
    if (!CheckRenderTarget(o, target, &why)) {
        io.err << "sonaflux-play: " << why << "\n";
        return kExitFailure;
    }
    const std::string partPath = RenderTempPath(target);
    TempFile part;  // removed unless it became the target
    if (!CanCreate(partPath, &why)) {
        io.err << "sonaflux-play: cannot write " << target << " (beside it, " << partPath
               << "): " << why << "\n";
        return kExitFailure;
    }
    part.Set(partPath);
    std::unique_ptr<softds::Device, void (*)(softds::Device*)> device(
        OpenRenderDevice(partPath, o.rate),
        [](softds::Device* d) { d->Release(); });  // closes the file
    if (device == nullptr) {
        io.err << "sonaflux-play: cannot write " << target << "\n";
        return kExitFailure;
    }
    FrameTimer timer(*device, o.rate);
    // While a fade runs: about 200 steps over its length, each 10 to 100 ms of audio, but
    // at least three of the fade's own steps (a thousandth of it, at least 10 ms) and 5 ms:
    // the fade thread then sees the rendered time run clearly ahead of the wall clock even
    // after two reads a step apart, and steps as fast as the render asks
    // (CFadeThread::PacedWait).
    auto fading = [&]() { return runner.Fading(); };
    auto fadeStep = [&]() -> uint32_t {
        if (!fading()) return 0;
        const uint32_t fadeMs = std::max(o.fadeInMs, o.fadeOutMs);
        const uint32_t ms = std::max(std::clamp<uint32_t>(fadeMs / 200, 10, 100),
                                     3 * std::max<uint32_t>(fadeMs / 1000, 10) + 5);
        return static_cast<uint32_t>(uint64_t{ms} * o.rate / 1000);
    };
    RenderClock clock(*device, timer, fadeStep, fading);
    const auto wallStart = SteadyClock::now();
    const int status =
        runner.Run(device->HostInterface(), timer, [&]() -> Clock& { return clock; });
    if (status != kExitOk && status != kExitInterrupted) return status;
    const double wall = std::chrono::duration<double>(SteadyClock::now() - wallStart).count();
    const uint64_t mixed = device->MixedFrames();
    device.reset();
    std::error_code ec;
    std::filesystem::rename(partPath, target, ec);
    if (ec) {
        io.err << "sonaflux-play: cannot write " << target << ": " << ec.message() << "\n";
        return kExitFailure;
    }
    part.Set("");
    char text[64];
    std::snprintf(text, sizeof text, "%.2f", wall);
    io.out << "wrote " << target << " (" << mixed << " frames at " << o.rate
           << " Hz, 16-bit stereo) in " << text << " s\n";
    return status;
}

int RunSessionOnce(const PlayOptions& o, const SessionIo& io, MessageRelay& relay) {
    auto* module = static_cast<MusicModule*>(CreateInterface(&IID_MusicModule));
    if (module == nullptr) {
        io.err << "sonaflux-play: the module gave no interface\n";
        return kExitFailure;
    }
    Source src;
    TempFile temp;
    std::string error;
    int status = kExitOk;
    if (!PrepareSource(o, &src, &temp, *module, relay, &error)) {
        status = kExitFailure;
    } else if (!o.info && !ResolveLoopPoints(o, &src, io.out, &error)) {
        status = kExitUsage;
    }
    if (status != kExitOk || o.info) {
        module->Release();
        if (status != kExitOk) io.err << "sonaflux-play: " << error << "\n";
        if (status == kExitOk) PrintReport(io.out, src.label, src.music);
        return status;
    }
    if (o.checkLoop) {
        const std::string svg =
            !o.svgPath.empty() ? o.svgPath
            : src.demo         ? std::string("demo-seam.svg")
                               : std::filesystem::path(o.file).filename().string() + "-seam.svg";
        const int checked = CheckLoop(o, io, *module, src, svg);
        module->Release();
        return checked;
    }
    Sequence sequence;
    if (!sequence.Prepare(o.sequence, *module, relay, &error)) {
        module->Release();
        io.err << "sonaflux-play: " << error << "\n";
        return kExitFailure;
    }
    Plan plan = MakePlan(o, src, sequence);
    Output output = OpenOutput(o, io, &plan);
    Announce(io, src, plan, output);
    sequence.Announce(io.out);
    Runner runner(*module, o, io, src, plan, relay, !output.live, sequence);  // releases the module
    if (output.live) return PlayLive(runner, *output.live);
    return Render(o, io, runner, output.renderPath);
}

}  // namespace

int RunSession(const PlayOptions& o, const SessionIo& io) {
    MessageRelay relay(io.err, std::getenv("SONAFLUX_DEBUG") != nullptr);
    const int status = RunSessionOnce(o, io, relay);
    relay.Flush();
    // Whatever the session was waiting on when Ctrl-C came (an open, a read, the module),
    // the user stopped it.
    if (io.interrupts && io.interrupts->load() > 0) return kExitInterrupted;
    return status;
}

}  // namespace sfplay
