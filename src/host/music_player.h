// The player the host plays music with: the MusicPlayer interface and its nine smaller
// interfaces on one object, over one SoundStream. Host thread only.
#pragma once

#include <cstdint>

#include "sonaflux/sonaflux.h"
#include "sound/sound_stream.h"

namespace sonaflux {

class PlayerObject final : public MusicPlayer,
                           public MusicTimeInfo,
                           public MusicLoopControl,
                           public MusicFadeControl,
                           public MusicPauseControl,
                           public MusicSampleInfo,
                           public MusicLoopPoints,
                           public MusicSeekControl,
                           public MusicFormatInfo,
                           public MusicSourceInfo,
                           public MusicSequence {
public:
    PlayerObject() = default;
    ~PlayerObject() override;

    // MusicPlayer
    int32_t Acquire() override { return 1; }
    int32_t Release() override { return 0; }
    bool Load(int musicNumber) override;
    bool Unload() override;
    bool Play() override;
    bool Stop() override;
    bool IsPlaying() override;
    void* GetInterface(const GUID* iid) override;

    // MusicTimeInfo
    int32_t GetPositionMs() override;
    int32_t GetLengthMs() override;
    // MusicLoopControl
    bool SetLoopCount(int count) override;
    int GetLoopCount() override { return m_LoopCount; }
    // MusicFadeControl
    bool Fade(int durationMs, int percent, bool stopAtEnd) override;
    bool StopFade() override { return m_Stream.Buffer().StopFade(); }
    bool IsFading() override { return m_Stream.Buffer().IsFading(); }
    // MusicPauseControl
    bool Pause() override { return m_Stream.Stop(); }
    bool Resume() override { return m_Stream.Buffer().Resume(); }
    int32_t IsPaused() override { return m_Stream.Buffer().IsPlaying() ? 0 : 1; }
    // MusicSampleInfo and MusicSeekControl
    uint32_t GetPositionSamples() override;
    uint32_t GetLengthSamples() override { return m_Stream.HeardSource().m_FrameCount; }
    // MusicLoopPoints
    bool SetLoopStart(int frame) override;
    bool SetLoopEnd(int frame) override;
    // MusicSeekControl
    bool Seek(int frame) override;
    // MusicFormatInfo: each refreshes m_Format; without a file the last values stand.
    uint32_t GetFormatTag() override { return QueryFormat().formatTag; }
    uint32_t GetChannels() override { return QueryFormat().channels; }
    uint32_t GetSamplesPerSec() override { return QueryFormat().samplesPerSec; }
    uint32_t GetAvgBytesPerSec() override { return QueryFormat().avgBytesPerSec; }
    uint32_t GetBlockAlign() override { return QueryFormat().blockAlign; }
    uint32_t GetBitsPerSample() override { return QueryFormat().bitsPerSample; }

    // MusicSourceInfo
    bool GetKind(const char** container, const char** codec) override;
    bool GetStoredFormat(uint32_t* rate, uint32_t* channels, uint32_t* bits,
                         bool* isFloat) override;
    uint32_t GetLengthFrames() override { return m_Loaded ? m_Stream.Source().m_FrameCount : 0; }
    bool GetFileLoop(uint32_t* start, uint32_t* end, bool* applies) override;
    uint32_t GetMarkerCount() override;
    bool GetMarker(uint32_t index, uint32_t* frame, const char** label) override;

    // MusicSequence (music_player_sequence.cpp)
    bool QueuePiece(int musicNumber, int loopCount, int startFrame) override;
    bool ReplaceQueue(int musicNumber, int loopCount, int startFrame) override;
    int32_t ClearQueue() override { return m_Stream.ClearQueue(); }
    int32_t GetQueuedCount() override { return m_Stream.QueuedCount(); }
    int32_t GetHeardMusicNumber() override;
    bool SetMarker(int musicNumber, int frame) override;
    int32_t ClearMarkers() override { return m_Stream.ClearMarkers(); }
    bool PollEvent(MusicEvent* event) override;
    uint32_t GetLostEventCount() override { return m_Stream.LostEvents(); }
    bool SwitchTo(int musicNumber, int loopCount, int startFrame, int when, int frame, int grid,
                  int crossfadeMs) override;

    // Re-applies the stream's current volume under a new master volume.
    bool ReapplyVolume();
    bool IsLoaded() const { return m_Loaded; }
    SoundStream& Stream() { return m_Stream; }

private:
    const StreamFormat& QueryFormat();
    static int32_t FramesToMs(uint32_t frames, uint32_t rate);
    bool Enqueue(int musicNumber, int loopCount, int startFrame, bool replace);
    std::unique_ptr<QueuedPiece> OpenPiece(int musicNumber, int loopCount, int startFrame);

    int32_t m_LoopCount = 0;
    SoundStream m_Stream;
    StreamFormat m_Format;
    bool m_Loaded = false;
    int32_t m_MusicNumber = -1;  // the entry loaded
};

}  // namespace sonaflux
