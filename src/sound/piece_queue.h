// The pieces a stream joins to its music: the loaded piece (id 0, the stream's own reader)
// and, after it, the pieces the host queued, each with its own reader opened on the host's
// thread and its first block read ahead, so that the seam costs the worker no more than an
// ordinary refill.
//
// Threads: the host's thread adds, drops and rewinds pieces while it holds the stream's fill
// guard; the worker reads the piece being written and joins the next one under the same
// guard. Only the host's thread changes the list itself, so it looks pieces up by id
// (Find) without a lock.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "source/music_source.h"

namespace sonaflux {

struct QueuedPiece {
    int32_t music = 0;
    int32_t loopCount = 1;
    uint32_t startFrame = 0;
    uint32_t id = 0;
    std::unique_ptr<CMusicSource> source;
    // The first block read ahead: the bytes from `startFrame` on, before the loop end, so
    // they hold no wrap. The worker hands them out before it reads on.
    std::vector<uint8_t> staged;
    uint32_t stagedUsed = 0;
};

class PieceQueue {
public:
    explicit PieceQueue(CMusicSource* loaded) : m_Loaded(loaded) {}

    // Positions `piece` at its start frame under its loop count and reads its first block
    // of at most `blockBytes` (host thread; the worker does not see the piece yet, or the
    // caller holds the fill guard).
    static bool Prime(QueuedPiece& piece, uint32_t blockBytes);

    // Host thread, fill guard held.
    void Append(std::unique_ptr<QueuedPiece> piece);
    // Drops the pieces not yet joined; answers how many.
    int32_t DropUnjoined();
    // Takes the pieces not yet joined out of the list, and puts such pieces back after the
    // last one held: a refused switch or replacement leaves the queue as it was.
    std::vector<std::unique_ptr<QueuedPiece>> TakeUnjoined();
    void PutBack(std::vector<std::unique_ptr<QueuedPiece>> pieces);
    // Frees the pieces joined before the one being written that `inUse` does not keep (no
    // byte of theirs left in the ring, no crossfade reading them); answers how many. Host
    // thread only (the worker never frees), fill guard held.
    int32_t ReleaseJoined(const std::function<bool(const QueuedPiece&)>& inUse);
    // Empties the list (a new load).
    void Clear();
    // Back to the loaded piece, with every held piece primed again: the next fill starts
    // over. Answers the loaded piece's reader.
    CMusicSource* Rewind(uint32_t blockBytes);
    int32_t Unjoined() const;
    int32_t Held() const { return static_cast<int32_t>(m_Pieces.size()); }
    // The last piece held has been written to its end: nothing queued now can join it.
    // Once the data ended no piece joins (refills write silence), joined or not.
    bool EndWritten(bool dataEnded) const { return dataEnded; }
    bool Empty() const { return m_Pieces.empty(); }

    // Worker (or a first fill), fill guard held.
    uint32_t WritingId() const { return m_Writing == 0 ? 0 : m_Pieces[m_Writing - 1]->id; }
    // The piece being written, or null for the loaded piece.
    QueuedPiece* Writing() { return m_Writing == 0 ? nullptr : m_Pieces[m_Writing - 1].get(); }
    // Moves on to the next piece; its reader, or null when none is queued.
    CMusicSource* JoinNext();

    // Host thread, no lock: the piece with `id`, null for the loaded piece or one no
    // longer held.
    const QueuedPiece* Find(uint32_t id) const;
    // The reader of piece `id`; the loaded piece's for 0 or one no longer held.
    CMusicSource* SourceOf(uint32_t id) const;
    // The music number of piece `id`; `loadedMusic` for the loaded piece.
    int32_t MusicOf(uint32_t id, int32_t loadedMusic) const;
    uint32_t NewId() { return ++m_LastId; }
    // The music number of the loaded piece (host thread, before the stream plays).
    void SetLoadedMusic(int32_t music) { m_LoadedMusic = music; }
    int32_t LoadedMusic() const { return m_LoadedMusic; }

private:
    CMusicSource* m_Loaded;
    std::vector<std::unique_ptr<QueuedPiece>> m_Pieces;
    size_t m_Writing = 0;  // 0: the loaded piece; i: m_Pieces[i - 1]
    uint32_t m_LastId = 0;
    int32_t m_LoadedMusic = 0;
};

}  // namespace sonaflux
