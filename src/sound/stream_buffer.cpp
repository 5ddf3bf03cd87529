#include "sound/stream_buffer.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/diagnostics.h"
#include "base/messages.h"
#include "config/module_options.h"
#include "config/module_settings.h"
#include "source/stream_source.h"

namespace sonaflux {

CCritSec& StopGuard() {
    static CCritSec guard;
    return guard;
}

StreamBuffer::StreamBuffer() {
    m_Fade.SetStream(this);
}

StreamBuffer::~StreamBuffer() {
    Discard();
}

void StreamBuffer::Discard() {
    // The worker must be gone before anything it uses is freed, whatever the fade did.
    m_Fade.Stop();
    if (m_Thread.Handle() != nullptr) {
        bool signalled = m_QuitEvent.Set();
        for (int attempt = 0; !signalled && attempt < 100; ++attempt) {
            Sleep(1);
            signalled = m_QuitEvent.Set();
        }
        if (signalled) m_Thread.Wait(INFINITE);
        m_Thread.Close();
    }
    ReleaseInterfaces();
    m_QuitEvent.Close();
    m_Fade.ResetVolume();
}

uint8_t StreamBuffer::SilenceByte() const {
    return m_Bits == 8 ? 0x80 : 0x00;
}

void StreamBuffer::ReleaseInterfaces() {
    // The interfaces go before the events: a buffer still playing signals its events
    // until it is released, and must never be left signalling closed handles.
    if (m_Notify) {
        m_Notify->Release();
        m_Notify = nullptr;
    }
    if (m_Buffer) {
        m_Buffer->Release();
        m_Buffer = nullptr;
    }
    m_NotifyEvents.reset();
    m_NotifyEventCount = 0;
    CCritSecLock lock(m_FillGuard);
    m_Origins.clear();
    m_Fresh = false;
}

bool StreamBuffer::Create(ds::IDirectSound* device, uint32_t segmentBytes, int32_t segments,
                          uint32_t channels, uint32_t rate, uint32_t bits) {
    m_SegmentCount = segments;
    const uint32_t bytes = static_cast<uint32_t>(segments) * segmentBytes;
    if (!CreateBuffer(device, bytes, channels, rate, bits)) return false;
    m_BufferBytes = bytes;
    m_Bits = bits;
    {
        CCritSecLock lock(m_FillGuard);
        m_Origins.assign(static_cast<size_t>(segments), SegmentOrigin{});
    }
    if (!m_QuitEvent.Create(nullptr)) return false;
    if (!CreateNotifications(segments)) return false;
    if (!m_Thread.Start(&StreamBuffer::WorkerMain, this)) return false;
    if (!Options().keepPriority.load() && !m_Thread.SetPriority(THREAD_PRIORITY_ABOVE_NORMAL)) {
        ErrorBox(msg::kSetPriorityFailed);
        return false;
    }
    return true;
}

bool StreamBuffer::CreateBuffer(ds::IDirectSound* device, uint32_t bytes, uint32_t channels,
                                uint32_t rate, uint32_t bits) {
    if (device == nullptr || m_Buffer != nullptr) return false;

    ds::WAVEFORMATEX format{};
    format.wFormatTag = ds::WAVE_FORMAT_PCM;
    format.nChannels = static_cast<uint16_t>(channels);
    format.nSamplesPerSec = rate;
    format.nBlockAlign = static_cast<uint16_t>((channels * bits) / 8);
    format.nAvgBytesPerSec = rate * format.nBlockAlign;
    format.wBitsPerSample = static_cast<uint16_t>(bits);
    format.cbSize = 0;

    ds::DSBUFFERDESC desc{};
    desc.dwFlags =
        ds::DSBCAPS_CTRLVOLUME | ds::DSBCAPS_CTRLPOSITIONNOTIFY | ds::DSBCAPS_GETCURRENTPOSITION2;
    if (Options().softwareBuffer.load()) desc.dwFlags |= ds::DSBCAPS_LOCSOFTWARE;
    if (Settings().GLOBALFOCUS.load()) desc.dwFlags |= ds::DSBCAPS_GLOBALFOCUS;
    desc.dwBufferBytes = bytes;
    desc.dwReserved = 0;
    desc.lpwfxFormat = &format;
    desc.guid3DAlgorithm = ds::DS3DALG_DEFAULT;
    // The short form ends after lpwfxFormat: the layout DirectSound before version 7 takes.
    desc.dwSize =
        Options().shortBufferDesc.load() ? sizeof(ds::DSBUFFERDESC1) : sizeof(ds::DSBUFFERDESC);

    ds::IDirectSoundBuffer* buffer = nullptr;
    if (!ds::Succeeded(device->CreateSoundBuffer(&desc, &buffer, nullptr)) || buffer == nullptr) {
        ErrorBox(msg::kBufferCreateFailed);
        return false;
    }
    m_Buffer = buffer;
    return true;
}

bool StreamBuffer::CreateNotifications(int32_t count) {
    if (m_Buffer == nullptr || m_Notify != nullptr || count <= 0) return false;
    void* notify = nullptr;
    if (!ds::Succeeded(m_Buffer->QueryInterface(ds::IID_IDirectSoundNotify, &notify)) ||
        notify == nullptr) {
        ErrorBox(msg::kNotifyQueryFailed);
        return false;
    }
    m_Notify = static_cast<ds::IDirectSoundNotify*>(notify);

    m_NotifyEvents.reset();
    m_NotifyEvents = std::make_unique<CEventObject[]>(static_cast<size_t>(count));
    m_NotifyEventCount = count;
    for (int32_t i = 0; i < count; ++i) {
        if (!m_NotifyEvents[i].Create(nullptr)) return false;
    }

    // Position j is the last byte of segment j.
    std::vector<ds::DSBPOSITIONNOTIFY> positions(static_cast<size_t>(count));
    const auto n = static_cast<uint32_t>(count);
    for (uint32_t j = 0; j < n; ++j) {
        positions[j].dwOffset = (j * m_BufferBytes) / n + m_BufferBytes / n - 1;
        positions[j].hEventNotify = m_NotifyEvents[j].Handle();
    }
    if (!ds::Succeeded(m_Notify->SetNotificationPositions(n, positions.data()))) {
        ErrorBox(msg::kSetPositionsFailed);
        return false;
    }
    return true;
}

// Pulls `size` bytes of music into `destination`, the start of segment `origin`. Records
// where the bytes came from; at the end of the data, silence follows the last byte.
// The caller holds m_FillGuard.
bool StreamBuffer::Pull(uint8_t* destination, uint32_t size, SegmentOrigin& origin) {
    const uint32_t before = m_Source->m_DataPosition.load();
    uint32_t delivered = 0;
    const bool ok = m_Source->Gets(destination, static_cast<int32_t>(size), &delivered);
    origin = SegmentOrigin{};
    origin.filled = true;
    origin.start = before;
    if (!ok) {
        delivered = std::min(delivered, size);
        std::memset(destination + delivered, SilenceByte(), size - delivered);
        origin.silentFrom = delivered;
        m_DataEnded = true;
        return false;
    }
    const uint32_t after = m_Source->m_DataPosition.load();
    if (after != before + size) {
        // The reader wrapped to the loop start inside these bytes.
        const uint32_t loopStart = m_Source->LoopStartBytes();
        const uint32_t fromLoop = std::min(after - loopStart, size);
        origin.wrapAt = size - fromLoop;
        origin.afterWrap = loopStart;
    }
    return true;
}

bool StreamBuffer::LockRegion(uint32_t offset, uint32_t length, Region& r) {
    return ds::Succeeded(
        m_Buffer->Lock(offset, length, &r.first, &r.firstBytes, &r.second, &r.secondBytes, 0));
}

bool StreamBuffer::UnlockRegion(const Region& r) {
    return ds::Succeeded(m_Buffer->Unlock(r.first, r.firstBytes, r.second, r.secondBytes));
}

bool StreamBuffer::FillSegment(uint32_t offset, uint32_t length) {
    if (m_Buffer == nullptr || m_Source == nullptr || m_SegmentCount <= 0) return false;
    Region r;
    if (!LockRegion(offset, length, r)) return false;
    const uint32_t segmentBytes = m_BufferBytes / static_cast<uint32_t>(m_SegmentCount);
    const size_t segment = std::min<size_t>(offset / segmentBytes, m_Origins.size() - 1);
    bool ok = Pull(static_cast<uint8_t*>(r.first), r.firstBytes, m_Origins[segment]);
    if (ok && r.second != nullptr) {
        // Only a fill that wraps past the end of the buffer has a second region.
        ok = Pull(static_cast<uint8_t*>(r.second), r.secondBytes, m_Origins[0]);
    }
    if (!ok) {
        m_SilenceFrom =
            (offset + std::min(m_Origins[segment].silentFrom, r.firstBytes)) % m_BufferBytes;
    }
    const bool unlocked = UnlockRegion(r);
    return ok && unlocked;
}

bool StreamBuffer::FillInitial() {
    if (m_SegmentCount <= 0 || m_Buffer == nullptr) return false;
    CCritSecLock lock(m_FillGuard);
    ++m_FillGeneration;
    const auto n = static_cast<uint32_t>(m_SegmentCount);
    const uint32_t segmentBytes = m_BufferBytes / n;
    // Half the ring; a ring of one segment is filled whole, or its first lap would play
    // bytes that were never written.
    const uint32_t count = std::max<uint32_t>(n / 2, 1);
    m_DataEnded = false;
    m_FillHitEnd = false;
    std::fill(m_Origins.begin(), m_Origins.end(), SegmentOrigin{});
    for (uint32_t i = 0; i < count; ++i) {
        if (m_DataEnded) {
            // The music ended in an earlier segment: the rest of the first half is silence.
            if (!WriteSilence(i * segmentBytes, segmentBytes)) return false;
        } else if (!FillSegment(i * segmentBytes, segmentBytes) && !m_DataEnded) {
            return false;
        }
        Sleep(0);
    }
    m_FillHitEnd =
        m_DataEnded || std::any_of(m_Origins.begin(), m_Origins.end(),
                                   [](const SegmentOrigin& o) { return o.wrapAt != 0xFFFFFFFFu; });
    m_WriteOffset = (count * segmentBytes) % m_BufferBytes;
    m_Fresh = true;
    return true;
}

bool StreamBuffer::WriteSilence(uint32_t offset, uint32_t length) {
    if (m_Buffer == nullptr || length == 0) return m_Buffer != nullptr;
    length = std::min(length, m_BufferBytes);
    Region r;
    if (!LockRegion(offset, length, r)) return false;
    if (r.first) std::memset(r.first, SilenceByte(), r.firstBytes);
    if (r.second) std::memset(r.second, SilenceByte(), r.secondBytes);
    // Mark the segments the silence covers, so positions there report the end.
    const uint32_t segmentBytes = m_BufferBytes / static_cast<uint32_t>(m_SegmentCount);
    for (uint32_t done = 0; done < length;) {
        const uint32_t at = (offset + done) % m_BufferBytes;
        const size_t segment = std::min<size_t>(at / segmentBytes, m_Origins.size() - 1);
        const uint32_t within = at - static_cast<uint32_t>(segment) * segmentBytes;
        SegmentOrigin& origin = m_Origins[segment];
        if (!origin.filled) {
            origin = SegmentOrigin{};
            origin.filled = true;
        }
        origin.silentFrom = std::min(origin.silentFrom, within);
        done += std::max<uint32_t>(segmentBytes - within, 1);
    }
    return UnlockRegion(r);
}

unsigned __stdcall StreamBuffer::WorkerMain(void* parameter) {
    auto* self = static_cast<StreamBuffer*>(parameter);
    const auto n = static_cast<DWORD>(self->m_NotifyEventCount);
    // At most 63 notifications (the load refuses more), so the array is the thread's own.
    HANDLE handles[MAXIMUM_WAIT_OBJECTS + 1] = {};
    handles[0] = self->m_QuitEvent.Handle();
    for (DWORD i = 0; i < n && i < MAXIMUM_WAIT_OBJECTS; ++i) {
        handles[i + 1] = self->m_NotifyEvents[i].Handle();
    }

    for (;;) {
        const DWORD result = WaitForMultipleObjects(n + 1, handles, FALSE, INFINITE);
        if (result == WAIT_OBJECT_0) return 0;  // the quit event wins over notifications
        if (result > WAIT_OBJECT_0 && result <= WAIT_OBJECT_0 + n) {
            // Read before the fill lock is taken: a first fill that gets in between makes
            // this notification stale.
            const uint32_t generation = self->m_FillGeneration.load();
            self->Refill(static_cast<int32_t>(result - WAIT_OBJECT_0 - 1), generation);
            continue;
        }
        // The buffer keeps looping over what it holds until it is stopped.
        ErrorBox(msg::kWaitError);
        DebugPrint("WaitForMultipleObjects: 0x%08X", static_cast<unsigned>(result));
        return 0xFFFFFFFFu;
    }
}

bool StreamBuffer::Refill(int32_t index, uint32_t generation) {
    CCritSecLock lock(m_FillGuard);
    if (m_Buffer == nullptr || generation != m_FillGeneration.load()) return false;
    const auto n = static_cast<uint32_t>(m_SegmentCount);
    const uint32_t segmentBytes = m_BufferBytes / n;
    const uint32_t half = n / 2;
    uint32_t idx = half + static_cast<uint32_t>(index);
    if (idx >= n) idx -= n;
    const uint32_t offset = idx * segmentBytes;

    // The segment half a ring ahead of the one whose end the cursor just passed.
    bool endedNow = false;
    if (!m_DataEnded) {
        if (FillSegment(offset, segmentBytes)) {
            m_WriteOffset = offset;
            return true;
        }
        endedNow = m_DataEnded;
        if (!endedNow) m_SilenceFrom = offset;  // a device failure, not the data's end
    }
    // After the music's last segment every segment the cursor reaches is silence, however
    // small the ring (with two segments the one refilled is the next to play).
    if (!endedNow) WriteSilence(offset, segmentBytes);

    // The end of the data: the last segment stays, then half a ring of silence after the
    // music's last byte, then the buffer stops once the silence has played.
    if (m_Failures == 1) {
        if (!WriteSilence(m_SilenceFrom, half * segmentBytes)) return false;
        m_Failures = 2;
        return true;
    }
    if (m_Failures > half) {
        m_Buffer->Stop();
        m_ReachedEnd = true;
        return false;
    }
    ++m_Failures;
    m_WriteOffset = offset;
    return true;
}

bool StreamBuffer::RestartPlayback(bool looping) {
    if (m_Buffer == nullptr) return false;
    if (!ds::Succeeded(m_Buffer->Stop())) return false;
    {
        // Every restart ends the same way: the end-of-data count starts again, and no
        // notification of the previous playback is left to refill a segment.
        CCritSecLock lock(m_FillGuard);
        m_Failures = 0;
        for (int32_t i = 0; i < m_NotifyEventCount; ++i) {
            if (m_NotifyEvents[i].Handle()) ResetEvent(m_NotifyEvents[i].Handle());
        }
        m_Fresh = false;
        m_ReachedEnd = false;
        m_StoppedByFade = false;
    }
    if (!ds::Succeeded(m_Buffer->SetCurrentPosition(0))) return false;
    return ds::Succeeded(m_Buffer->Play(0, 0, looping ? ds::DSBPLAY_LOOPING : 0));
}

bool StreamBuffer::StopLocked() {
    CCritSecLock lock(StopGuard());
    return m_Buffer != nullptr && ds::Succeeded(m_Buffer->Stop());
}

bool StreamBuffer::StopForFade() {
    if (!StopLocked()) return false;
    m_StoppedByFade = true;
    return true;
}

bool StreamBuffer::Resume() {
    if (m_Buffer == nullptr) return false;
    m_Fresh = false;
    m_Buffer->Play(0, 0, ds::DSBPLAY_LOOPING);
    return true;
}

bool StreamBuffer::IsPlaying() {
    if (m_Buffer == nullptr) return false;
    uint32_t status = 0;
    if (!ds::Succeeded(m_Buffer->GetStatus(&status))) return false;
    return (status & ds::DSBSTATUS_PLAYING) != 0;
}

uint32_t StreamBuffer::PlayCursor() {
    if (m_Buffer == nullptr) return 0;
    uint32_t play = 0;
    if (!ds::Succeeded(m_Buffer->GetCurrentPosition(&play, nullptr))) {
        ErrorBox(msg::kPositionFailed);
        return 0;
    }
    return play;
}

bool StreamBuffer::DataOffsetAt(uint32_t offset, uint32_t& dataOffset) {
    CCritSecLock lock(m_FillGuard);
    if (m_Buffer == nullptr || m_Origins.empty() || m_BufferBytes == 0) return false;
    if (m_Fresh) offset = 0;  // playback will begin with the ring's first byte
    const uint32_t segmentBytes = m_BufferBytes / static_cast<uint32_t>(m_SegmentCount);
    const size_t segment = std::min<size_t>(offset / segmentBytes, m_Origins.size() - 1);
    const uint32_t within = offset - static_cast<uint32_t>(segment) * segmentBytes;
    const SegmentOrigin& origin = m_Origins[segment];
    if (!origin.filled) return false;
    if (within >= origin.silentFrom) {
        dataOffset = 0xFFFFFFFFu;  // silence after the end: the caller reports the end
    } else if (within >= origin.wrapAt) {
        dataOffset = origin.afterWrap + (within - origin.wrapAt);
    } else {
        dataOffset = origin.start + within;
    }
    return true;
}

uint32_t StreamBuffer::RingStartOffset() {
    CCritSecLock lock(m_FillGuard);
    return m_Origins.empty() ? 0 : m_Origins[0].start;
}

bool StreamBuffer::Shutdown() {
    if (!m_Fade.Stop()) return false;
    if (!m_QuitEvent.Set()) return false;
    if (!m_Thread.Wait(INFINITE)) return false;
    ReleaseInterfaces();
    m_Fade.ResetVolume();
    return true;
}

}  // namespace sonaflux
