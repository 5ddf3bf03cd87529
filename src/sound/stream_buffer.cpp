#include "sound/stream_buffer.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/diagnostics.h"
#include "base/message_delivery.h"
#include "base/messages.h"
#include "config/module_options.h"
#include "config/module_settings.h"
#include "sound/piece_queue.h"
#include "source/music_source.h"

namespace sonaflux {

CCritSec& StopGuard() {
    static CCritSec guard(LockRank::Stop, "StopGuard");
    return guard;
}

StreamBuffer::StreamBuffer() {
    m_Fade.SetStream(this);
}

StreamBuffer::~StreamBuffer() {
    Discard();
}

void StreamBuffer::Discard() {
    // The worker must be gone before anything it uses is freed, whatever the fade did. A
    // fade thread that did not end in time is cut off from this stream first, under the
    // lock it holds while it uses the stream, so it never reaches a released buffer.
    m_Fade.Stop();
    m_Fade.Detach();
    if (m_Thread.Handle() != nullptr) {
        // The worker ends only on the quit signal, and nothing but the signal can end it
        // (a thread is never killed). A SetEvent that fails (the system short of
        // resources; the fault tests inject one) is retried for about 100 ms. A worker
        // that never gets the signal is left blocked in its wait, where nothing will wake
        // it, rather than waited for without end.
        constexpr int kQuitSignalAttempts = 100;
        bool signalled = m_QuitEvent.Set();
        for (int attempt = 1; !signalled && attempt < kQuitSignalAttempts; ++attempt) {
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
    // The events already heard stay for the host to poll (their place in the count of
    // bytes written goes with the buffer); the rest will never be heard.
    if (m_Buffer) RestartEvents();
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
    CCritSecLock published(m_PositionGuard);
    m_Origins.clear();
    m_Fresh = false;
    // How the released buffer stopped (at the end, by a fade) says nothing of the next
    // one: a Play after the next load must start as after any load.
    ClearEndState();
}

bool StreamBuffer::Create(ds::IDirectSound* device, uint32_t segmentBytes, int32_t segments,
                          uint32_t channels, uint32_t rate, uint32_t bits) {
    m_Fade.SetStream(this);  // again after a Discard detached it
    m_SegmentCount = segments;
    const uint32_t bytes = static_cast<uint32_t>(segments) * segmentBytes;
    if (!CreateBuffer(device, bytes, channels, rate, bits)) return false;
    m_BufferBytes = bytes;
    m_Bits = bits;
    m_Underruns = 0;
    m_Overtaken = false;
    {
        CCritSecLock lock(m_FillGuard);
        CCritSecLock published(m_PositionGuard);
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

// Pulls `size` bytes of music into `destination`, the start of a segment, and records in
// `origin` where they came from. Where the reader delivered less, silence follows: the
// end of the data, or a read that failed (the music goes on after it at the next pull).
// The caller holds m_FillGuard.
bool StreamBuffer::PullLive(uint8_t* destination, uint32_t size, SegmentOrigin& origin) {
    const uint32_t before = m_Source->m_DataPosition.load();
    const uint32_t loopStart = m_Source->LoopStartBytes();
    const uint32_t loopEnd = m_Source->LoopEndBytes();
    uint32_t delivered = 0;
    const bool ok = m_Source->Gets(destination, static_cast<int32_t>(size), &delivered);
    delivered = std::min(delivered, size);
    origin = SegmentOrigin{};
    origin.filled = true;
    origin.start = before;
    if (delivered < size) {
        std::memset(destination + delivered, SilenceByte(), size - delivered);
        origin.silentFrom = delivered;
        origin.silenceEnds = !ok;
        origin.endedOnError = !ok && m_Source->DataGone();
    }
    if (!ok) m_DataEnded = true;

    // The reader reads up to the loop end, then from the loop start, as often as the
    // bytes delivered need: a loop shorter than a segment wraps several times in it.
    if (before + static_cast<uint64_t>(delivered) <= loopEnd) return ok;
    origin.wrapAt = before < loopEnd ? loopEnd - before : 0;
    origin.afterWrap = loopStart;
    origin.loopBytes = loopEnd > loopStart ? loopEnd - loopStart : 0;
    if (ok) {
        // Where the reader stands now must agree; a loop point that the host moved
        // during the pull leaves one wrap, found from where the reader stands.
        const uint32_t after = m_Source->m_DataPosition.load();
        const uint32_t sinceWrap = delivered - origin.wrapAt;
        uint32_t expected = loopStart + sinceWrap;
        if (origin.loopBytes != 0) {
            const uint32_t within = sinceWrap % origin.loopBytes;
            expected = within == 0 && sinceWrap > 0 ? loopEnd : loopStart + within;
        }
        if (after != expected) {
            const uint32_t fromLoop = std::min(after - m_Source->LoopStartBytes(), delivered);
            origin.wrapAt = delivered - fromLoop;
            origin.afterWrap = m_Source->LoopStartBytes();
            origin.loopBytes = 0;
        }
    }
    return ok;
}

uint32_t StreamBuffer::DataOffsetIn(const SegmentOrigin& origin, uint32_t within) {
    if (within >= origin.silentFrom) {
        // After the end: the caller reports the end. After a failed read, or where the
        // data is gone: the frame where the music goes on, or stopped.
        if (origin.silenceEnds && !origin.endedOnError) return kNone;
        within = origin.silentFrom;
    }
    if (within < origin.wrapAt) return origin.start + within;
    uint32_t sinceWrap = within - origin.wrapAt;
    if (origin.loopBytes != 0) sinceWrap %= origin.loopBytes;
    return origin.afterWrap + sinceWrap;
}

void StreamBuffer::Publish(size_t segment, const SegmentOrigin& origin) {
    CCritSecLock published(m_PositionGuard);
    if (segment < m_Origins.size()) m_Origins[segment] = origin;
}

void StreamBuffer::MarkDataEnd(uint32_t silenceFrom, const SegmentOrigin& origin) {
    const auto n = static_cast<uint32_t>(m_SegmentCount);
    const uint32_t segmentBytes = m_BufferBytes / n;
    // The segment of the last music byte (the one before, when a segment got none), then
    // one more: the same two segments whether the end was met by a first fill or a refill.
    const uint32_t last = ((silenceFrom + m_BufferBytes - 1) % m_BufferBytes) / segmentBytes;
    m_StopAfter = static_cast<int32_t>((last + 1) % n);
    CCritSecLock published(m_PositionGuard);
    m_ErrorOffset = DataOffsetIn(origin, origin.silentFrom);
    m_EndedOnError = origin.endedOnError;
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
    SegmentOrigin origin;
    bool ok = Pull(static_cast<uint8_t*>(r.first), r.firstBytes, origin);
    NoteWritten(origin, r.firstBytes);
    Publish(segment, origin);
    if (ok && r.second != nullptr) {
        // Only a fill that wraps past the end of the buffer has a second region.
        SegmentOrigin second;
        ok = Pull(static_cast<uint8_t*>(r.second), r.secondBytes, second);
        NoteWritten(second, r.secondBytes);
        Publish(0, second);
    }
    if (!ok && m_DataEnded) {
        MarkDataEnd((offset + EndOfMusicIn(origin, r.firstBytes)) % m_BufferBytes,
                    LastPart(origin));
    }
    const bool unlocked = UnlockRegion(r);
    return ok && unlocked;
}

bool StreamBuffer::FillInitial() {
    if (m_SegmentCount <= 0 || m_Buffer == nullptr) return false;
    CCritSecLock lock(m_FillGuard);
    if (IsLost() && !RestoreLost()) return false;  // all it writes is written again anyway
    ++m_FillGeneration;
    RestartEvents();
    m_Crossfade = Crossfade{};  // a new start: no piece is left under another
    if (m_Pieces != nullptr)
        m_Source = m_Pieces->Rewind(m_BufferBytes / static_cast<uint32_t>(m_SegmentCount));
    const auto n = static_cast<uint32_t>(m_SegmentCount);
    const uint32_t segmentBytes = m_BufferBytes / n;
    // Half the ring; a ring of one segment is filled whole, or its first lap would play
    // bytes that were never written.
    const uint32_t count = std::max<uint32_t>(n / 2, 1);
    m_DataEnded = false;
    m_FillHitEnd = false;
    m_StopAfter = -1;
    m_DeviceFailures = 0;
    m_EndedOnError = false;
    {
        CCritSecLock published(m_PositionGuard);
        std::fill(m_Origins.begin(), m_Origins.end(), SegmentOrigin{});
    }
    for (uint32_t i = 0; i < count; ++i) {
        if (m_DataEnded) {
            // The music ended in an earlier segment: the rest of the first half is silence.
            if (!WriteSilence(i * segmentBytes, segmentBytes, true)) return false;
        } else if (!FillSegment(i * segmentBytes, segmentBytes) && !m_DataEnded) {
            return false;
        }
        Sleep(0);
    }
    // A queued piece joined (at a segment's end, too) means the loaded piece's last pass ended.
    m_FillHitEnd = m_DataEnded || WritingPiece() != 0 ||
                   std::any_of(m_Origins.begin(), m_Origins.end(), [](const SegmentOrigin& o) {
                       return o.wrapAt != kNone || !o.joined.empty();
                   });
    m_NextSegment = count % n;
    m_Fresh = true;
    return true;
}

bool StreamBuffer::WriteSilence(uint32_t offset, uint32_t length, bool ends) {
    if (m_Buffer == nullptr || length == 0) return m_Buffer != nullptr;
    length = std::min(length, m_BufferBytes);
    Region r;
    if (!LockRegion(offset, length, r)) return false;
    if (r.first) std::memset(r.first, SilenceByte(), r.firstBytes);
    if (r.second) std::memset(r.second, SilenceByte(), r.secondBytes);
    // Mark the segments the silence covers: positions there report the end, or, for a
    // gap the device caused, the frame where the music goes on.
    const uint32_t resume = m_Source ? m_Source->m_DataPosition.load() : 0;
    const int64_t written = m_Written;
    m_Written += length;
    const uint32_t segmentBytes = m_BufferBytes / static_cast<uint32_t>(m_SegmentCount);
    CCritSecLock published(m_PositionGuard);
    for (uint32_t done = 0; done < length;) {
        const uint32_t at = (offset + done) % m_BufferBytes;
        const size_t segment = std::min<size_t>(at / segmentBytes, m_Origins.size() - 1);
        const uint32_t within = at - static_cast<uint32_t>(segment) * segmentBytes;
        SegmentOrigin& origin = m_Origins[segment];
        if (!ends) {
            origin = SegmentOrigin{};
            origin.filled = true;
            origin.silenceEnds = false;
            origin.piece = WritingPiece();
            origin.absStart = written + done - within;
            origin.start = resume - within;
            origin.silentFrom = within;
        } else {
            if (!origin.filled) {
                origin = SegmentOrigin{};
                origin.filled = true;
            }
            if (within == 0) {
                // The silence after the last piece: no piece joins in it, and positions
                // there report the end of the piece written last.
                origin.joined.clear();
                origin.piece = WritingPiece();
                origin.absStart = written + done;
            }
            if (within <= origin.silentFrom) origin.silenceEnds = true;
            origin.silentFrom = std::min(origin.silentFrom, within);
        }
        done += std::max<uint32_t>(segmentBytes - within, 1);
    }
    return UnlockRegion(r);
}

unsigned __stdcall StreamBuffer::WorkerMain(void* parameter) {
    auto* self = static_cast<StreamBuffer*>(parameter);
    MarkModuleThread();  // what it reports never waits for the host's callback
    const auto n = static_cast<DWORD>(self->m_NotifyEventCount);
    // At most 63 notifications (the load refuses more), so the array is the thread's own.
    HANDLE handles[MAXIMUM_WAIT_OBJECTS + 1] = {};
    handles[0] = self->m_QuitEvent.Handle();
    for (DWORD i = 0; i < n && i < MAXIMUM_WAIT_OBJECTS; ++i) {
        handles[i + 1] = self->m_NotifyEvents[i].Handle();
    }

    for (;;) {
        // A lost buffer signals nothing: the wait ends now and then to look for a loss.
        const DWORD result = WaitForMultipleObjects(n + 1, handles, FALSE, kLossCheckMs);
        if (result == WAIT_OBJECT_0) return 0;  // the quit event wins over notifications
        if (result == WAIT_TIMEOUT) {
            if (self->IsLost()) self->RecoverLostBuffer();
            continue;
        }
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
        return kThreadFailed;
    }
}

bool StreamBuffer::Refill(int32_t index, uint32_t generation) {
    CCritSecLock lock(m_FillGuard);
    if (m_Buffer == nullptr || generation != m_FillGeneration.load()) return false;
    const auto n = static_cast<uint32_t>(m_SegmentCount);
    const uint32_t segmentBytes = m_BufferBytes / n;
    const uint32_t half = n / 2;
    // The segment after the last one written: half a ring ahead of segment `index`, whose
    // end the cursor just passed. A worker that fell behind takes its pending
    // notifications lowest index first, not in playing order; counting on from what it
    // wrote keeps the music in order when it catches up.
    const uint32_t idx = m_NextSegment % n;
    m_NextSegment = (idx + 1) % n;
    const uint32_t offset = idx * segmentBytes;

    if (m_DataEnded) {
        // After the music's last byte: the buffer stops once the cursor has passed the
        // segment after the one holding it, however the end was met, and a buffer resumed
        // after that stops again at once. Until then every segment the cursor reaches is
        // silence, however small the ring (with two segments the one refilled is the next
        // to play).
        if (index == m_StopAfter || m_ReachedEnd.load()) {
            WriteSilence(offset, segmentBytes, true);
            m_Buffer->Stop();
            m_ReachedEnd = true;
            return false;
        }
        WriteSilence(offset, segmentBytes, true);
        return true;
    }

    NoteUnderrun(idx);
    if (FillSegment(offset, segmentBytes)) {
        m_DeviceFailures = 0;
        return true;
    }
    if (m_DataEnded) return true;  // the music's last bytes are in; silence follows them
    if (IsLost()) return RecoverLostBuffer();

    // The device refused the segment (Lock or Unlock): it plays as silence and the music
    // goes on after it. Only a device that keeps failing, refill after refill, for longer
    // than half a ring stops the buffer; a refill that succeeds starts the count again.
    WriteSilence(offset, segmentBytes, false);
    if (++m_DeviceFailures > half) {
        m_Buffer->Stop();
        m_ReachedEnd = true;
        return false;
    }
    return true;
}

bool StreamBuffer::RestartPlayback(bool looping) {
    if (m_Buffer == nullptr) return false;
    if (IsLost() && !RestoreAndRefill()) return false;
    if (!ds::Succeeded(m_Buffer->Stop())) return false;
    {
        // No notification of the previous playback is left to refill a segment. Where
        // the ring's data ends was set by the fill that playback starts from, and stays.
        CCritSecLock lock(m_FillGuard);
        m_DeviceFailures = 0;
        for (int32_t i = 0; i < m_NotifyEventCount; ++i) {
            if (m_NotifyEvents[i].Handle()) ResetEvent(m_NotifyEvents[i].Handle());
        }
        m_Fresh = false;
        m_ReachedEnd = false;
        m_StoppedByFade = false;
    }
    if (!ds::Succeeded(m_Buffer->SetCurrentPosition(0))) return false;
    m_PlayIntent = true;  // a loss from here on is played on by the worker's recovery
    return ds::Succeeded(m_Buffer->Play(0, 0, looping ? ds::DSBPLAY_LOOPING : 0));
}

bool StreamBuffer::StopGuarded() {
    CCritSecLock lock(StopGuard());
    if (m_Buffer == nullptr || !ds::Succeeded(m_Buffer->Stop())) return false;
    m_PlayIntent = false;
    return true;
}

bool StreamBuffer::StopForFade() {
    if (!StopGuarded()) return false;
    m_StoppedByFade = true;
    return true;
}

bool StreamBuffer::Resume() {
    if (m_Buffer == nullptr) return false;
    // Lost while paused: the ring is written again from the paused frame, and plays from
    // its first byte below.
    if (IsLost()) RestoreAndRefill();
    m_PlayIntent = true;
    // The ring was filled since playback stopped (a seek while paused): what is to be
    // heard begins at its first byte, not at the paused cursor.
    if (m_Fresh) return RestartPlayback(true);
    return ds::Succeeded(m_Buffer->Play(0, 0, ds::DSBPLAY_LOOPING));
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
        // A lost buffer is restored and rewritten from the frame that was playing.
        if (IsLost() && RecoverLostBuffer() &&
            ds::Succeeded(m_Buffer->GetCurrentPosition(&play, nullptr))) {
            return play;
        }
        ErrorBox(msg::kPositionFailed);
        return 0;
    }
    return play;
}

bool StreamBuffer::DataOffsetAt(uint32_t offset, uint32_t& dataOffset, uint32_t* piece) {
    // Only the published origins: never the fill lock, which a worker holds across its
    // disk reads.
    CCritSecLock published(m_PositionGuard);
    if (m_Buffer == nullptr || m_Origins.empty() || m_BufferBytes == 0) return false;
    if (m_Fresh) offset = 0;  // playback will begin with the ring's first byte
    const uint32_t segmentBytes = m_BufferBytes / static_cast<uint32_t>(m_SegmentCount);
    const size_t segment = std::min<size_t>(offset / segmentBytes, m_Origins.size() - 1);
    const uint32_t within = offset - static_cast<uint32_t>(segment) * segmentBytes;
    if (!m_Origins[segment].filled) return false;
    const SegmentOrigin& origin = PartAt(m_Origins[segment], within);
    dataOffset = DataOffsetIn(origin, within - origin.from);
    if (piece != nullptr) *piece = origin.piece;
    // Silence after the data became unreadable holds at the frame where it stopped.
    if (dataOffset == kNone && m_EndedOnError.load()) dataOffset = m_ErrorOffset;
    return true;
}

uint32_t StreamBuffer::RingStartOffset() {
    CCritSecLock published(m_PositionGuard);
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
