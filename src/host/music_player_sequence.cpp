// The player's MusicSequence: pieces of other music entries joined to the loaded one.
#include <memory>
#include <new>

#include "base/diagnostics.h"
#include "base/messages.h"
#include "host/module_object.h"
#include "host/music_player.h"

namespace sonaflux {

std::unique_ptr<QueuedPiece> PlayerObject::OpenPiece(int musicNumber, int loopCount,
                                                     int startFrame) {
    if (!m_Loaded) return nullptr;
    PlayInfo info;
    if (!TheModule().PlayInfos().GetPlayInfo(musicNumber, info)) {
        ErrorBox(msg::kPlayInfoMissing, musicNumber);
        return nullptr;
    }
    auto piece = std::make_unique<QueuedPiece>();
    piece->music = musicNumber;
    piece->loopCount = loopCount;
    piece->startFrame = static_cast<uint32_t>(startFrame);
    piece->source = std::make_unique<CMusicSource>();
    if (!piece->source->Open(info.m_FileName.c_str(), info.m_Offset, info.m_Size)) {
        ErrorBox(msg::kFileStreamOpenFailed);
        return nullptr;
    }
    return piece;
}

bool PlayerObject::Enqueue(int musicNumber, int loopCount, int startFrame, bool replace) {
    try {
        auto piece = OpenPiece(musicNumber, loopCount, startFrame);
        return piece != nullptr && m_Stream.QueuePiece(std::move(piece), replace);
    } catch (const std::bad_alloc&) {
        return false;  // no exception leaves the interface
    }
}

bool PlayerObject::SwitchTo(int musicNumber, int loopCount, int startFrame, int when, int frame,
                            int grid, int crossfadeMs) {
    if (when < kSwitchNow || when > kSwitchOnGrid || frame < 0) return false;
    if (crossfadeMs < 0 || crossfadeMs > kMaxCrossfadeMs) return false;
    if (when == kSwitchOnGrid && grid <= 0) return false;
    try {
        auto piece = OpenPiece(musicNumber, loopCount, startFrame);
        return piece != nullptr &&
               m_Stream.SwitchTo(std::move(piece), when, static_cast<uint32_t>(frame),
                                 static_cast<uint32_t>(grid), static_cast<uint32_t>(crossfadeMs));
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool PlayerObject::QueuePiece(int musicNumber, int loopCount, int startFrame) {
    return Enqueue(musicNumber, loopCount, startFrame, false);
}

bool PlayerObject::ReplaceQueue(int musicNumber, int loopCount, int startFrame) {
    return Enqueue(musicNumber, loopCount, startFrame, true);
}

int32_t PlayerObject::GetHeardMusicNumber() {
    if (!m_Loaded) return -1;
    return m_Stream.Pieces().MusicOf(m_Stream.HeardPiece(), m_MusicNumber);
}

bool PlayerObject::SetMarker(int musicNumber, int frame) {
    if (frame < 0) return false;
    return m_Stream.AddMarker(musicNumber, static_cast<uint32_t>(frame));
}

bool PlayerObject::PollEvent(MusicEvent* event) {
    PendingEvent pending;
    if (event == nullptr || !m_Stream.TakeEvent(pending)) return false;
    event->player = this;
    event->kind = pending.kind;
    event->musicNumber = pending.music;
    event->frame = pending.frame;
    return true;
}

}  // namespace sonaflux
