// The streaming workload of bench_streams on OpenAL Soft: N looping sources, each fed
// from its own handle on the same WAVE file through a queue of buffers, on the null
// output (ALSOFT_DRIVERS=null). One host thread polls every source and refills the
// buffers it has played, as a streaming host does.
//
// The lead matches the module's defaults: 8 queued buffers of 32768 bytes, the half
// ring that the module keeps ahead of the play cursor. OpenAL tells no time at which a
// buffer finished, so lateness is measured from the wall time at which buffer k of a
// source was due to end (its alSourcePlay time plus k + 1 buffer lengths) to the moment
// its replacement was queued: it includes the mixer's update period (the null output
// mixes 1024 frames at a time) and the poll period.
//
// Usage: peer_openal [--streams 1,8,32,64] [--seconds 10] [--poll-ms 5]
#include <AL/al.h>
#include <AL/alc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_common.h"

namespace {

using namespace sonaflux::bench;

constexpr uint32_t kRate = 44100;
constexpr uint32_t kMusicFrames = kRate * 4;
constexpr uint32_t kHeader = 44;
constexpr size_t kBufferBytes = 32768;
constexpr int kQueued = 8;

// One source's reader: the data chunk of the file, looped.
class LoopingFile {
public:
    explicit LoopingFile(const std::string& path) : m_File(std::fopen(path.c_str(), "rb")) {
        if (m_File) std::fseek(m_File, kHeader, SEEK_SET);
    }
    ~LoopingFile() {
        if (m_File) std::fclose(m_File);
    }
    LoopingFile(const LoopingFile&) = delete;
    LoopingFile& operator=(const LoopingFile&) = delete;
    bool Ok() const { return m_File != nullptr; }
    bool Read(uint8_t* out, size_t bytes) {
        size_t done = 0;
        while (done < bytes) {
            const size_t left = kMusicFrames * 4u - m_Position;
            const size_t want = std::min(bytes - done, left);
            const size_t got = std::fread(out + done, 1, want, m_File);
            if (got == 0) return false;
            done += got;
            m_Position += got;
            if (m_Position == kMusicFrames * 4u) {
                std::fseek(m_File, kHeader, SEEK_SET);
                m_Position = 0;
            }
        }
        return true;
    }

private:
    std::FILE* m_File;
    size_t m_Position = 0;
};

struct Stream {
    ALuint source = 0;
    ALuint buffers[kQueued] = {};
    std::unique_ptr<LoopingFile> file;
    uint64_t processed = 0;
    std::chrono::steady_clock::time_point started;
};

struct RunResult {
    double processUsPerStreamSecond = 0;
    double mixerUsPerStreamSecond = 0;
    double hostUsPerStreamSecond = 0;
    double latMedianMs = 0, latP99Ms = 0, latMaxMs = 0;
    size_t refills = 0;
    uint64_t underruns = 0;
    uint64_t frames = 0;
    double seconds = 0;
    bool ok = true;
};

RunResult RunOnce(int streams, double seconds, int pollMs, const std::string& music) {
    RunResult r;
    const std::vector<pid_t> beforeDevice = ThreadIds();
    ALCdevice* device = alcOpenDevice(nullptr);
    if (device == nullptr) {
        std::fprintf(stderr, "alcOpenDevice failed\n");
        r.ok = false;
        return r;
    }
    const ALCint attributes[] = {
        ALC_FREQUENCY, static_cast<ALCint>(kRate), ALC_MONO_SOURCES, 0, ALC_STEREO_SOURCES, 256, 0};
    ALCcontext* context = alcCreateContext(device, attributes);
    alcMakeContextCurrent(context);

    std::vector<uint8_t> chunk(kBufferBytes);
    std::vector<Stream> all(static_cast<size_t>(streams));
    for (Stream& s : all) {
        s.file = std::make_unique<LoopingFile>(music);
        alGenSources(1, &s.source);
        alGenBuffers(kQueued, s.buffers);
        for (ALuint b : s.buffers) {
            if (!s.file->Read(chunk.data(), chunk.size())) r.ok = false;
            alBufferData(b, AL_FORMAT_STEREO16, chunk.data(), static_cast<ALsizei>(chunk.size()),
                         kRate);
        }
        alSourceQueueBuffers(s.source, kQueued, s.buffers);
    }
    if (alGetError() != AL_NO_ERROR) r.ok = false;
    for (Stream& s : all) {
        alSourcePlay(s.source);
        s.started = std::chrono::steady_clock::now();
    }
    const std::vector<pid_t> mixerThreads = [&] {
        std::vector<pid_t> out;
        for (pid_t t : ThreadIds()) {
            bool known = false;
            for (pid_t b : beforeDevice) known |= b == t;
            if (!known) out.push_back(t);
        }
        return out;
    }();
    const pid_t host = beforeDevice.front();

    std::vector<double> lateMs;
    const uint64_t process0 = ProcessCpuMicros();
    const uint64_t mixer0 = ThreadsCpuNanos(mixerThreads);
    const uint64_t host0 = ThreadCpuNanos(host);
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        for (Stream& s : all) {
            ALint done = 0;
            alGetSourcei(s.source, AL_BUFFERS_PROCESSED, &done);
            for (ALint i = 0; i < done; ++i) {
                ALuint b = 0;
                alSourceUnqueueBuffers(s.source, 1, &b);
                if (!s.file->Read(chunk.data(), chunk.size())) r.ok = false;
                alBufferData(b, AL_FORMAT_STEREO16, chunk.data(),
                             static_cast<ALsizei>(chunk.size()), kRate);
                alSourceQueueBuffers(s.source, 1, &b);
            }
            if (done > 0) {
                const double now = std::chrono::duration<double, std::milli>(
                                       std::chrono::steady_clock::now() - s.started)
                                       .count();
                const double bufferMs = 1000.0 * (kBufferBytes / 4) / kRate;
                for (ALint i = 0; i < done; ++i) {
                    const double due = bufferMs * static_cast<double>(s.processed + 1);
                    lateMs.push_back(now - due);
                    ++s.processed;
                }
            }
            ALint state = 0;
            alGetSourcei(s.source, AL_SOURCE_STATE, &state);
            if (state != AL_PLAYING) {  // starved: everything queued had played
                ++r.underruns;
                alSourcePlay(s.source);
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
    }
    const uint64_t process1 = ProcessCpuMicros();
    const uint64_t mixer1 = ThreadsCpuNanos(mixerThreads);
    const uint64_t host1 = ThreadCpuNanos(host);
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.frames = all.empty() ? 0 : all[0].processed * (kBufferBytes / 4);
    if (alGetError() != AL_NO_ERROR) r.ok = false;

    for (Stream& s : all) {
        alSourceStop(s.source);
        alSourcei(s.source, AL_BUFFER, 0);
        alDeleteSources(1, &s.source);
        alDeleteBuffers(kQueued, s.buffers);
    }
    alcMakeContextCurrent(nullptr);
    alcDestroyContext(context);
    alcCloseDevice(device);

    const double streamSeconds = streams * r.seconds;
    r.processUsPerStreamSecond = static_cast<double>(process1 - process0) / streamSeconds;
    r.mixerUsPerStreamSecond = static_cast<double>(mixer1 - mixer0) / 1000.0 / streamSeconds;
    r.hostUsPerStreamSecond = static_cast<double>(host1 - host0) / 1000.0 / streamSeconds;
    r.latMedianMs = Percentile(lateMs, 0.5);
    r.latP99Ms = Percentile(lateMs, 0.99);
    r.latMaxMs = Percentile(lateMs, 1.0);
    r.refills = lateMs.size();
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    setenv("ALSOFT_DRIVERS", "null", 0);
    auto args = ParseArgs(argc, argv);
    const std::vector<int> counts =
        ParseIntList(args.count("streams") ? args["streams"] : "1,8,32,64");
    const double seconds = args.count("seconds") ? std::atof(args["seconds"].c_str()) : 10.0;
    const int pollMs = args.count("poll-ms") ? std::atoi(args["poll-ms"].c_str()) : 5;

    const std::string dir = MakeScratchDir("sonaflux-peer-openal");
    const std::string music = dir + "/music.wav";
    if (dir.empty() || !WriteToneWave(music, kRate, 2, kMusicFrames)) return 2;
    WarmPageCache(music);
    int status = 0;
    for (int n : counts) {
        const RunResult r = RunOnce(n, seconds, pollMs, music);
        if (!r.ok) status = 1;
        PrintResult({{"impl", "openal"},
                     {"streams", std::to_string(n)},
                     {"seconds", Fixed(r.seconds, 2)},
                     {"process_us_per_stream_s", Fixed(r.processUsPerStreamSecond, 1)},
                     {"mixer_us_per_stream_s", Fixed(r.mixerUsPerStreamSecond, 1)},
                     {"host_us_per_stream_s", Fixed(r.hostUsPerStreamSecond, 1)},
                     {"lat_median_ms", Fixed(r.latMedianMs, 2)},
                     {"lat_p99_ms", Fixed(r.latP99Ms, 2)},
                     {"lat_max_ms", Fixed(r.latMaxMs, 2)},
                     {"refills", std::to_string(r.refills)},
                     {"underruns", std::to_string(r.underruns)},
                     {"frames", std::to_string(r.frames)},
                     {"ok", r.ok ? "1" : "0"}});
    }
    RemoveTree(dir);
    return status;
}
