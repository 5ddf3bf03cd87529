#include "softds/buffer_state.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace softds::detail {

namespace {

constexpr uint32_t kLockFromWriteCursor = 0x1;  // DSBLOCK_FROMWRITECURSOR
constexpr uint32_t kLockEntireBuffer = 0x2;     // DSBLOCK_ENTIREBUFFER
constexpr uint32_t kCtrlFrequency = 0x20;       // DSBCAPS_CTRLFREQUENCY
constexpr uint32_t kCtrlPan = 0x40;             // DSBCAPS_CTRLPAN

// Copies what Unlock publishes. The destination plays a ring's length later, so it is not
// worth caching: streaming stores skip reading it into the cache before writing it.
void CopyToColdMemory(uint8_t* to, const uint8_t* from, size_t n) {
#if defined(__SSE2__)
    if (n >= 4096) {
        const size_t head = (16 - reinterpret_cast<uintptr_t>(to) % 16) % 16;
        std::memcpy(to, from, head);
        to += head;
        from += head;
        n -= head;
        const size_t blocks = n / 16;
        for (size_t i = 0; i < blocks; ++i) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 16 * i));
            _mm_stream_si128(reinterpret_cast<__m128i*>(to + 16 * i), v);
        }
        _mm_sfence();  // ordered before the lock's release publishes them
        std::memcpy(to + 16 * blocks, from + 16 * blocks, n % 16);
        return;
    }
#endif
    std::memcpy(to, from, n);
}

// Hundredths of a decibel to a linear factor; the minimum is silence, as in DirectSound.
double Attenuation(int32_t hundredths) {
    if (hundredths <= ds::DSBVOLUME_MIN) return 0.0;
    return std::pow(10.0, hundredths / 2000.0);
}

}  // namespace

BufferState::BufferState(std::shared_ptr<std::mutex> lock, uint32_t descSize, uint32_t flags,
                         uint32_t bytes, const ds::WAVEFORMATEX& format, const GUID& algorithm,
                         uint32_t outputRate, bool recordPlayed, bool recordCalls)
    : m_Lock(std::move(lock)),
      m_DescSize(descSize),
      m_Flags(flags),
      m_Bytes(bytes),
      m_Format(format),
      m_Algorithm(algorithm),
      m_OutputRate(outputRate),
      m_RecordPlayed(recordPlayed),
      m_RecordCalls(recordCalls),
      m_Align(format.nBlockAlign),
      m_FrameCount((bytes + format.nBlockAlign - 1) / format.nBlockAlign),
      m_Convert(ConverterFor(format.wBitsPerSample, format.nChannels)),
      m_Frequency(format.nSamplesPerSec),
      m_LastActivity(SteadyClock::now()) {
    // A new buffer holds silence of its format.
    const uint8_t silence = format.wBitsPerSample == 8 ? 0x80 : 0x00;
    m_Memory.assign(bytes, silence);
    m_Committed.assign(bytes, silence);
    SetRate(m_Frequency);
}

void BufferState::SetRate(uint32_t frequency) {
    m_Frequency = frequency;
    m_Resample = frequency != m_OutputRate;
    m_Half = m_Resample ? KernelHalfWidth(frequency, m_OutputRate) : 0;
    // Positions are kept in units of the two rates' common divisor, which the kernel's
    // exact rows are indexed by: a sub-unit rest of the previous rate is dropped.
    m_Phase -= m_Phase % std::gcd(frequency, m_OutputRate);
}

std::vector<ds::DSBPOSITIONNOTIFY> BufferState::Notifications() const {
    std::lock_guard<std::mutex> guard(*m_Lock);
    return m_Notifications;
}

bool BufferState::Released() const {
    std::lock_guard<std::mutex> guard(*m_Lock);
    return m_Released;
}

bool BufferState::Playing() const {
    std::lock_guard<std::mutex> guard(*m_Lock);
    return m_Playing;
}

bool BufferState::Looping() const {
    std::lock_guard<std::mutex> guard(*m_Lock);
    return m_Playing && m_Looping;
}

uint32_t BufferState::PlayCursor() const {
    std::lock_guard<std::mutex> guard(*m_Lock);
    return CursorBytes();
}

int32_t BufferState::Volume() const {
    std::lock_guard<std::mutex> guard(*m_Lock);
    return m_Volume;
}

std::vector<uint8_t> BufferState::Played() const {
    std::lock_guard<std::mutex> guard(*m_Lock);
    return m_Played;
}

void BufferState::ClearPlayed() {
    std::lock_guard<std::mutex> guard(*m_Lock);
    m_Played.clear();
}

uint64_t BufferState::Underruns() const {
    std::lock_guard<std::mutex> guard(*m_Lock);
    return m_Underruns;
}

std::vector<CallRecord> BufferState::Calls() const {
    std::lock_guard<std::mutex> guard(*m_Lock);
    return m_Calls;
}

std::vector<uint32_t> BufferState::Signalled() const {
    std::lock_guard<std::mutex> guard(*m_Lock);
    return m_Signalled;
}

size_t BufferState::HeldBytes() const {
    std::lock_guard<std::mutex> guard(*m_Lock);
    return m_Memory.capacity() + m_Committed.capacity() + m_Fresh.HeldBytes() +
           m_Notifications.capacity() * sizeof(ds::DSBPOSITIONNOTIFY) +
           m_OpenLocks.capacity() * sizeof(OpenLock) + m_Played.capacity() +
           m_Calls.capacity() * sizeof(CallRecord) + m_Signalled.capacity() * sizeof(uint32_t);
}

void BufferState::Log(Op op, ds::HRESULT result, uint64_t frame, uint32_t a, uint32_t b,
                      int32_t value) {
    if (!m_RecordCalls) return;
    CallRecord r;
    r.op = op;
    r.a = a;
    r.b = b;
    r.value = value;
    r.frame = frame;
    r.result = result;
    m_Calls.push_back(r);
}

bool BufferState::RegionHeldByOther(std::thread::id self) const {
    return std::any_of(m_OpenLocks.begin(), m_OpenLocks.end(),
                       [&](const OpenLock& l) { return l.owner != self; });
}

ds::HRESULT BufferState::DoLock(uint32_t offset, uint32_t bytes, void** first, uint32_t* firstBytes,
                                void** second, uint32_t* secondBytes, uint32_t flags) {
    if (first == nullptr || firstBytes == nullptr) return ds::DSERR_INVALIDPARAM;
    if ((flags & ~(kLockFromWriteCursor | kLockEntireBuffer)) != 0) return ds::DSERR_INVALIDPARAM;
    if (flags & kLockFromWriteCursor) offset = CursorBytes();  // nothing is mixed ahead
    if (flags & kLockEntireBuffer) bytes = m_Bytes;
    if (offset >= m_Bytes || bytes == 0 || bytes > m_Bytes) return ds::DSERR_INVALIDPARAM;

    uint32_t n1 = std::min(bytes, m_Bytes - offset);
    uint32_t n2 = bytes - n1;
    // Without room for a second region the lock ends at the end of the buffer.
    if (second == nullptr || secondBytes == nullptr) n2 = 0;
    uint8_t* p1 = m_Memory.data() + offset;
    uint8_t* p2 = n2 > 0 ? m_Memory.data() : nullptr;
    *first = p1;
    *firstBytes = n1;
    if (second) *second = p2;
    if (secondBytes) *secondBytes = n2;
    m_OpenLocks.push_back({p1, n1, p2, n2, std::this_thread::get_id()});
    return ds::DS_OK;
}

ds::HRESULT BufferState::DoUnlock(void* first, uint32_t firstBytes, void* second,
                                  uint32_t secondBytes) {
    // The regions must be those of an outstanding Lock, the sizes at most the locked ones.
    auto it = std::find_if(m_OpenLocks.begin(), m_OpenLocks.end(), [&](const OpenLock& l) {
        return first != nullptr && l.first == first && firstBytes <= l.firstBytes &&
               (secondBytes == 0 || (l.second == second && secondBytes <= l.secondBytes));
    });
    if (it == m_OpenLocks.end()) return ds::DSERR_INVALIDPARAM;
    const auto publish = [&](const uint8_t* p, uint32_t n) {
        if (n == 0) return;
        const size_t at = static_cast<size_t>(p - m_Memory.data());
        CopyToColdMemory(m_Committed.data() + at, p, n);
        m_Fresh.Add(static_cast<uint32_t>(at), static_cast<uint32_t>(at + n));
    };
    publish(it->first, firstBytes);
    publish(it->second, secondBytes);
    m_OpenLocks.erase(it);
    return ds::DS_OK;
}

void BufferState::AbandonLock(void* first) {
    m_OpenLocks.erase(std::remove_if(m_OpenLocks.begin(), m_OpenLocks.end(),
                                     [&](const OpenLock& l) { return l.first == first; }),
                      m_OpenLocks.end());
}

ds::HRESULT BufferState::DoSetNotifications(uint32_t count,
                                            const ds::DSBPOSITIONNOTIFY* positions) {
    if (count > 0 && positions == nullptr) return ds::DSERR_INVALIDPARAM;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t offset = positions[i].dwOffset;
        if (offset != kOffsetStop && offset >= m_Bytes) return ds::DSERR_INVALIDPARAM;
        if (positions[i].hEventNotify == nullptr) return ds::DSERR_INVALIDPARAM;
        if (i > 0 && offset < positions[i - 1].dwOffset) return ds::DSERR_INVALIDPARAM;
    }
    m_Notifications.assign(positions, positions + count);
    m_Signalled.clear();  // indices refer to the positions now set
    return ds::DS_OK;
}

void BufferState::DoPlay(bool looping) {
    if (!m_Playing) {
        m_Phase = 0;
        m_Sounding = false;
    }
    m_Playing = true;
    m_Looping = looping;
}

void BufferState::DoStop(std::vector<Signal>& signals) {
    if (!m_Playing) return;
    m_Playing = false;
    m_Phase = 0;
    m_Sounding = false;
    AddStopSignals(signals);
}

ds::HRESULT BufferState::DoSetPosition(uint32_t offset) {
    if (offset >= m_Bytes) return ds::DSERR_INVALIDPARAM;
    m_Frame = offset / m_Align;  // the cursor moves in whole frames
    m_Phase = 0;
    m_Heard = 0;  // what the kernel reads before the new cursor was not heard
    return ds::DS_OK;
}

ds::HRESULT BufferState::DoSetVolume(int32_t volume) {
    if ((m_Flags & ds::DSBCAPS_CTRLVOLUME) == 0) return ds::DSERR_CONTROLUNAVAIL;
    if (volume < ds::DSBVOLUME_MIN || volume > ds::DSBVOLUME_MAX) return ds::DSERR_INVALIDPARAM;
    m_Volume = volume;
    UpdateGains();
    return ds::DS_OK;
}

ds::HRESULT BufferState::DoSetPan(int32_t pan) {
    if ((m_Flags & kCtrlPan) == 0) return ds::DSERR_CONTROLUNAVAIL;
    if (pan < ds::kPanLeft || pan > ds::kPanRight) return ds::DSERR_INVALIDPARAM;
    m_Pan = pan;
    UpdateGains();
    return ds::DS_OK;
}

ds::HRESULT BufferState::DoSetFrequency(uint32_t frequency) {
    if ((m_Flags & kCtrlFrequency) == 0) return ds::DSERR_CONTROLUNAVAIL;
    if (frequency == 0) frequency = m_Format.nSamplesPerSec;  // DSBFREQUENCY_ORIGINAL
    if (frequency < ds::kFrequencyMin || frequency > ds::kFrequencyMax)
        return ds::DSERR_INVALIDPARAM;
    SetRate(frequency);
    return ds::DS_OK;
}

uint32_t BufferState::StatusLocked() const {
    if (m_Lost) return ds::DSBSTATUS_BUFFERLOST;
    if (!PlayingLocked()) return 0;
    return ds::DSBSTATUS_PLAYING | (m_Looping ? ds::DSBSTATUS_LOOPING : 0u);
}

bool BufferState::LoseLocked() {
    if (m_Released) return false;
    m_Lost = true;
    m_Playing = false;
    m_OpenLocks.clear();
    const uint8_t silence = m_Format.wBitsPerSample == 8 ? 0x80 : 0x00;
    std::fill(m_Memory.begin(), m_Memory.end(), silence);
    std::fill(m_Committed.begin(), m_Committed.end(), silence);
    m_Fresh.Clear();  // nothing written survives: playing it before a rewrite underruns
    return true;
}

void BufferState::MarkReleased() {
    m_Released = true;
    m_Playing = false;
    m_OpenLocks.clear();
    std::vector<uint8_t>().swap(m_Memory);
    std::vector<uint8_t>().swap(m_Committed);
    m_Fresh.Clear();
}

void BufferState::UpdateGains() {
    const double g = Attenuation(m_Volume);
    const float left = static_cast<float>(g * (m_Pan > 0 ? Attenuation(-m_Pan) : 1.0));
    const float right = static_cast<float>(g * (m_Pan < 0 ? Attenuation(m_Pan) : 1.0));
    if (left == m_Gain[0] && right == m_Gain[1]) return;
    m_Gain[0] = left;
    m_Gain[1] = right;
    m_GainChanged = true;
}

uint32_t BufferState::FramesToEvent(uint32_t limit) const {
    if (!PlayingLocked()) return limit;
    // Frames from the cursor to the first one holding a notification offset (the positions
    // are sorted; a stop position lies past every frame), or to the last frame of a buffer
    // played once.
    uint64_t distance = UINT64_MAX;
    const auto below = [](const ds::DSBPOSITIONNOTIFY& n, uint32_t at) { return n.dwOffset < at; };
    const auto next =
        std::lower_bound(m_Notifications.begin(), m_Notifications.end(), m_Frame * m_Align, below);
    if (next != m_Notifications.end() && next->dwOffset < m_Bytes) {
        distance = next->dwOffset / m_Align - m_Frame;
    } else if (m_Looping && !m_Notifications.empty() && m_Notifications[0].dwOffset < m_Bytes) {
        distance = uint64_t{m_FrameCount} - m_Frame + m_Notifications[0].dwOffset / m_Align;
    }
    if (!m_Looping) distance = std::min<uint64_t>(distance, m_FrameCount - 1 - m_Frame);
    if (distance == UINT64_MAX) return limit;
    // Output frame k plays the buffer frames that phase + k * rate carries past multiples of
    // the output rate.
    const uint64_t need = (distance + 1) * m_OutputRate - m_Phase;
    const uint64_t k = (need + m_Frequency - 1) / m_Frequency;
    return k < limit ? static_cast<uint32_t>(k) : limit;
}

void BufferState::Run(uint32_t frames, uint32_t rampFrames, std::vector<MixPiece>& pieces,
                      std::vector<uint8_t>& arena, std::vector<Signal>& signals) {
    if (!PlayingLocked() || frames == 0) return;
    if (!m_Sounding) m_Heard = 0;
    const uint32_t first = m_Frame;
    const uint64_t phase = m_Phase;
    const uint64_t rate = m_OutputRate;
    const uint64_t step = m_Frequency;
    // A buffer played once sounds up to the output frame in which it plays its last frame.
    uint32_t sounding = frames;
    bool ends = false;
    if (!m_Looping) {
        const uint64_t need = uint64_t{m_FrameCount - first} * rate - phase;
        const uint64_t k = (need + step - 1) / step;
        if (k <= frames) {
            sounding = static_cast<uint32_t>(k);
            ends = true;
        }
    }

    // Its piece of the mix: the frames that its output frames read, and its gain.
    // Resampled, output frame k reads the 2H frames around its position: H - 1 before it
    // (the history, silent where nothing was heard) and H from it on.
    MixPiece piece{};
    piece.convert = m_Convert;
    piece.resample = m_Resample;
    const uint64_t lastRead = (phase + (sounding - 1) * step) / rate;
    const uint32_t history = m_Resample ? m_Half - 1 : 0;
    piece.inFrames = static_cast<uint32_t>(lastRead + (m_Resample ? 2 * m_Half : 1));
    arena.resize((arena.size() + 15) & ~size_t{15}, 0);  // aligned lines convert faster
    piece.at = arena.size();
    CopyFrames(first, history, piece.inFrames, arena);
    piece.outFrames = sounding;
    piece.phase = static_cast<uint32_t>(phase);
    piece.step = m_Frequency;
    piece.rate = m_OutputRate;
    if (!m_Sounding || rampFrames == 0) {
        m_MixGain[0] = m_Gain[0];
        m_MixGain[1] = m_Gain[1];
        m_RampLeft = 0;
    } else if (m_GainChanged) {  // ramp from where the mix is to the new gain
        m_RampLeft = rampFrames;
        for (int c = 0; c < 2; ++c) m_RampStep[c] = (m_Gain[c] - m_MixGain[c]) / rampFrames;
    }
    m_GainChanged = false;
    const uint32_t ramp = std::min(m_RampLeft, sounding);
    for (int c = 0; c < 2; ++c) {
        piece.gain[c] = m_MixGain[c];
        piece.rampStep[c] = ramp > 0 ? m_RampStep[c] : 0.0f;
    }
    piece.rampFrames = ramp;
    m_RampLeft -= ramp;
    for (int c = 0; c < 2; ++c) {
        m_MixGain[c] =
            m_RampLeft == 0 ? m_Gain[c] : m_MixGain[c] + m_RampStep[c] * static_cast<float>(ramp);
        piece.held[c] = m_MixGain[c];
    }
    pieces.push_back(piece);
    m_Sounding = !ends;

    // The frames it plays, in ranges that end at the end of the buffer.
    uint64_t left = ends ? m_FrameCount - first : (phase + frames * step) / rate;
    m_Phase = ends ? 0 : static_cast<uint32_t>((phase + frames * step) % rate);
    m_Heard = static_cast<uint32_t>(std::min<uint64_t>(kMaxHalfWidth, uint64_t{m_Heard} + left));
    uint32_t frame = first;
    while (left > 0) {
        const uint32_t end = static_cast<uint32_t>(std::min<uint64_t>(m_FrameCount, frame + left));
        PlayFrames(frame, end, signals);
        left -= end - frame;
        frame = end == m_FrameCount ? 0 : end;
    }
    m_Frame = frame;
    if (ends) {  // a buffer played once stops at its end, cursor back at 0
        m_Playing = false;
        AddStopSignals(signals);
    }
}

void BufferState::PlayFrames(uint32_t first, uint32_t end, std::vector<Signal>& signals) {
    const uint32_t from = first * m_Align;
    const uint32_t to = std::min(end * m_Align, m_Bytes);
    m_Underruns += (to - from) - m_Fresh.Take(from, to);
    if (m_RecordPlayed) {
        m_Played.insert(m_Played.end(), m_Committed.begin() + from, m_Committed.begin() + to);
    }
    const auto below = [](const ds::DSBPOSITIONNOTIFY& n, uint32_t at) { return n.dwOffset < at; };
    auto it = std::lower_bound(m_Notifications.begin(), m_Notifications.end(), from, below);
    for (; it != m_Notifications.end() && it->dwOffset < to; ++it) {
        const auto index = static_cast<uint32_t>(it - m_Notifications.begin());
        signals.push_back({it->hEventNotify, this, index});
        if (m_RecordCalls) m_Signalled.push_back(index);
    }
}

void BufferState::AppendSilence(size_t bytes, std::vector<uint8_t>& arena) const {
    arena.resize(arena.size() + bytes, m_Format.wBitsPerSample == 8 ? 0x80 : 0x00);
}

void BufferState::CopyFrames(uint32_t first, uint32_t history, uint32_t count,
                             std::vector<uint8_t>& arena) const {
    const uint8_t* data = m_Committed.data();
    // Whole frames [from, from + n) of the buffer, the short last one completed so that
    // what is missing of it sounds as silence.
    const auto append = [&](uint32_t from, uint32_t n) {
        const size_t begin = size_t{from} * m_Align;
        const size_t end = std::min<size_t>(begin + size_t{n} * m_Align, m_Bytes);
        arena.insert(arena.end(), data + begin, data + end);
        const size_t missing = begin + size_t{n} * m_Align - end;
        if (missing == 0) return;
        if (m_Format.wBitsPerSample == 16) {
            const size_t partial = (m_Align - missing) % 2;  // half a sample plays as none
            arena.resize(arena.size() - partial);
            arena.resize(arena.size() + missing + partial, 0);
        } else {
            arena.resize(arena.size() + missing, 0x80);
        }
    };
    // The history that was heard: frames played since the buffer began to sound, and
    // never before frame 0 of a buffer played once.
    const uint32_t heard = std::min(history, m_Looping ? m_Heard : std::min(m_Heard, first));
    AppendSilence(size_t{history - heard} * m_Align, arena);
    count -= history - heard;
    uint32_t frame = static_cast<uint32_t>((uint64_t{first} + m_FrameCount - heard % m_FrameCount) %
                                           m_FrameCount);
    while (count > 0) {
        if (frame == m_FrameCount) {
            if (!m_Looping) {  // what the kernel reads past the end of the sound
                AppendSilence(size_t{count} * m_Align, arena);
                break;
            }
            frame = 0;
        }
        const uint32_t n = std::min(count, m_FrameCount - frame);
        append(frame, n);
        frame += n;
        count -= n;
    }
}

void BufferState::AddStopSignals(std::vector<Signal>& signals) {
    m_Sounding = false;
    for (uint32_t i = 0; i < m_Notifications.size(); ++i) {
        if (m_Notifications[i].dwOffset != kOffsetStop) continue;
        signals.push_back({m_Notifications[i].hEventNotify, this, i});
        if (m_RecordCalls) m_Signalled.push_back(i);
    }
}

}  // namespace softds::detail
