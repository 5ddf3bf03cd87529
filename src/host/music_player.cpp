#include "host/music_player.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

#include "base/diagnostics.h"
#include "base/messages.h"
#include "config/module_settings.h"
#include "host/module_object.h"

namespace sonaflux {

PlayerObject::~PlayerObject() {
    if (m_Loaded && m_Stream.Unload()) {
        --TheModule().LoadedStreamCount();
        m_Loaded = false;
    }
    // m_Stream goes in every case; its destructor ends what an unload could not.
}

bool PlayerObject::Load(int musicNumber) {
    if (m_Loaded) Unload();
    ModuleObject& module = TheModule();
    IDirectSound* device = module.Device();
    if (device == nullptr) {
        ErrorBox(msg::kNoDirectSound);
        return false;
    }
    const int32_t warnAt = Settings().STREAM_WARNING_MAX.load();
    if (module.LoadedStreamCount() >= warnAt) ErrorBox(msg::kStreamsRunning, warnAt);

    PlayInfo info;
    if (!module.PlayInfos().GetPlayInfo(musicNumber, info)) {
        ErrorBox(msg::kPlayInfoMissing, musicNumber);
        return false;
    }
    // Before the first fill, which notes the events of what it writes under this number.
    m_Stream.Pieces().SetLoadedMusic(musicNumber);
    bool loaded = false;
    try {
        loaded = m_Stream.Load(ds::FromHost(device), info.m_FileName.c_str(), info.m_Offset,
                               info.m_Size);
    } catch (const std::bad_alloc&) {
        m_Stream.Buffer().Discard();  // no exception leaves the interface
    }
    if (!loaded) {
        ErrorBox(msg::kStreamLoadFailed);
        return false;
    }
    ++module.LoadedStreamCount();
    m_Loaded = true;
    m_MusicNumber = musicNumber;
    // A new stream plays at the master volume from its first byte.
    m_Stream.Buffer().SetVolume(m_Stream.Buffer().CurrentVolume());
    return true;
}

bool PlayerObject::Unload() {
    if (!m_Loaded) return true;
    if (!m_Stream.Unload()) return false;
    --TheModule().LoadedStreamCount();
    m_Loaded = false;
    return true;
}

bool PlayerObject::Play() {
    // Warns when as many streams as the threshold are already playing.
    const int32_t warnAt = Settings().STREAM_WARNING_MAX.load();
    if (m_Loaded && !m_Stream.Buffer().IsPlaying() &&
        TheModule().Players().CountPlaying(this) >= warnAt) {
        ErrorBox(msg::kStreamsPlaying, warnAt);
    }
    return m_Stream.Play(m_LoopCount);
}

bool PlayerObject::Stop() {
    return m_Stream.Stop();
}

bool PlayerObject::IsPlaying() {
    return m_Stream.Buffer().IsPlaying();
}

void* PlayerObject::GetInterface(const GUID* iid) {
    if (iid == nullptr) return nullptr;
    if (SameId(iid, IID_MusicTimeInfo)) return static_cast<MusicTimeInfo*>(this);
    if (SameId(iid, IID_MusicLoopControl)) return static_cast<MusicLoopControl*>(this);
    if (SameId(iid, IID_MusicFadeControl)) return static_cast<MusicFadeControl*>(this);
    if (SameId(iid, IID_MusicPauseControl)) return static_cast<MusicPauseControl*>(this);
    if (SameId(iid, IID_MusicSampleInfo)) return static_cast<MusicSampleInfo*>(this);
    if (SameId(iid, IID_MusicLoopPoints)) return static_cast<MusicLoopPoints*>(this);
    if (SameId(iid, IID_MusicSeekControl)) return static_cast<MusicSeekControl*>(this);
    if (SameId(iid, IID_MusicFormatInfo)) return static_cast<MusicFormatInfo*>(this);
    if (SameId(iid, IID_MusicSourceInfo)) return static_cast<MusicSourceInfo*>(this);
    if (SameId(iid, IID_MusicSequence)) {
        m_Stream.EnableEvents();  // a host that never asks pays nothing for events
        return static_cast<MusicSequence*>(this);
    }
    return nullptr;
}

namespace {

template <typename T>
void Put(T* out, T value) {
    if (out) *out = value;
}

}  // namespace

bool PlayerObject::GetKind(const char** container, const char** codec) {
    if (!m_Loaded) return false;
    const SourceDescription& d = m_Stream.Source().Description();
    Put(container, d.container);
    Put(codec, d.codec);
    return true;
}

bool PlayerObject::GetStoredFormat(uint32_t* rate, uint32_t* channels, uint32_t* bits,
                                   bool* isFloat) {
    if (!m_Loaded) return false;
    const StoredFormat& f = m_Stream.Source().Description().stored;
    Put(rate, f.rate);
    Put(channels, uint32_t{f.channels});
    Put(bits, uint32_t{f.bits});
    Put(isFloat, f.isFloat);
    return true;
}

bool PlayerObject::GetFileLoop(uint32_t* start, uint32_t* end, bool* applies) {
    if (!m_Loaded) return false;
    const SourceDescription& d = m_Stream.Source().Description();
    if (!d.loop.present) return false;
    Put(start, d.loop.start);
    Put(end, d.loop.end);
    Put(applies, d.loopApplied);
    return true;
}

uint32_t PlayerObject::GetMarkerCount() {
    return m_Loaded ? static_cast<uint32_t>(m_Stream.Source().Description().markers.size()) : 0;
}

bool PlayerObject::GetMarker(uint32_t index, uint32_t* frame, const char** label) {
    if (index >= GetMarkerCount()) return false;
    const Marker& m = m_Stream.Source().Description().markers[index];
    Put(frame, m.frame);
    Put(label, m.label.c_str());
    return true;
}

int32_t PlayerObject::FramesToMs(uint32_t frames, uint32_t rate) {
    if (rate == 0) return 0;
    // IEEE double on both targets (SSE2 math on i686): 176400 / 44.1 is exactly 4000.
    const double ms = frames / (rate * 0.001);
    if (!(ms < static_cast<double>(std::numeric_limits<int32_t>::max()))) {
        return std::numeric_limits<int32_t>::max();
    }
    return static_cast<int32_t>(ms);
}

int32_t PlayerObject::GetPositionMs() {
    uint32_t frame = 0;
    StreamFormat format;
    if (!m_Stream.GetPosition(frame) || !m_Stream.GetFormat(format)) return 0;
    return FramesToMs(frame, format.samplesPerSec);
}

int32_t PlayerObject::GetLengthMs() {
    const uint32_t frames = m_Stream.HeardSource().m_FrameCount;
    StreamFormat format;
    if (!m_Stream.GetFormat(format)) return 0;
    return FramesToMs(frames, format.samplesPerSec);
}

bool PlayerObject::SetLoopCount(int count) {
    m_LoopCount = count;
    return true;
}

bool PlayerObject::Fade(int durationMs, int percent, bool stopAtEnd) {
    StreamBuffer& buffer = m_Stream.Buffer();
    if (buffer.IsFading() && !buffer.StopFade()) return false;
    const double target = percent * 0.01;
    if (durationMs == 0) {
        // What is heard of a target out of range is silence or full level; the volume
        // recorded (which the next fade starts from and a new master volume re-applies)
        // is that level, never one the device cannot play.
        if (!buffer.SetVolume(std::clamp(target, 0.0, 1.0))) return true;  // no sound buffer
        return stopAtEnd ? m_Stream.Stop() : true;
    }
    return m_Stream.StartFade(durationMs, target, stopAtEnd);
}

uint32_t PlayerObject::GetPositionSamples() {
    uint32_t frame = 0;
    return m_Stream.GetPosition(frame) ? frame : 0;
}

// Loop points belong to the stream loaded now (the next Load resets them): without one,
// there is nothing to set them on.
bool PlayerObject::SetLoopStart(int frame) {
    return m_Loaded && m_Stream.SetLoopStart(static_cast<uint32_t>(frame));
}

bool PlayerObject::SetLoopEnd(int frame) {
    return m_Loaded && m_Stream.SetLoopEnd(static_cast<uint32_t>(frame));
}

bool PlayerObject::Seek(int frame) {
    return m_Stream.Seek(static_cast<uint32_t>(frame));
}

bool PlayerObject::ReapplyVolume() {
    if (!m_Loaded) return true;
    return m_Stream.Buffer().ReapplyVolume();
}

const StreamFormat& PlayerObject::QueryFormat() {
    m_Stream.GetFormat(m_Format);
    return m_Format;
}

}  // namespace sonaflux
