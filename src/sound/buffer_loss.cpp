// Lost buffers. DirectSound answers DSERR_BUFFERLOST when another program takes the device
// (and after some device changes): the buffer has stopped without a notification and its
// memory is gone. The stream then restores it and rewrites the ring from the frame that
// was playing, and plays on if it was playing; what the loss cut out of the music was
// never heard, so nothing stale or wrong plays.
//
// Where a loss is met: a refill whose Lock fails, a play, a position query, a first fill,
// and, since a lost buffer signals nothing, the worker itself, which looks at the status
// every kLossCheckMs while it waits for notifications. A Restore that fails is tried
// again at each of those checks; the first failure leaves a debugger line, and a box
// shows once when kRestoreAttempts in a row have failed (about five seconds).
#include "base/diagnostics.h"
#include "base/messages.h"
#include "sound/stream_buffer.h"
#include "source/music_source.h"

namespace sonaflux {

namespace {
constexpr uint32_t kRestoreAttempts = 50;
}  // namespace

bool StreamBuffer::IsLost() {
    uint32_t status = 0;
    return m_Buffer != nullptr && ds::Succeeded(m_Buffer->GetStatus(&status)) &&
           (status & ds::DSBSTATUS_BUFFERLOST) != 0;
}

bool StreamBuffer::RestoreLost() {
    if (!IsLost()) return true;
    const ds::HRESULT hr = m_Buffer->Restore();
    if (ds::Succeeded(hr)) {
        m_RestoreFailures = 0;
        return true;
    }
    if (m_RestoreFailures == 0) DebugPrint(msg::kRestoreFailed, static_cast<unsigned>(hr));
    if (++m_RestoreFailures == kRestoreAttempts) ErrorBox(msg::kBufferNotRestored);
    return false;
}

bool StreamBuffer::RestoreAndRefill() {
    CCritSecLock lock(m_FillGuard);
    if (m_Buffer == nullptr || m_Source == nullptr || !IsLost()) return m_Buffer != nullptr;
    if (!RestoreLost()) return false;
    // The frame that was playing (the ring's first when playback had not begun).
    uint32_t cursor = 0;
    uint32_t dataOffset = 0;
    if (!ds::Succeeded(m_Buffer->GetCurrentPosition(&cursor, nullptr))) cursor = 0;
    if (!DataOffsetAt(cursor, dataOffset)) dataOffset = RingStartOffset();
    if (dataOffset == 0xFFFFFFFFu) {
        // Lost after the music's last byte: nothing is left to play.
        m_ReachedEnd = true;
        m_PlayIntent = false;
        return WriteSilence(0, m_BufferBytes, true);
    }
    const uint32_t frame = dataOffset / m_Source->FrameSize();
    if (!m_Source->SeekFrame(frame) || !FillInitial()) return false;
    DebugPrint(msg::kBufferRestored, static_cast<unsigned>(frame));
    return true;
}

bool StreamBuffer::RecoverLostBuffer() {
    CCritSecLock lock(m_FillGuard);
    if (!IsLost()) return true;
    const bool play = m_PlayIntent.load() && !m_ReachedEnd.load();
    if (!RestoreAndRefill()) return false;
    return !play || RestartPlayback(true);
}

}  // namespace sonaflux
