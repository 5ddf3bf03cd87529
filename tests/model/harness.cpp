#include "model/harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <sstream>
#include <thread>

#include "softds/softds.h"
#include "sonaflux/sonaflux.h"
#include "support/host_timer.h"
#include "support/interfaces.h"
#include "support/module_reset.h"
#include "support/test_files.h"
#include "support/wave_image.h"

namespace sonaflux::model {

using test::Bytes;
using test::InterfaceOf;

// The music files, the scratch working directory the settings file is written in, and
// the host timer the fades read.
struct Harness::Files {
    test::ScopedWorkingDirectory directory;
    std::vector<std::unique_ptr<test::TempFile>> files;
    test::HostTimer timer;
};

namespace {

constexpr uint32_t kTimerStart = 0xFFFFE000u;  // fades must survive the timer's wrap
constexpr int32_t kUnregistered = 40;

Entry WaveEntry(uint16_t channels, uint32_t rate, uint16_t bits, size_t pcmBytes, uint32_t seed,
                bool trailingChunk, Bytes& image) {
    const Bytes pcm = test::PatternPcm(pcmBytes, seed);
    test::WaveBuilder builder;
    builder.Format(1, channels, rate, bits).Data(pcm);
    if (trailingChunk) builder.Chunk("LIST", Bytes(10, 'x'));
    image = builder.Build();
    Entry e;
    e.rate = rate;
    e.bits = bits;
    e.frameBytes = channels * (bits / 8u);
    e.frames = static_cast<uint32_t>(pcmBytes / e.frameBytes);
    e.dataOffset = 44;
    e.imageBytes = static_cast<uint32_t>(image.size());
    e.pcm.assign(pcm.begin(), pcm.begin() + static_cast<long>(e.frames * e.frameBytes));
    return e;
}

// One player of the module, through the interfaces a host asks for.
struct PlayerUnderTest {
    MusicPlayer* player = nullptr;
    MusicLoopControl* loop = nullptr;
    MusicFadeControl* fade = nullptr;
    MusicPauseControl* pause = nullptr;
    MusicSampleInfo* samples = nullptr;
    MusicTimeInfo* time = nullptr;
    MusicLoopPoints* points = nullptr;
    MusicSeekControl* seek = nullptr;
    MusicSequence* sequence = nullptr;
    std::shared_ptr<softds::BufferRecord> record;

    explicit PlayerUnderTest(MusicPlayer* p)
        : player(p),
          loop(InterfaceOf<MusicLoopControl>(p, IID_MusicLoopControl)),
          fade(InterfaceOf<MusicFadeControl>(p, IID_MusicFadeControl)),
          pause(InterfaceOf<MusicPauseControl>(p, IID_MusicPauseControl)),
          samples(InterfaceOf<MusicSampleInfo>(p, IID_MusicSampleInfo)),
          time(InterfaceOf<MusicTimeInfo>(p, IID_MusicTimeInfo)),
          points(InterfaceOf<MusicLoopPoints>(p, IID_MusicLoopPoints)),
          seek(InterfaceOf<MusicSeekControl>(p, IID_MusicSeekControl)),
          sequence(InterfaceOf<MusicSequence>(p, IID_MusicSequence)) {}
};

// Whether the module played what the model says: byte for byte, except crossfaded samples
// (`mixed`), which may differ by 1 LSB (the module rounds in double precision).
bool SameSound(const Bytes& actual, const Bytes& expected, const Bytes& mixed,
               uint32_t sampleBytes) {
    if (actual.size() != expected.size()) return false;
    for (size_t i = 0; i < actual.size(); ++i) {
        if (!mixed[i]) {
            if (actual[i] != expected[i]) return false;
            continue;
        }
        const auto sample = [sampleBytes, i](const Bytes& b) {
            return sampleBytes == 1 ? b[i] - 128 : static_cast<int16_t>(b[i] | (b[i + 1] << 8));
        };
        if (std::abs(sample(actual) - sample(expected)) > 1) return false;
        i += sampleBytes - 1;
    }
    return true;
}

std::string FirstDifference(const Bytes& actual, const Bytes& expected) {
    size_t i = 0;
    while (i < actual.size() && i < expected.size() && actual[i] == expected[i]) ++i;
    std::ostringstream out;
    out << "played " << actual.size() << " bytes, the model " << expected.size()
        << "; first difference at byte " << i;
    if (std::getenv("SONAFLUX_MODEL_DUMP")) {
        out << "\nmodule:";
        for (uint8_t b : actual) out << ' ' << int(b);
        out << "\nmodel: ";
        for (uint8_t b : expected) out << ' ' << int(b);
    }
    return out.str();
}

}  // namespace

// The module and the model side by side for one sequence.
struct Harness::Session {
    Harness& h;
    MusicModule* module = nullptr;
    MusicVolumeControl* volume = nullptr;
    softds::Device* device = nullptr;
    std::vector<PlayerUnderTest> players;
    PlayerModel models[kPlayers];
    Geometry geometry;
    double master = 1.0;
    uint64_t frames = 0;
    std::string failure;

    explicit Session(Harness& harness) : h(harness) {
        test::RemoveFile("Sonaflux.ini");
        test::ResetModule(nullptr);  // the built-in settings
        module = static_cast<MusicModule*>(CreateInterface(&IID_MusicModule));
        softds::DeviceOptions options;
        options.outputRate = kOutputRate;
        device = softds::Device::Create(options);
        module->SetDirectSound(device->HostInterface());
        h.m_Files->timer.now = kTimerStart;
        module->SetTimer(&h.m_Files->timer);
        volume = static_cast<MusicVolumeControl*>(module->GetInterface(&IID_MusicVolumeControl));
        for (size_t i = 0; i < h.m_Files->files.size(); ++i) {
            const test::TempFile& f = *h.m_Files->files[i];
            module->SetPlayInfo(static_cast<int>(i), f.c_str(), 0,
                                static_cast<int>(h.m_Entries[i].imageBytes));
        }
        for (int i = 0; i < kPlayers; ++i) players.emplace_back(module->GetPlayer(i));
    }
    ~Session() {
        test::ResetModule(module);
        device->Release();
        test::RemoveFile("Sonaflux.ini");
    }

    uint32_t Now() const {
        return kTimerStart + static_cast<uint32_t>(frames * 1000 / kOutputRate);
    }

    bool Expect(bool same, const std::string& what) {
        if (!same && failure.empty()) failure = what;
        return same;
    }
    template <typename T>
    bool Same(int player, const char* query, T actual, T model) {
        ++h.counts.queries;
        if (actual == model) return true;
        std::ostringstream out;
        out << "player " << player << " " << query << ": module " << actual << ", model " << model;
        return Expect(false, out.str());
    }

    bool Apply(const Step& s);
    bool ApplyToPlayer(const Step& s, PlayerUnderTest& p, PlayerModel& m);
    bool ApplySequence(const Step& s, PlayerUnderTest& p, PlayerModel& m);
    const Entry* EntryOf(int32_t music) const {
        return music >= 0 && static_cast<size_t>(music) < h.m_Entries.size()
                   ? &h.m_Entries[static_cast<size_t>(music)]
                   : nullptr;
    }
    void Advance(uint32_t outputFrames);
    void CheckAll();
};

bool Harness::Session::Apply(const Step& s) {
    switch (s.op) {
        case Op::Settings: {
            std::ostringstream ini;
            ini << "NOTIFY_MAX=" << s.a << "\nRING_BUFFER_BLOCK_SIZE=" << s.b
                << "\nFADETYPE=" << s.c << "\n";
            const std::string text = ini.str();
            test::WriteFile("Sonaflux.ini", Bytes(text.begin(), text.end()));
            CreateInterface(&IID_MusicModule);
            geometry = Geometry{s.a, s.b, s.c};
            return true;
        }
        case Op::Advance:
            Advance(static_cast<uint32_t>(s.a));
            return true;
        case Op::Master: {
            master = s.a * 0.01;
            const bool applied = volume->SetMasterVolume(master);
            for (PlayerModel& m : models) m.ApplyMaster(master, geometry.fadeType);
            Expect(volume->GetMasterVolume() == master, "master volume reads back differently");
            return Expect(applied, "SetMasterVolume answered false");
        }
        default:
            break;
    }
    const int i = s.player;
    return ApplyToPlayer(s, players[static_cast<size_t>(i)], models[i]);
}

bool Harness::Session::ApplyToPlayer(const Step& s, PlayerUnderTest& p, PlayerModel& m) {
    bool actual = false, model = false;
    switch (s.op) {
        case Op::Load: {
            const Entry* entry = EntryOf(s.a);
            if (entry && PlayerModel::SegmentsTooShort(*entry, geometry, kOutputRate)) {
                ++h.counts.skipped;
                return true;
            }
            const auto count = device->BufferCount();
            actual = p.player->Load(s.a);
            model = m.Load(entry, s.a, geometry, master);
            if (actual && device->BufferCount() > count) {
                p.record = device->Buffer(device->BufferCount() - 1);
            }
            break;
        }
        case Op::Unload:
            actual = p.player->Unload(), model = m.Unload();
            break;
        case Op::Play:
            actual = p.player->Play(), model = m.Play();
            break;
        case Op::Stop:
            actual = p.player->Stop(), model = m.Stop();
            break;
        case Op::Pause:
            actual = p.pause->Pause(), model = m.Stop();
            break;
        case Op::Resume:
            actual = p.pause->Resume(), model = m.Resume();
            break;
        case Op::Seek:
            actual = p.seek->Seek(s.a), model = m.Seek(static_cast<uint32_t>(s.a));
            break;
        case Op::SetLoopStart:
            actual = p.points->SetLoopStart(s.a);
            model = m.SetLoopStart(static_cast<uint32_t>(s.a));
            break;
        case Op::SetLoopEnd:
            actual = p.points->SetLoopEnd(s.a);
            model = m.SetLoopEnd(static_cast<uint32_t>(s.a));
            break;
        case Op::SetLoopCount:
            actual = p.loop->SetLoopCount(s.a), model = true;
            m.loopCount = s.a;
            break;
        case Op::Fade:
            actual = p.fade->Fade(s.a, s.b, s.c != 0);
            model = m.Fade(s.a, s.b, s.c != 0, master, geometry.fadeType, Now());
            break;
        case Op::StopFade:
            actual = p.fade->StopFade(), model = true;
            m.StopFade(master, geometry.fadeType);
            break;
        default:
            return ApplySequence(s, p, m);
    }
    if (actual == model) return true;
    return Expect(false, std::string(OpName(s.op)) + " answered " + (actual ? "true" : "false") +
                             ", the model " + (model ? "true" : "false"));
}

bool Harness::Session::ApplySequence(const Step& s, PlayerUnderTest& p, PlayerModel& m) {
    const int player = static_cast<int>(&p - players.data());
    switch (s.op) {
        case Op::QueuePiece:
        case Op::ReplaceQueue: {
            const bool replace = s.op == Op::ReplaceQueue;
            const bool actual = replace ? p.sequence->ReplaceQueue(s.a, s.b, s.c)
                                        : p.sequence->QueuePiece(s.a, s.b, s.c);
            return Same(player, OpName(s.op), actual,
                        m.QueuePiece(EntryOf(s.a), s.a, s.b, s.c, replace));
        }
        case Op::ClearQueue:
            return Same(player, "ClearQueue", p.sequence->ClearQueue(), m.ClearQueue());
        case Op::SetMarker:
            return Same(player, "SetMarker", p.sequence->SetMarker(s.a, s.b),
                        m.SetMarker(s.a, s.b));
        case Op::ClearMarkers:
            return Same(player, "ClearMarkers", p.sequence->ClearMarkers(), m.ClearMarkers());
        case Op::PollEvents:
            for (;;) {
                MusicEvent actual{};
                Event model;
                const bool got = p.sequence->PollEvent(&actual);
                const bool due = m.PollEvent(model);
                if (!Same(player, "PollEvent", got, due) || !got) return failure.empty();
                ++h.counts.events;
                Same(player, "event player", actual.player, p.player);
                Same(player, "event kind", actual.kind, model.kind);
                Same(player, "event music", actual.musicNumber, model.music);
                if (!Same(player, "event frame", actual.frame, model.frame)) return false;
            }
        case Op::SwitchTo: {
            const PlayerModel::Switch outcome =
                m.SwitchOutcome(EntryOf(s.a), s.c, s.d, s.e, s.f, s.g);
            if (outcome == PlayerModel::Switch::LeftOut) {
                ++h.counts.switchesLeftOut;
                return true;
            }
            const bool taken = outcome == PlayerModel::Switch::Taken &&
                               m.SwitchTo(EntryOf(s.a), s.a, s.b, s.c, s.d, s.e, s.f, s.g);
            h.counts.switches += taken ? 1 : 0;
            h.counts.crossfades += taken && s.g > 0 ? 1 : 0;
            return Same(player, "SwitchTo", p.sequence->SwitchTo(s.a, s.b, s.c, s.d, s.e, s.f, s.g),
                        taken);
        }
        default:
            return Expect(false, "a step the player dispatch does not know");
    }
}

void Harness::Session::Advance(uint32_t outputFrames) {
    if (!Expect(device->Advance(outputFrames), "the stream workers did not settle")) return;
    frames += outputFrames;
    h.counts.frames += outputFrames;
    for (int i = 0; i < kPlayers; ++i) {
        PlayerUnderTest& p = players[static_cast<size_t>(i)];
        PlayerModel& m = models[i];
        if (!m.Loaded() || !p.record) continue;
        const Bytes actual = p.record->Played();
        p.record->ClearPlayed();
        PlayerModel early = m;
        Bytes expected, mixed;
        const bool wasPlaying = m.IsPlaying();
        m.Advance(outputFrames, kOutputRate, false, expected, mixed);
        if (wasPlaying && !m.IsPlaying()) ++h.counts.ends;
        h.counts.mixedBytes += static_cast<uint64_t>(std::count(mixed.begin(), mixed.end(), 1));
        if (SameSound(actual, expected, mixed, m.SampleBytes())) continue;
        // The other stop the model allows after the end of the music.
        Bytes alternative, alternativeMixed;
        early.Advance(outputFrames, kOutputRate, true, alternative, alternativeMixed);
        if (SameSound(actual, alternative, alternativeMixed, early.SampleBytes())) {
            m = early;
            ++h.counts.latitude;
            continue;
        }
        Expect(false, "player " + std::to_string(i) + " " + FirstDifference(actual, expected));
    }
    // The timer moves with the clock; a fade that has reached its end ends now, and the
    // check waits (bounded) until its thread has applied that end.
    h.m_Files->timer.now = Now();
    for (int i = 0; i < kPlayers; ++i) {
        if (!models[i].FadeDue(Now(), master, geometry.fadeType)) continue;
        ++h.counts.fadeEnds;
        MusicFadeControl* fade = players[static_cast<size_t>(i)].fade;
        Expect(test::Eventually([fade] { return !fade->IsFading(); }),
               "player " + std::to_string(i) + "'s fade did not end at its time");
    }
}

void Harness::Session::CheckAll() {
    for (int i = 0; i < kPlayers; ++i) {
        PlayerUnderTest& p = players[static_cast<size_t>(i)];
        PlayerModel& m = models[i];
        Same(i, "IsPlaying", p.player->IsPlaying(), m.IsPlaying());
        Same(i, "IsPaused", p.pause->IsPaused(), m.IsPlaying() ? 0 : 1);
        Same(i, "IsFading", p.fade->IsFading(), m.IsFading());
        Same(i, "GetPositionSamples", p.samples->GetPositionSamples(), m.Position());
        Same(i, "GetPositionMs", p.time->GetPositionMs(), m.PositionMs());
        Same(i, "GetLengthSamples", p.samples->GetLengthSamples(), m.Length());
        Same(i, "GetLengthSamples (seek)", p.seek->GetLengthSamples(), m.Length());
        Same(i, "GetLengthMs", p.time->GetLengthMs(), m.LengthMs());
        Same(i, "GetLoopCount", p.loop->GetLoopCount(), m.loopCount);
        Same(i, "GetQueuedCount", p.sequence->GetQueuedCount(), m.QueuedCount());
        Same(i, "GetHeardMusicNumber", p.sequence->GetHeardMusicNumber(), m.HeardMusic());
        Same(i, "GetLostEventCount", p.sequence->GetLostEventCount(), m.LostEvents());
        if (m.Loaded() && p.record) {
            int32_t low = 0, high = 0;
            m.VolumeRange(master, low, high);
            const int32_t v = p.record->Volume();
            ++h.counts.queries;
            std::ostringstream out;
            out << "player " << i << " volume " << v << ", the model " << low << ".." << high;
            Expect(v >= low && v <= high, out.str());
        }
    }
}

Harness::Harness() : m_Files(std::make_unique<Files>()) {
    struct Wave {
        uint16_t channels;
        uint32_t rate;
        uint16_t bits;
        size_t bytes;
        bool trailing;
    };
    // Several formats and sizes: plain, tiny at an odd rate, 8-bit at an odd rate, 8-bit
    // with a part frame at the end, a LIST chunk after the data, too short for most rings.
    const Wave waves[] = {{2, 8000, 16, 10000, false},
                          {1, 11025, 16, 74, false},
                          {1, 7919, 8, 700, false},
                          {2, 8000, 8, 601, false},
                          {2, 16000, 16, 4802, true},
                          {1, 22050, 16, 10, false},
                          // Pieces to join to the others (entry 6 is the Vorbis one).
                          {2, 8000, 16, 2400, false},
                          {1, 7919, 8, 37, false},
                          {2, 8000, 16, 12, false}};
    const auto addVorbis = [this] {
        const Bytes ogg = test::EncodeOggVorbis(1, 11025, 3000);
        Entry v;
        v.vorbis = true;
        v.rate = 11025;
        v.bits = 16;
        v.frameBytes = 2;
        v.pcm = test::DecodeOggVorbis(ogg);
        v.frames = static_cast<uint32_t>(v.pcm.size() / 2);
        v.imageBytes = static_cast<uint32_t>(ogg.size());
        m_Entries.push_back(v);
        m_Files->files.push_back(std::make_unique<test::TempFile>(ogg, "model"));
    };
    uint32_t seed = 1;
    for (const Wave& w : waves) {
        if (m_Entries.size() == 6) addVorbis();
        Bytes image;
        m_Entries.push_back(
            WaveEntry(w.channels, w.rate, w.bits, w.bytes, seed++, w.trailing, image));
        m_Files->files.push_back(std::make_unique<test::TempFile>(image, "model"));
    }
}

Harness::~Harness() = default;

Outcome Harness::Run(const Sequence& sequence) {
    Session session(*this);
    ++counts.sequences;
    for (size_t k = 0; k < sequence.size(); ++k) {
        session.Apply(sequence[k]);
        session.CheckAll();
        ++counts.steps;
        if (!session.failure.empty()) return Outcome{false, k, session.failure};
    }
    return Outcome{};
}

Sequence Harness::Generate(uint64_t seed, size_t steps) const {
    std::mt19937_64 rng(seed);
    const auto pick = [&rng](std::initializer_list<int32_t> values) {
        return *(values.begin() + rng() % values.size());
    };
    std::mt19937_64 fades(seed ^ 0x9E3779B97F4A7C15u);
    const auto pickFade = [&fades](std::initializer_list<int32_t> values) {
        return *(values.begin() + fades() % values.size());
    };
    const auto range = [&rng](int32_t low, int32_t high) {
        return low + static_cast<int32_t>(rng() % static_cast<uint64_t>(high - low + 1));
    };
    const auto frame = [&]() {
        switch (rng() % 8) {
            case 0:
                return range(0, 40);
            case 1:
                return pick({-1, 0x7FFFFFFF, 3000, 2500, 1200, 300});
            default:
                return range(0, 3100);
        }
    };
    // About one segment of the current settings, in output frames, so that advances are
    // counted in notifications: from one frame to a few rings.
    int32_t segment = 1, ring = 1;
    const auto settings = [&]() {
        const int32_t block =
            rng() % 8 == 0 ? pick({1, 2, 4, 6, 8, 12}) : pick({32, 64, 100, 256, 512, 1024, 4096});
        // Each first fill yields the processor once per segment it writes: mostly few.
        const int32_t n = pick({1, 1, 2, 2, 3, 3, 4, 4, 5, 6, 8, 16});
        segment = std::max(block / 3, 1);
        ring = std::min(segment * n, 3000);
        return Step{Op::Settings, 0, n, block, pick({0, 1, 2})};
    };
    const int players = 1 + static_cast<int>(rng() % kPlayers);
    const int32_t entries = static_cast<int32_t>(m_Entries.size());
    // Weights of the operations, in the order of the enum.
    const int weights[] = {2, 30, 8, 2, 10, 4, 4, 5, 6, 5, 5, 4, 6, 2, 3, 6, 2, 2, 3, 1, 6, 6};
    // Pieces are mostly drawn among the entries of the format last loaded on the player.
    std::vector<int32_t> loaded(kPlayers, 0);
    const auto piece = [&](int32_t player) {
        if (rng() % 16 == 0) return kUnregistered;
        const Entry& have = m_Entries[static_cast<size_t>(loaded[static_cast<size_t>(player)])];
        std::vector<int32_t> same;
        for (size_t i = 0; i < m_Entries.size(); ++i) {
            const Entry& e = m_Entries[i];
            if (e.rate == have.rate && e.frameBytes == have.frameBytes && e.bits == have.bits)
                same.push_back(static_cast<int32_t>(i));
        }
        return rng() % 4 == 0 ? range(0, entries - 1) : same[rng() % same.size()];
    };
    int total = 0;
    for (int w : weights) total += w;

    Sequence out{settings()};
    while (out.size() < steps) {
        int roll = static_cast<int>(rng() % static_cast<uint64_t>(total));
        int op = 0;
        while (roll >= weights[op]) roll -= weights[op++];
        Step s{static_cast<Op>(op), static_cast<int32_t>(rng() % static_cast<uint64_t>(players))};
        switch (s.op) {
            case Op::Settings:
                s = settings();
                break;
            case Op::Advance:
                // Mostly within a notification or two; now and then a few rings.
                switch (rng() % 20) {
                    case 0:
                        s.a = range(ring, 3 * ring);
                        break;
                    case 1:
                    case 2:
                        s.a = range(ring / 2 + 1, ring);
                        break;
                    case 3:
                    case 4:
                    case 5:
                    case 6:
                        s.a = range(segment, 3 * segment);
                        break;
                    case 7:
                    case 8:
                    case 9:
                    case 10:
                    case 11:
                        s.a = range(1, segment);
                        break;
                    default:
                        s.a = range(1, 3);
                        break;
                }
                break;
            case Op::Load:
                s.a = rng() % 16 == 0 ? kUnregistered : range(0, entries - 1);
                if (s.a != kUnregistered) loaded[static_cast<size_t>(s.player)] = s.a;
                break;
            case Op::Seek:
            case Op::SetLoopStart:
            case Op::SetLoopEnd:
                s.a = frame();
                break;
            case Op::SetLoopCount:
                s.a = pick({0, 1, 1, 2, 3, -1});
                break;
            case Op::Fade:
                s.a = pick({0, 0, 1, 5, 40, 250, 1500, -1});
                s.b = pick({-5, 0, 10, 50, 75, 100, 130});
                s.c = static_cast<int32_t>(rng() % 2);
                break;
            case Op::Master:
                s.a = pick({0, 10, 50, 80, 100, 100, 120, -20});
                break;
            case Op::QueuePiece:
            case Op::ReplaceQueue:
            case Op::SwitchTo:
                // Mostly pieces of a format that some entry shares.
                s.a = piece(s.player);
                s.b = pick({1, 1, 1, 2, 3, 0, -1});
                s.c = pick({0, 0, 0, 1, range(0, 40), range(0, 700), -1});
                s.d = range(0, 3) + (rng() % 32 == 0 ? 3 : 0);
                s.e = rng() % 32 == 0 ? -1 : frame();
                s.f = pick({0, 1, 7, 100, 1000});
                // Crossfades from a few frames to longer than most pieces; now and then
                // one out of range. Drawn apart, so the rest of a seed's sequence stays.
                s.g = fades() % 32 == 0 ? pickFade({-1, 60001})
                                        : pickFade({0, 0, 0, 1, 5, 30, 120, 700});
                break;
            case Op::SetMarker:
                s.a = piece(s.player);
                s.b = rng() % 2 ? range(0, 12) : frame();
                break;
            default:
                break;
        }
        out.push_back(s);
    }
    return out;
}

Sequence Harness::Shrink(const Sequence& failing) {
    Sequence current = failing;
    const auto fails = [this](const Sequence& s) { return !Run(s).agreed; };
    bool progress = true;
    for (int round = 0; progress && round < 8; ++round) {
        progress = false;
        for (size_t chunk = std::max<size_t>(current.size() / 2, 1);; chunk /= 2) {
            for (size_t i = 0; i + chunk <= current.size();) {
                Sequence candidate = current;
                candidate.erase(candidate.begin() + static_cast<long>(i),
                                candidate.begin() + static_cast<long>(i + chunk));
                if (fails(candidate)) {
                    current = std::move(candidate);
                    progress = true;
                } else {
                    i += chunk;
                }
            }
            if (chunk == 1) break;
        }
        for (Step& s : current) {
            while (s.op == Op::Advance && s.a > 1) {
                Step shorter = s;
                shorter.a = s.a / 2;
                Sequence candidate = current;
                candidate[static_cast<size_t>(&s - current.data())] = shorter;
                if (!fails(candidate)) break;
                s = shorter;
                progress = true;
            }
        }
    }
    return current;
}

std::string Harness::AsTest(uint64_t seed, const Sequence& sequence, const Outcome& outcome) {
    std::ostringstream out;
    out << "// Seed " << seed << ": after step " << outcome.step << ", " << outcome.what << "\n"
        << "TEST(ModelRegression, Seed" << seed << ") {\n    ExpectModelAgrees({\n";
    for (const Step& s : sequence) out << "        " << Describe(s) << ",\n";
    out << "    });\n}\n";
    return out.str();
}

void ExpectModelAgrees(const Sequence& sequence) {
    static Harness harness;
    const Outcome outcome = harness.Run(sequence);
    EXPECT_TRUE(outcome.agreed) << "after step " << outcome.step << " ("
                                << Describe(sequence[outcome.step]) << "): " << outcome.what;
}

}  // namespace sonaflux::model
