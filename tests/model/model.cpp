#include "model/model.h"

#include <algorithm>
#include <cmath>
#include <set>

namespace sonaflux::model {

int32_t Attenuation(double master, double level, int32_t fadeType) {
    if (!(master > 0.0 && level > 0.0)) return -10000;
    double x = master * level;
    if (fadeType != 1) x = x * x;
    if (!(x > 0.0)) return -10000;
    const long double db = 20.0L * std::log(static_cast<long double>(x)) / std::log(10.0L);
    if (db >= 0.0L) return 0;
    if (db <= -100.0L) return -10000;
    return static_cast<int32_t>(db) * 100;
}

namespace {

int32_t FramesToMs(uint32_t frames, uint32_t rate) {
    if (rate == 0) return 0;
    const double ms = frames / (rate * 0.001);
    return ms < 2147483647.0 ? static_cast<int32_t>(ms) : 2147483647;
}

}  // namespace

// ---- Loading ----

namespace {

// The frames of the ring a load makes, or 0 when the load fails.
uint32_t RingFrames(const Entry& entry, const Geometry& g) {
    const uint32_t fb = entry.frameBytes;
    if (g.segments < 1 || g.segments > 63 || g.segmentBytes <= 0) return 0;
    if (static_cast<uint32_t>(g.segmentBytes) < fb) return 0;
    const auto n = static_cast<uint32_t>(g.segments);
    auto bytes = static_cast<uint32_t>(g.segmentBytes);
    const uint32_t configuredFrames = bytes / fb;
    uint32_t frames = configuredFrames;
    if (uint64_t{entry.frames} * fb < uint64_t{n} * bytes) {
        // Data shorter than the ring: its frames shared out over the segments, but no
        // segment under 10 ms of audio unless the configured one is.
        frames = entry.frames / n;
        if (frames == 0) return 0;
        const uint32_t tenMs = std::max<uint32_t>(1, entry.rate / 100);
        frames = std::max(frames, std::min(tenMs, configuredFrames));
    }
    // DirectSound makes no buffer smaller than 4 bytes (DSBSIZE_MIN).
    if (uint64_t{n} * frames * fb < 4) return 0;
    return n * frames;
}

}  // namespace

bool PlayerModel::SegmentsTooShort(const Entry& entry, const Geometry& g, uint32_t outputRate) {
    const uint32_t frames = RingFrames(entry, g);
    const uint32_t step = (entry.rate + outputRate - 1) / outputRate;
    return frames != 0 && frames / static_cast<uint32_t>(g.segments) < step;
}

bool PlayerModel::Load(const Entry* entry, int32_t music, const Geometry& g, double master) {
    if (m_Loaded) Unload();
    m_Pieces.clear();
    m_Writing = 0;
    if (entry == nullptr) return false;  // no such music number
    // The reader opens the image first: its length and loop points are the new entry's
    // even when the ring cannot be made.
    if (m_Entry != nullptr) m_Main.passes = 1;
    m_Entry = entry;
    m_Music = music;
    m_Main.entry = entry;
    m_Main.music = music;
    m_Main.pos = 0;
    m_Main.loopStartBytes = 0;
    m_Main.loopEnd = entry->frames;

    const uint32_t frames = RingFrames(*entry, g);
    if (frames == 0) return false;
    const auto n = static_cast<uint32_t>(g.segments);
    m_Segments = n;
    m_SegmentFrames = frames / n;
    m_Ring.assign(size_t{n} * m_SegmentFrames, Cell{kSilence, 0, music, entry, 0, false});
    m_Known.assign(n, 0);
    m_Playing = false;
    m_Cursor = 0;
    m_Phase = 0;
    m_ReachedEnd = false;
    m_StoppedByFade = false;
    FillInitial();
    m_Loaded = true;
    m_Primed = true;
    m_LastPosition = 0;
    m_Level = 1.0;  // a new stream starts at the master volume
    m_Volume = Attenuation(master, m_Level, g.fadeType);
    return true;
}

bool PlayerModel::Unload() {
    m_Pieces.clear();
    m_Writing = 0;
    if (!m_Loaded) return true;
    RestartEvents();   // what was heard stays due; the rest never will be
    m_Fading = false;  // the fade's end goes with the buffer
    m_Loaded = false;
    m_Playing = false;
    m_Primed = false;
    m_Fresh = false;
    m_Level = 1.0;
    return true;
}

// ---- The reader and the ring ----

uint32_t PlayerModel::Pull(uint32_t count, Cell* out, bool& wrapped) {
    uint32_t delivered = 0;
    uint32_t limit = count;
    bool afterWrap = false;
    const auto read = [&](Reader& r) {
        const uint32_t k = r.pos < r.loopEnd ? std::min(limit - delivered, r.loopEnd - r.pos) : 0;
        for (uint32_t i = 0; i < k; ++i) {
            Cell& cell = out[delivered + i];
            cell = Cell{static_cast<int32_t>(r.pos + i),
                        r.slot,
                        r.music,
                        r.entry,
                        cell.at,
                        afterWrap && i == 0};
            cell.passes = r.passes;
            MixUnder(cell);
            NoteFrame(cell, cell.wrap);
        }
        if (k > 0) afterWrap = false;
        r.pos += k;
        delivered += k;
    };
    for (;;) {
        Reader& r = Writer();
        // An armed switch point within this pull: the reader writes up to it, no further.
        const uint32_t cut = CutBefore(r);
        const bool cutting = cut <= count - delivered;
        limit = cutting ? delivered + cut : count;
        read(r);
        while (delivered < limit) {
            // The end of the readable data: a wrap while passes remain.
            if (r.passes == 1) break;
            r.passes = r.passes > 1 ? r.passes - 1 : 0;
            wrapped = true;
            // A loop start at or past the loop end cannot be reached: the music ends.
            if (uint64_t{r.loopStartBytes} >= uint64_t{r.loopEnd} * r.entry->frameBytes) break;
            r.pos = r.loopStartBytes / r.entry->frameBytes;
            afterWrap = true;
            read(r);
        }
        if (cutting && delivered == limit) {
            // The switch's point: the switched-to piece's first frame follows; under a
            // crossfade the piece left goes on from here. A switch piece ClearQueue dropped
            // leaves nothing to join: the piece goes on, and no crossfade runs from here.
            m_Cut.armed = false;
            const Reader left = r;
            const bool joined = JoinNext();
            StartMix(left, false, joined ? m_Cut.mixFrames : 0);
            afterWrap = false;
            continue;
        }
        if (delivered == count) break;
        // The last pass ended, before the frame that follows it (silence or the next piece).
        Note(out[delivered].at, 1 /* MusicEvent::kPieceEnd */, r.music, r.loopEnd);
        if (!JoinNext()) break;
        afterWrap = false;
    }
    for (uint32_t i = delivered; i < count; ++i) {
        out[i] = Cell{kSilence, Writer().slot, Writer().music, Writer().entry, out[i].at, false};
    }
    return delivered;
}

// The next held piece becomes the one written, from its start frame with its passes.
bool PlayerModel::JoinNext() {
    if (m_Writing >= m_Pieces.size()) return false;
    const Piece& p = m_Pieces[m_Writing++];
    m_Joined = Reader{p.entry, p.music, p.id, p.start, 0, p.entry->frames, p.loops};
    return true;
}

void PlayerModel::FillSegment(uint32_t segment, bool& wrapped) {
    FillFrom(segment, 0, wrapped);
}

void PlayerModel::FillFrom(uint32_t segment, uint32_t within, bool& wrapped) {
    const uint32_t s = m_SegmentFrames;
    const uint32_t count = s - within;
    Cell* at = m_Ring.data() + size_t{segment} * s + within;
    m_Known[segment] = 1;
    const Reader& w = Writer();
    for (uint32_t i = 0; i < count; ++i)
        at[i] = Cell{kSilence, w.slot, w.music, w.entry, m_Written + i};
    m_Written += count;
    if (m_DataEnded) return;
    const uint32_t delivered = Pull(count, at, wrapped);
    if (delivered == count) return;
    m_DataEnded = true;
    // The segment of the last music frame (the one before when this one got none); the
    // buffer stops at the end of the segment after it.
    const uint32_t ring = m_Segments * s;
    const uint32_t after = segment * s + within + delivered;
    const uint32_t last = ((after + ring - 1) % ring) / s;
    m_LastSegment = static_cast<int32_t>(last);
    m_StopAfter = static_cast<int32_t>((last + 1) % m_Segments);
}

bool PlayerModel::FillInitial() {
    RestartEvents();
    m_Written = 0;
    m_LastNoted = 0;
    m_Writing = 0;  // back to the loaded piece; every held piece plays again after it
    m_Cut.armed = false;
    m_Mix = Mix{};  // a new start ends a crossfade
    m_RingStart = m_Main.pos;
    m_DataEnded = false;
    m_StopAfter = -1;
    m_LastSegment = -1;
    std::fill(m_Known.begin(), m_Known.end(), 0);
    const uint32_t count = std::max<uint32_t>(m_Segments / 2, 1);
    bool wrapped = false;
    for (uint32_t i = 0; i < count; ++i) FillSegment(i, wrapped);
    // The loaded piece's last pass ended in it (a queued piece joined): Play, which hands
    // the piece its loop count, fills again.
    m_FillHitEnd = m_DataEnded || wrapped || m_Writing > 0;
    m_Next = count % m_Segments;
    m_Fresh = true;
    return true;
}

void PlayerModel::Notify(uint32_t segment, bool earlyStop) {
    const uint32_t idx = m_Next;
    m_Next = (idx + 1) % m_Segments;
    const bool ended = m_DataEnded;
    bool wrapped = false;
    FillSegment(idx, wrapped);
    if (!ended) return;
    const auto j = static_cast<int32_t>(segment);
    if (j == m_StopAfter || m_ReachedEnd || (earlyStop && j == m_LastSegment)) {
        m_Playing = false;
        m_Phase = 0;
        m_ReachedEnd = true;
    }
}

namespace {

// A sample of `entry`'s frame `frame`, channel `c`, signed; 0 (silence) for kSilence.
int32_t SampleOf(const Entry* entry, int32_t frame, uint32_t c) {
    if (entry == nullptr || frame < 0) return 0;
    const uint32_t bytes = entry->bits / 8;
    const uint8_t* p =
        entry->pcm.data() + static_cast<size_t>(frame) * entry->frameBytes + c * bytes;
    return bytes == 1 ? p[0] - 128 : static_cast<int16_t>(p[0] | (p[1] << 8));
}

// The crossfade's frame: the piece left at cos and the new piece at sin of a quarter turn
// times k/n, each sum rounded to nearest and held to the sample range.
void AppendMixed(const Entry& in, int32_t frame, const Entry* out, int32_t outFrame, uint32_t k,
                 uint32_t n, std::vector<uint8_t>& played) {
    const long double angle = std::acos(-1.0L) / 2 * k / n;
    const uint32_t bytes = in.bits / 8;
    const long double high = bytes == 1 ? 127 : 32767;
    for (uint32_t c = 0; c < in.frameBytes / bytes; ++c) {
        const long double sum = SampleOf(out, outFrame, c) * std::cos(angle) +
                                SampleOf(&in, frame, c) * std::sin(angle);
        const auto v = static_cast<int32_t>(std::clamp(std::round(sum), -high - 1, high));
        if (bytes == 1) {
            played.push_back(static_cast<uint8_t>(v + 128));
        } else {
            played.push_back(static_cast<uint8_t>(v & 0xFF));
            played.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
        }
    }
}

}  // namespace

void PlayerModel::Advance(uint32_t outputFrames, uint32_t outputRate, bool earlyStop,
                          std::vector<uint8_t>& played, std::vector<uint8_t>& mixed) {
    if (!m_Loaded) return;
    const uint32_t fb = m_Entry->frameBytes;
    const uint32_t ringFrames = m_Segments * m_SegmentFrames;
    const uint8_t silence = m_Entry->bits == 8 ? 0x80 : 0x00;
    std::set<uint32_t> passed;
    for (uint32_t k = 0; k < outputFrames && m_Playing; ++k) {
        // Each output frame carries the buffer frames its rate moves past.
        m_Phase += m_Entry->rate;
        const uint64_t frames = m_Phase / outputRate;
        m_Phase %= outputRate;
        passed.clear();
        for (uint64_t i = 0; i < frames; ++i) {
            const Cell& cell = m_Ring[m_Cursor];
            mixed.insert(mixed.end(), fb, cell.frame >= 0 && cell.mixOf > 0 ? 1 : 0);
            if (cell.frame >= 0 && cell.mixOf > 0) {
                AppendMixed(*cell.entry, cell.frame, cell.mixEntry, cell.mixFrame, cell.mixAt,
                            cell.mixOf, played);
            } else if (cell.frame >= 0) {
                const auto from =
                    cell.entry->pcm.begin() + static_cast<long>(uint64_t(cell.frame) * fb);
                played.insert(played.end(), from, from + fb);
            } else {
                played.insert(played.end(), fb, silence);
            }
            if ((m_Cursor + 1) % m_SegmentFrames == 0) passed.insert(m_Cursor / m_SegmentFrames);
            m_Cursor = (m_Cursor + 1) % ringFrames;
        }
        // The notifications of one step are taken lowest index first, each once.
        for (uint32_t j : passed) Notify(j, earlyStop);
    }
}

// ---- Playback ----

bool PlayerModel::PrimeAt(uint32_t frame) {
    if (m_Entry == nullptr || frame >= m_Main.loopEnd) return false;
    m_Main.pos = frame;
    return m_Loaded && FillInitial();
}

bool PlayerModel::PrimeToContinue(uint32_t frame) {
    if (PrimeAt(frame)) return true;
    if (m_Entry == nullptr) return false;
    const uint32_t loopStart = m_Main.loopStartBytes / FrameBytes();
    return (loopStart != frame && PrimeAt(loopStart)) || (frame != 0 && PrimeAt(0));
}

void PlayerModel::StopBuffer() {
    m_Playing = false;
    m_Phase = 0;
}

bool PlayerModel::Restart() {
    if (!m_Loaded) return false;
    m_Fresh = false;
    m_ReachedEnd = false;
    m_StoppedByFade = false;
    m_Cursor = 0;
    m_Phase = 0;
    m_Playing = true;
    return true;
}

bool PlayerModel::Play() {
    if (m_Fading) {
        if (!m_Loaded) return false;
        StopBuffer();
    }
    m_Main.passes = loopCount;
    bool refill = true;
    uint32_t frame = 0;
    if (m_ReachedEnd || !m_Primed) {
        frame = 0;
    } else if (m_StoppedByFade) {
        frame = Position();  // the frame that was heard when the fade stopped it
        const Cell* heard = HeardCell();
        // A queued piece heard: the chain starts over.
        if (!m_Loaded || frame >= Length() || (heard && heard->slot != 0)) frame = 0;
    } else if (!m_Fresh) {
        frame = 0;
    } else if (m_FillHitEnd) {
        frame = m_RingStart;
    } else {
        refill = false;
    }
    if (refill) {
        StopBuffer();
        if (!PrimeToContinue(frame)) return false;
    }
    return Restart();
}

bool PlayerModel::Stop() {
    if (!m_Loaded) return false;
    StopBuffer();
    m_Primed = false;
    return true;
}

bool PlayerModel::Resume() {
    if (!m_Loaded) return false;
    if (m_Fresh) {
        Restart();  // a seek while paused: from the ring's first frame
        return true;
    }
    if (!m_Playing) {
        m_Playing = true;
        m_Phase = 0;
    }
    return true;
}

bool PlayerModel::Seek(uint32_t frame) {
    if (IsPlaying()) return false;
    if (!PrimeAt(frame)) return false;
    m_StoppedByFade = false;
    m_ReachedEnd = false;
    m_LastPosition = frame;
    m_Primed = true;
    return true;
}

void PlayerModel::RefreshUnplayedRing() {
    if (!m_Primed || !m_Fresh || IsPlaying()) return;
    PrimeToContinue(m_RingStart);
}

bool PlayerModel::SetLoopStart(uint32_t frame) {
    if (!m_Loaded) return false;
    m_Main.loopStartBytes =
        static_cast<uint32_t>(std::min<uint64_t>(uint64_t{frame} * FrameBytes(), 0xFFFFFFFFu));
    RefreshUnplayedRing();
    return true;
}

bool PlayerModel::SetLoopEnd(uint32_t frame) {
    if (!m_Loaded) return false;
    // An end past the music is its end, whatever the kind of file.
    m_Main.loopEnd = std::min(frame, m_Entry->frames);
    RefreshUnplayedRing();
    return true;
}

// ---- Queries ----

const PlayerModel::Cell* PlayerModel::HeardCell() const {
    if (m_Entry == nullptr || !m_Loaded) return nullptr;
    const uint32_t cursor = m_Fresh ? 0 : m_Cursor;
    return m_Known[cursor / m_SegmentFrames] ? &m_Ring[cursor] : nullptr;
}

uint32_t PlayerModel::Position() {
    if (m_Entry == nullptr || !m_Loaded) return 0;
    const Cell* heard = HeardCell();
    if (heard == nullptr) return m_LastPosition;
    const int32_t label = heard->frame;
    m_LastPosition = label >= 0 ? std::min<uint32_t>(label, Length()) : Length();
    return m_LastPosition;
}

uint32_t PlayerModel::Length() const {
    const Cell* heard = HeardCell();
    return heard ? heard->entry->frames : m_Entry ? m_Entry->frames : 0;
}

int32_t PlayerModel::PositionMs() {
    const uint32_t frame = Position();
    if (m_Entry == nullptr || !m_Loaded) return 0;
    return FramesToMs(frame, m_Entry->rate);
}

int32_t PlayerModel::LengthMs() const {
    return m_Entry ? FramesToMs(Length(), m_Entry->rate) : 0;
}

// ---- Volume and fades ----

void PlayerModel::ApplyLevel(double level, double master, int32_t fadeType) {
    if (!m_Loaded) return;
    m_Level = level;
    m_Volume = Attenuation(master, level, fadeType);
}

void PlayerModel::ApplyMaster(double master, int32_t fadeType) {
    ApplyLevel(m_Level, master, fadeType);
}

void PlayerModel::EndFade(double master, int32_t fadeType) {
    m_Fading = false;
    if (m_FadeStop) {
        StopBuffer();
        m_StoppedByFade = true;
    }
    ApplyLevel(m_FadeTo, master, fadeType);
}

bool PlayerModel::Fade(int32_t ms, int32_t percent, bool stop, double master, int32_t fadeType,
                       uint32_t now) {
    if (m_Fading) EndFade(master, fadeType);
    const double target = percent * 0.01;
    if (!m_Loaded) return true;
    if (ms == 0) {
        // An immediate target out of range is taken at its bound.
        ApplyLevel(std::clamp(target, 0.0, 1.0), master, fadeType);
        return stop ? Stop() : true;
    }
    if (!(target >= 0.0 && target <= 1.0)) return true;  // refused, still true
    m_Fading = true;
    m_FadeMs = ms;
    m_FadeFrom = m_Level;
    m_FadeTo = target;
    m_FadeStop = stop;
    m_FadeStart = now;
    return true;
}

void PlayerModel::StopFade(double master, int32_t fadeType) {
    if (m_Fading) EndFade(master, fadeType);
}

bool PlayerModel::FadeDue(uint32_t now, double master, int32_t fadeType) {
    if (!m_Fading || now - m_FadeStart < static_cast<uint32_t>(m_FadeMs)) return false;
    EndFade(master, fadeType);
    return true;
}

void PlayerModel::VolumeRange(double master, int32_t& low, int32_t& high) const {
    low = high = m_Volume;
    if (!m_Fading) return;
    // Any level between the start, its square (the squared curve's first step) and the
    // target, under either curve (the curve is read at every step).
    for (double level : {m_FadeFrom, m_FadeFrom * m_FadeFrom, m_FadeTo}) {
        for (int32_t type : {0, 1}) {
            const int32_t v = Attenuation(master, level, type);
            low = std::min(low, v);
            high = std::max(high, v);
        }
    }
}

}  // namespace sonaflux::model
