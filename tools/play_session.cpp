#include "play_session.h"

#include <algorithm>
#include <cstdlib>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "demo_tune.h"
#include "module_messages.h"
#include "live_output.h"
#include "music_file.h"
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
constexpr uint32_t kOutputRate = 44100;

// ---- the source ----

class TempFile {
public:
    TempFile() = default;
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile() {
        if (!m_Path.empty()) {
            std::error_code ignored;
            std::filesystem::remove(m_Path, ignored);
        }
    }
    void Set(const std::string& path) { m_Path = path; }

private:
    std::string m_Path;
};

struct Source {
    std::string path;
    std::string label;  // what the user is told is playing
    uint32_t offset = 0;
    uint32_t size = 0;
    WaveInfo info;
    uint32_t loopStart = 0;  // frames, as handed to the module (0: not set)
    std::optional<uint32_t> loopEnd;
    bool demo = false;
    FileLoop fileLoop;           // loop points stored in the file
    bool setBothPoints = false;  // hand both points over, replacing the file's own
};

bool PrepareDemo(Source* source, TempFile* temp, std::string* error) {
    const DemoTune tune = MakeDemoTune();
    std::error_code ec;
    std::filesystem::path dir = std::filesystem::temp_directory_path(ec);
    if (ec) dir = ".";
    const auto stamp = SteadyClock::now().time_since_epoch().count();
    const std::string path =
        (dir / ("sonaflux-demo-" + std::to_string(static_cast<long long>(stamp)) + ".wav"))
            .string();
    if (!WriteFileBytes(path, tune.image, error)) return false;
    temp->Set(path);
    source->path = path;
    source->label = "the built-in demo tune";
    source->offset = 0;
    source->size = static_cast<uint32_t>(tune.image.size());
    source->loopStart = tune.loopStart;
    source->demo = true;
    std::string why;
    if (!ParseWaveHeader(tune.image.data(), tune.image.size(), tune.image.size(), &source->info,
                         &why)) {
        *error = "the demo tune is broken: " + why;
        return false;
    }
    return true;
}

// Why a name is not a regular file, or empty when it is one. Nothing is opened, so a
// FIFO without a writer cannot stall the program.
std::string NotRegular(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status st = fs::status(path, ec);
    switch (st.type()) {
        case fs::file_type::regular:
        case fs::file_type::not_found:  // the open that follows says it cannot
        case fs::file_type::none:
            return {};
        case fs::file_type::directory:
            return path + " is a directory";
        case fs::file_type::fifo:
            return path + " is a FIFO, not a regular file";
        case fs::file_type::character:
        case fs::file_type::block:
            return path + " is a device, not a regular file";
        default:
            return path + " is not a regular file";
    }
}

bool PrepareFile(const PlayOptions& o, Source* source, std::string* error) {
    const std::string irregular = NotRegular(o.file);
    if (!irregular.empty()) {
        *error = irregular;
        return false;
    }
    uint64_t fileSize = 0;
    if (!FileSize(o.file, &fileSize, error)) return false;
    if (fileSize == 0) {
        *error = o.file + " is empty";
        return false;
    }
    const uint64_t offset = o.offset.value_or(0);
    if (offset >= fileSize) {
        *error = "--offset " + std::to_string(offset) + " lies at or past the end of " + o.file +
                 " (" + std::to_string(fileSize) + " bytes)";
        return false;
    }
    const uint64_t size = o.size ? *o.size : fileSize - offset;
    if (offset + size > fileSize) {
        *error = "the range of " + std::to_string(size) + " bytes at " + std::to_string(offset) +
                 " runs past the end of " + o.file + " (" + std::to_string(fileSize) + " bytes)";
        return false;
    }
    if (size > static_cast<uint64_t>(INT_MAX)) {
        *error = o.file + ": images of more than 2147483647 bytes cannot be played";
        return false;
    }
    std::vector<uint8_t> header;
    if (!ReadFileBytes(o.file, offset, static_cast<size_t>(std::min<uint64_t>(size, 127)), &header,
                       error)) {
        return false;
    }
    std::string why;
    // The whole image as the module reads it (chunk walk, wider samples, Ogg Vorbis); the
    // first bytes' reading gives the reason when neither plays.
    WaveInfo walked;
    std::string walkWhy;
    const bool inspected = InspectMusic(o.file, offset, size, &walked, &source->fileLoop, &walkWhy);
    if (!ParseWaveHeader(header.data(), header.size(), size, &source->info, &why)) {
        if (!inspected) {
            *error = o.file + (offset ? " at offset " + std::to_string(offset) : std::string()) +
                     ": " + why;
            return false;
        }
        source->info = walked;
    }
    source->path = o.file;
    source->label = o.file;
    source->offset = static_cast<uint32_t>(offset);
    source->size = static_cast<uint32_t>(size);
    return true;
}

// ---- the host's timer, as the module's fades read it ----

class SteadyTimer final : public ITimer {
public:
    int32_t Acquire() override { return 1; }
    uint32_t GetTime() override {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
            SteadyClock::now().time_since_epoch());
        return static_cast<uint32_t>(ms.count());
    }
};

// The manual clock's time: the frames the device has played. Counts its readers so that
// rendering can let each fade step see the time it was rendered at.
class FrameTimer final : public ITimer {
public:
    explicit FrameTimer(softds::Device& device) : m_Device(device) {}
    int32_t Acquire() override { return 1; }
    uint32_t GetTime() override {
        m_Reads.fetch_add(1);
        return static_cast<uint32_t>(m_Device.Frames() * 1000 / kOutputRate);
    }
    uint64_t Reads() const { return m_Reads.load(); }

private:
    softds::Device& m_Device;
    std::atomic<uint64_t> m_Reads{0};
};

// ---- the clock the session runs by ----

class Clock {
public:
    virtual ~Clock() = default;
    virtual double Now() = 0;  // seconds since playback started
    // Lets playback run until `t`. False when the device stopped keeping time.
    virtual bool RunUntil(double t) = 0;
};

class LiveClock final : public Clock {
public:
    double Now() override {
        return std::chrono::duration<double>(SteadyClock::now() - m_Start).count();
    }
    bool RunUntil(double t) override {
        const double wait = t - Now();
        if (wait > 0) std::this_thread::sleep_for(std::chrono::duration<double>(wait));
        return true;
    }

private:
    SteadyClock::time_point m_Start = SteadyClock::now();
};

// Renders as fast as the machine allows. While a fade runs, time moves in small steps and
// each step waits until the fade worker has read the clock twice, so the level it applied
// belongs to the audio that follows (a fade thus sounds as it would in real time).
class RenderClock final : public Clock {
public:
    RenderClock(softds::Device& device, FrameTimer& timer, std::function<uint32_t()> fadeStep,
                std::function<bool()> fading)
        : m_Device(device),
          m_Timer(timer),
          m_FadeStep(std::move(fadeStep)),
          m_Fading(std::move(fading)) {}
    double Now() override { return static_cast<double>(m_Device.Frames()) / kOutputRate; }
    bool RunUntil(double t) override {
        const uint64_t want = static_cast<uint64_t>(std::llround(t * kOutputRate));
        while (m_Device.Frames() < want) {
            const uint32_t fadeStep = m_FadeStep();
            uint64_t chunk = fadeStep ? fadeStep : kOutputRate / 10;
            chunk = std::min<uint64_t>(chunk, want - m_Device.Frames());
            const uint64_t reads = m_Timer.Reads();
            if (!m_Device.Advance(static_cast<uint32_t>(chunk))) return false;
            if (fadeStep) WaitForFade(reads);
        }
        return true;
    }

private:
    void WaitForFade(uint64_t reads) {
        const auto deadline = SteadyClock::now() + std::chrono::milliseconds(200);
        while (m_Timer.Reads() < reads + 2 && m_Fading() && SteadyClock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    }

    softds::Device& m_Device;
    FrameTimer& m_Timer;
    std::function<uint32_t()> m_FadeStep;
    std::function<bool()> m_Fading;
};

// ---- what the user sees ----

std::string FormatTime(double seconds) {
    if (seconds < 0) seconds = 0;
    const long long cs = static_cast<long long>(seconds * 100.0);
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld.%02lld", cs / 6000, (cs / 100) % 60, cs % 100);
    return text;
}

std::string Describe(const WaveInfo& w) {
    char text[96];
    std::snprintf(text, sizeof text, "%u Hz, %u-bit, %s, %s", w.rate, w.bits,
                  w.channels == 1 ? "mono" : "stereo",
                  FormatTime(static_cast<double>(w.frames) / w.rate).c_str());
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
};

// What became of the source file during playback: empty while it still holds the
// whole image, else what happened to it.
std::string SourceDamage(const Source& src) {
    if (src.demo) return {};
    std::error_code ec;
    const uint64_t size = std::filesystem::file_size(src.path, ec);
    if (ec) return src.path + " could no longer be read (" + ec.message() + ")";
    const uint64_t needed = uint64_t{src.offset} + src.size;
    if (size < needed) {
        return src.path + " shrank to " + std::to_string(size) + " bytes during playback (" +
               std::to_string(needed) + " are needed)";
    }
    return {};
}

struct Runner {
    const PlayOptions& o;
    const SessionIo& io;
    const Source& src;
    Plan plan;
    MessageRelay& relay;

    // Drives the module until playback ends, --seconds pass or Ctrl-C.
    int Run(::IDirectSound* device, ITimer& timer, const std::function<Clock&()>& clockFor,
            Interfaces* parts, bool rendering) {
        auto* module = static_cast<MusicModule*>(CreateInterface(&IID_MusicModule));
        if (module == nullptr) {
            io.err << "sonaflux-play: the module gave no interface\n";
            return kExitFailure;
        }
        ModuleGuard guard(module, parts);
        module->SetDirectSound(device);
        module->SetTimer(&timer);
        if (!module->SetPlayInfo(0, src.path.c_str(), static_cast<int>(src.offset),
                                 static_cast<int>(src.size))) {
            relay.Flush();
            io.err << "sonaflux-play: the module refused " << src.label << "\n";
            return kExitFailure;
        }
        auto* volume =
            static_cast<MusicVolumeControl*>(module->GetInterface(&IID_MusicVolumeControl));
        MusicPlayer* player = module->GetPlayer(0);
        if (volume == nullptr || player == nullptr) {
            io.err << "sonaflux-play: the module gave no player\n";
            return kExitFailure;
        }
        volume->SetMasterVolume(o.master / 100.0);
        if (!player->Load(0)) {
            relay.Flush();
            io.err << "sonaflux-play: the module could not load " << src.label
                   << " (its message above says why)\n";
            return kExitFailure;
        }
        guard.Hold(player);
        Interfaces& p = *parts;
        p.time = InterfaceOf<MusicTimeInfo>(player, IID_MusicTimeInfo);
        p.loop = InterfaceOf<MusicLoopControl>(player, IID_MusicLoopControl);
        p.fade = InterfaceOf<MusicFadeControl>(player, IID_MusicFadeControl);
        p.sample = InterfaceOf<MusicSampleInfo>(player, IID_MusicSampleInfo);
        p.points = InterfaceOf<MusicLoopPoints>(player, IID_MusicLoopPoints);
        p.seek = InterfaceOf<MusicSeekControl>(player, IID_MusicSeekControl);
        if (!p.time || !p.loop || !p.fade || !p.sample || !p.points || !p.seek) {
            io.err << "sonaflux-play: the player lacks an interface\n";
            return kExitFailure;
        }
        if (src.loopStart || src.setBothPoints)
            p.points->SetLoopStart(static_cast<int>(src.loopStart));
        if (src.loopEnd) p.points->SetLoopEnd(static_cast<int>(*src.loopEnd));
        if (o.start && *o.start > 0 && !p.seek->Seek(static_cast<int>(*o.start))) {
            io.err << "sonaflux-play: the module could not seek to frame " << *o.start << "\n";
            return kExitFailure;
        }
        p.fade->Fade(0, o.fadeInMs ? 0 : o.volume, false);
        p.loop->SetLoopCount(plan.loops);

        Level level;
        level.Set(0, o.fadeInMs ? 0 : o.volume, 0);
        if (!player->Play()) {
            io.err << "sonaflux-play: the module could not start playback\n";
            return kExitFailure;
        }
        Clock& clock = clockFor();
        if (o.fadeInMs) {
            p.fade->Fade(static_cast<int>(o.fadeInMs), o.volume, false);
            level.Set(clock.Now(), o.volume, o.fadeInMs / 1000.0);
        }
        return Loop(clock, *player, p, level, rendering);
    }

    int Loop(Clock& clock, MusicPlayer& player, Interfaces& p, Level& level, bool rendering) {
        int handled = 0;
        bool interrupted = false, fadingOut = false, ended = false;
        int pass = 1;
        uint32_t lastPos = 0;
        std::optional<SteadyClock::time_point> endWait;
        auto lastShown = SteadyClock::now() - std::chrono::seconds(1);
        const uint32_t rate = src.info.rate;
        const double length = p.time->GetLengthMs() / 1000.0;
        auto startFadeOut = [&](double now) {
            p.fade->Fade(static_cast<int>(o.fadeOutMs), 0, true);
            level.Set(now, 0, o.fadeOutMs / 1000.0);
            fadingOut = true;
        };
        auto show = [&](double now, bool force) {
            if (!io.terminal || o.quiet) return;
            const auto wall = SteadyClock::now();
            if (!force && wall - lastShown < std::chrono::milliseconds(100)) return;
            lastShown = wall;
            const uint32_t pos = p.sample->GetPositionSamples();
            char text[160];
            const std::string passes =
                plan.loops == 0 ? std::to_string(pass) + " (looping)"
                                : std::to_string(pass) + " of " + std::to_string(plan.loops);
            std::snprintf(text, sizeof text, "\r%s %s / %s  pass %s  vol %3d%%  master %3d%%  ",
                          rendering ? "rendering" : "playing",
                          FormatTime(pos / double(rate)).c_str(), FormatTime(length).c_str(),
                          passes.c_str(), static_cast<int>(std::lround(level.At(now))), o.master);
            io.out << text << std::flush;
        };

        while (true) {
            const int irq = io.interrupts ? io.interrupts->load() : 0;
            const double now = clock.Now();
            relay.Pump();
            if (io.onStep) io.onStep(now);
            if (irq > handled) {
                handled = irq;
                interrupted = true;
                if (o.fadeOutMs && !fadingOut && irq == 1) {
                    startFadeOut(now);
                    plan.stopAt = std::min(plan.stopAt.value_or(1e18), now + o.fadeOutMs / 1e3);
                } else {
                    break;
                }
            }
            if (!fadingOut && plan.fadeOutAt && now >= *plan.fadeOutAt) startFadeOut(now);
            if (!player.IsPlaying()) {
                ended = true;
                break;
            }
            if (plan.stopAt && now >= *plan.stopAt) {
                // A fade-out that ends at the stop time stops the music itself: the clock
                // stands still for that moment, so nothing more plays at its last level.
                if (fadingOut && p.fade->IsFading()) {
                    if (!endWait) endWait = SteadyClock::now();
                    if (SteadyClock::now() - *endWait < std::chrono::seconds(1)) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                        continue;
                    }
                }
                break;
            }
            const uint32_t pos = p.sample->GetPositionSamples();
            if (pos < lastPos && (plan.loops == 0 || pass < plan.loops)) ++pass;
            lastPos = pos;
            show(now, false);
            double next = now + 0.1;
            if (plan.stopAt) next = std::min(next, *plan.stopAt);
            if (plan.fadeOutAt && !fadingOut && *plan.fadeOutAt > now) {
                next = std::min(next, *plan.fadeOutAt);
            }
            if (!clock.RunUntil(next)) {
                if (io.terminal && !o.quiet) io.out << "\n";
                io.err << "sonaflux-play: the sound device stopped keeping time\n";
                return kExitFailure;
            }
        }
        const double stoppedAt = clock.Now();
        show(stoppedAt, true);
        if (io.terminal && !o.quiet) io.out << "\n";
        player.Stop();
        // A stream that stopped after its file could not be read, or a file that lost
        // data while it played, is a failure: what was heard is not the music.
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
};

Plan MakePlan(const PlayOptions& o, const Source& src) {
    Plan plan;
    plan.loops = o.loops ? *o.loops : (src.demo ? 0 : 1);
    if (o.seconds) plan.stopAt = *o.seconds;
    if (plan.loops > 0) {
        const double end = src.loopEnd ? *src.loopEnd : src.info.frames;
        const double first = end - o.start.value_or(0);
        const double later = end - src.loopStart;
        plan.naturalEnd = (first + (plan.loops - 1) * later) / src.info.rate;
    }
    if (o.fadeOutMs) {
        std::optional<double> end = plan.stopAt;
        if (plan.naturalEnd && (!end || *plan.naturalEnd < *end)) end = plan.naturalEnd;
        if (end) plan.fadeOutAt = std::max(0.0, *end - o.fadeOutMs / 1000.0);
    }
    return plan;
}

// Where a render goes until it succeeded: beside the target, so that the final rename
// stays on one file system.
std::string RenderTempPath(const std::string& target) {
#ifdef _WIN32
    const unsigned long pid = GetCurrentProcessId();
#else
    const unsigned long pid = static_cast<unsigned long>(getpid());
#endif
    return target + ".part-" + std::to_string(pid);
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

int RunSessionOnce(const PlayOptions& o, const SessionIo& io, MessageRelay& relay) {
    Source src;
    TempFile temp;
    std::string error;
    if (!(o.file.empty() ? PrepareDemo(&src, &temp, &error) : PrepareFile(o, &src, &error))) {
        io.err << "sonaflux-play: " << error << "\n";
        return kExitFailure;
    }
    const uint32_t frames = src.info.frames;
    if (src.fileLoop.present) {
        const FileLoop& f = src.fileLoop;
        const bool usable = f.start < f.end && f.end <= frames;
        io.out << "file loop points: frames " << f.start << " to " << f.end
               << (!o.fileLoops ? " (not used: --no-file-loops)"
                   : usable     ? ""
                                : " (not used: outside the music)")
               << "\n";
        if (o.fileLoops && usable) {
            src.loopStart = f.start;
            src.loopEnd = f.end;
        }
        // The module may apply the file's points itself (Ogg Vorbis always): hand over
        // both points, so that exactly these apply.
        src.setBothPoints = true;
        if (!src.loopEnd) src.loopEnd = frames;
    }
    if (o.loopStart) src.loopStart = *o.loopStart;
    if (o.loopEnd) src.loopEnd = *o.loopEnd;
    const uint32_t end = src.loopEnd.value_or(frames);
    if (end > frames) {
        io.err << "sonaflux-play: --loop-end " << end << " lies past the last frame (" << frames
               << ")\n";
        return kExitUsage;
    }
    if (src.loopStart >= end) {
        io.err << "sonaflux-play: the loop start (frame " << src.loopStart
               << ") must come before the loop end (frame " << end << ")\n";
        return kExitUsage;
    }
    if (o.start && *o.start >= end) {
        io.err << "sonaflux-play: --start " << *o.start << " lies past the end of the music (frame "
               << end << ")\n";
        return kExitUsage;
    }

    Plan plan = MakePlan(o, src);
    std::string renderPath = o.renderPath;
    std::unique_ptr<LiveOutput> live;
    if (renderPath.empty()) {
        std::string why;
        live = OpenLiveOutput(o.verbose, &why);
        if (!live) {
            renderPath = o.fallbackPath;
            io.out << "sonaflux-play: output: " << renderPath << ", because " << why
                   << (o.verbose ? "" : " (--verbose shows the audio system's messages)") << "\n";
        }
    }
    const bool rendering = !live;
    if (rendering && plan.loops == 0 && !plan.stopAt) {
        plan.stopAt = 30.0;
        io.out << "sonaflux-play: the music loops endlessly; rendering 30 seconds "
                  "(--seconds sets another length)\n";
        if (o.fadeOutMs) plan.fadeOutAt = std::max(0.0, 30.0 - o.fadeOutMs / 1000.0);
    }

    io.out << (rendering ? "rendering " : "playing ") << src.label << " (" << Describe(src.info)
           << ")";
    if (src.loopStart || src.loopEnd) {
        io.out << ", loop " << FormatTime(double(src.loopStart) / src.info.rate) << "-"
               << FormatTime(double(end) / src.info.rate);
    }
    io.out << ", "
           << (plan.loops == 0 ? std::string("endless") : std::to_string(plan.loops) + " pass(es)");
    io.out << (rendering ? " into " + renderPath : std::string(" on ") + live->Name()) << "\n";

    std::string why;
    if (rendering && !CheckRenderTarget(o, renderPath, &why)) {
        io.err << "sonaflux-play: " << why << "\n";
        return kExitFailure;
    }
    Runner runner{o, io, src, plan, relay};
    Interfaces parts;
    if (!rendering) {
        SteadyTimer timer;
        std::unique_ptr<LiveClock> clock;
        return runner.Run(
            live->Device(), timer,
            [&]() -> Clock& {
                clock = std::make_unique<LiveClock>();
                return *clock;
            },
            &parts, false);
    }

    const std::string partPath = RenderTempPath(renderPath);
    TempFile part;  // removed unless it became the target
    part.Set(partPath);
    softds::DeviceOptions options;
    options.clock = softds::ClockKind::Manual;
    options.sink = softds::SinkKind::WavFile;
    options.wavPath = partPath;
    options.outputRate = kOutputRate;
    options.recordPlayed = false;
    options.recordCalls = false;
    options.volumeRampFrames = kOutputRate / 200;  // a volume step ramps over 5 ms: no click
    // The worker refills while the clock renders on; waits only when it must (a loop of a
    // few frames passes a notification every frame).
    options.overlapWorkers = true;
    softds::Device* device = softds::Device::Create(options);
    if (device == nullptr) {
        io.err << "sonaflux-play: cannot write " << renderPath << "\n";
        return kExitFailure;
    }
    struct Releaser {
        softds::Device* d;
        void Release() {
            if (d) d->Release();  // closes the WAV file
            d = nullptr;
        }
        ~Releaser() { Release(); }
    } releaser{device};
    FrameTimer timer(*device);
    // While a fade runs: about 200 steps over its length, each 10 to 100 ms of audio.
    auto fading = [&]() { return parts.fade != nullptr && parts.fade->IsFading(); };
    auto fadeStep = [&]() -> uint32_t {
        if (!fading()) return 0;
        const uint32_t ms = std::clamp<uint32_t>(std::max(o.fadeInMs, o.fadeOutMs) / 200, 10, 100);
        return ms * kOutputRate / 1000;
    };
    RenderClock clock(*device, timer, fadeStep, fading);
    const auto wallStart = SteadyClock::now();
    const int status = runner.Run(
        device->HostInterface(), timer, [&]() -> Clock& { return clock; }, &parts, true);
    if (status == kExitOk || status == kExitInterrupted) {
        const double wall = std::chrono::duration<double>(SteadyClock::now() - wallStart).count();
        const uint64_t mixed = device->MixedFrames();
        releaser.Release();
        std::error_code ec;
        std::filesystem::rename(partPath, renderPath, ec);
        if (ec) {
            io.err << "sonaflux-play: cannot write " << renderPath << ": " << ec.message() << "\n";
            return kExitFailure;
        }
        part.Set("");
        char text[64];
        std::snprintf(text, sizeof text, "%.2f", wall);
        io.out << "wrote " << renderPath << " (" << mixed << " frames at " << kOutputRate
               << " Hz, 16-bit stereo) in " << text << " s\n";
    }
    return status;
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
