#include "softds/buffer_state.h"

#include <algorithm>
#include <cmath>

namespace softds::detail {

namespace {

constexpr uint32_t kLockFromWriteCursor = 0x1;  // DSBLOCK_FROMWRITECURSOR
constexpr uint32_t kLockEntireBuffer = 0x2;     // DSBLOCK_ENTIREBUFFER
constexpr uint32_t kCtrlFrequency = 0x20;       // DSBCAPS_CTRLFREQUENCY
constexpr uint32_t kCtrlPan = 0x40;             // DSBCAPS_CTRLPAN

// Hundredths of a decibel to a linear factor; the minimum is silence, as in DirectSound.
double Attenuation(int32_t hundredths) {
    if (hundredths <= ds::DSBVOLUME_MIN) return 0.0;
    return std::pow(10.0, hundredths / 2000.0);
}

}  // namespace

BufferState::BufferState(std::shared_ptr<std::mutex> lock, uint32_t descSize, uint32_t flags,
                         uint32_t bytes, const ds::WAVEFORMATEX& format, const GUID& algorithm,
                         bool recordPlayed, bool recordCalls)
    : m_Lock(std::move(lock)),
      m_DescSize(descSize),
      m_Flags(flags),
      m_Bytes(bytes),
      m_Format(format),
      m_Algorithm(algorithm),
      m_RecordPlayed(recordPlayed),
      m_RecordCalls(recordCalls),
      m_Align(format.nBlockAlign),
      m_FrameCount((bytes + format.nBlockAlign - 1) / format.nBlockAlign),
      m_Frequency(format.nSamplesPerSec),
      m_LastActivity(SteadyClock::now()) {
    // A new buffer holds silence of its format.
    const uint8_t silence = format.wBitsPerSample == 8 ? 0x80 : 0x00;
    m_Memory.assign(bytes, silence);
    m_Committed.assign(bytes, silence);
    m_Fresh.assign(bytes, 0);
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

bool BufferState::LockedByOther(std::thread::id self) const {
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
        std::copy(p, p + n, m_Committed.begin() + static_cast<std::ptrdiff_t>(at));
        std::fill_n(m_Fresh.begin() + static_cast<std::ptrdiff_t>(at), n, uint8_t{1});
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
    if (!m_Playing) m_Phase = 0;
    m_Playing = true;
    m_Looping = looping;
}

void BufferState::DoStop(std::vector<Signal>& signals) {
    if (!m_Playing) return;
    m_Playing = false;
    m_Phase = 0;
    AddStopSignals(signals);
}

ds::HRESULT BufferState::DoSetPosition(uint32_t offset) {
    if (offset >= m_Bytes) return ds::DSERR_INVALIDPARAM;
    m_Frame = offset / m_Align;  // the cursor moves in whole frames
    m_Phase = 0;
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
    if (pan < -10000 || pan > 10000) return ds::DSERR_INVALIDPARAM;
    m_Pan = pan;
    UpdateGains();
    return ds::DS_OK;
}

ds::HRESULT BufferState::DoSetFrequency(uint32_t frequency) {
    if ((m_Flags & kCtrlFrequency) == 0) return ds::DSERR_CONTROLUNAVAIL;
    if (frequency == 0) frequency = m_Format.nSamplesPerSec;  // DSBFREQUENCY_ORIGINAL
    if (frequency < 100 || frequency > 200000) return ds::DSERR_INVALIDPARAM;
    m_Frequency = frequency;
    return ds::DS_OK;
}

uint32_t BufferState::StatusLocked() const {
    if (!PlayingLocked()) return 0;
    return ds::DSBSTATUS_PLAYING | (m_Looping ? ds::DSBSTATUS_LOOPING : 0u);
}

void BufferState::MarkReleased() {
    m_Released = true;
    m_Playing = false;
    m_OpenLocks.clear();
    std::vector<uint8_t>().swap(m_Memory);
    std::vector<uint8_t>().swap(m_Committed);
    std::vector<uint8_t>().swap(m_Fresh);
}

void BufferState::UpdateGains() {
    const double g = Attenuation(m_Volume);
    m_Gain[0] = g * (m_Pan > 0 ? Attenuation(-m_Pan) : 1.0);
    m_Gain[1] = g * (m_Pan < 0 ? Attenuation(m_Pan) : 1.0);
}

void BufferState::SampleFrame(uint32_t frame, int32_t out[2]) const {
    const size_t start = static_cast<size_t>(frame) * m_Align;
    const size_t end = std::min<size_t>(start + m_Align, m_Bytes);  // a short last frame
    const uint8_t* p = m_Committed.data();
    const unsigned channels = m_Format.nChannels;
    for (unsigned c = 0; c < channels; ++c) {
        int32_t v = 0;
        if (m_Format.wBitsPerSample == 16) {
            const size_t at = start + 2 * c;
            if (at + 2 <= end) v = static_cast<int16_t>(p[at] | (p[at + 1] << 8));
        } else {
            const size_t at = start + c;
            if (at < end) v = (static_cast<int32_t>(p[at]) - 128) * 256;
        }
        out[c] = v;
    }
    if (channels == 1) out[1] = out[0];
}

bool BufferState::Step(uint32_t outputRate, double* mix, std::vector<Signal>& signals) {
    if (!PlayingLocked()) return false;
    if (mix) {
        // Linear interpolation between the frame under the cursor and the next one.
        int32_t a[2];
        int32_t b[2];
        SampleFrame(m_Frame, a);
        uint32_t next = m_Frame + 1;
        if (next == m_FrameCount) next = m_Looping ? 0 : m_Frame;
        SampleFrame(next, b);
        const double t = static_cast<double>(m_Phase) / outputRate;
        for (int c = 0; c < 2; ++c) mix[c] += (a[c] + (b[c] - a[c]) * t) * m_Gain[c];
    }
    m_Phase += m_Frequency;
    bool passed = false;
    while (m_Playing && m_Phase >= outputRate) {
        m_Phase -= outputRate;
        passed |= PlayFrame(signals);
    }
    return passed;
}

bool BufferState::PlayFrame(std::vector<Signal>& signals) {
    const uint32_t start = m_Frame * m_Align;
    const uint32_t end = std::min(start + m_Align, m_Bytes);
    for (uint32_t i = start; i < end; ++i) {
        if (!m_Fresh[i]) ++m_Underruns;
        m_Fresh[i] = 0;
    }
    if (m_RecordPlayed) {
        m_Played.insert(m_Played.end(), m_Committed.begin() + start, m_Committed.begin() + end);
    }
    bool passed = false;
    for (uint32_t i = 0; i < m_Notifications.size(); ++i) {
        const uint32_t offset = m_Notifications[i].dwOffset;
        if (offset == kOffsetStop || offset < start || offset >= end) continue;
        signals.push_back({m_Notifications[i].hEventNotify, this, i});
        m_Signalled.push_back(i);
        passed = true;
    }
    if (++m_Frame == m_FrameCount) {
        m_Frame = 0;
        if (!m_Looping) {  // a buffer played once stops at its end, cursor back at 0
            m_Playing = false;
            m_Phase = 0;
            AddStopSignals(signals);
            passed = true;
        }
    }
    return passed;
}

void BufferState::AddStopSignals(std::vector<Signal>& signals) {
    for (uint32_t i = 0; i < m_Notifications.size(); ++i) {
        if (m_Notifications[i].dwOffset != kOffsetStop) continue;
        signals.push_back({m_Notifications[i].hEventNotify, this, i});
        m_Signalled.push_back(i);
    }
}

}  // namespace softds::detail
