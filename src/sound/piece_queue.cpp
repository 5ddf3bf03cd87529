#include "sound/piece_queue.h"

#include <algorithm>
#include <iterator>

namespace sonaflux {

bool PieceQueue::Prime(QueuedPiece& piece, uint32_t blockBytes) {
    CMusicSource& source = *piece.source;
    if (!source.SeekFrame(piece.startFrame)) return false;
    source.m_PassesLeft = piece.loopCount;
    // Only bytes before the loop end, so the block holds no wrap and the reader, once the
    // block is handed out, stands where the music goes on.
    const uint32_t position = source.m_DataPosition.load();
    const uint32_t end = source.LoopEndBytes();
    const uint32_t block = std::min(blockBytes, end > position ? end - position : 0);
    piece.staged.resize(block);
    piece.stagedUsed = 0;
    uint32_t delivered = 0;
    const bool ok =
        block == 0 || source.Gets(piece.staged.data(), static_cast<int32_t>(block), &delivered);
    // A read that failed leaves the reader at the first byte it missed: it is read again
    // when the worker reaches it.
    piece.staged.resize(ok ? std::min(delivered, block) : 0);
    return ok;
}

void PieceQueue::Append(std::unique_ptr<QueuedPiece> piece) {
    m_Pieces.push_back(std::move(piece));
}

int32_t PieceQueue::DropUnjoined() {
    return static_cast<int32_t>(TakeUnjoined().size());
}

std::vector<std::unique_ptr<QueuedPiece>> PieceQueue::TakeUnjoined() {
    const auto first = m_Pieces.begin() + static_cast<std::ptrdiff_t>(m_Writing);
    std::vector<std::unique_ptr<QueuedPiece>> taken(std::make_move_iterator(first),
                                                    std::make_move_iterator(m_Pieces.end()));
    m_Pieces.erase(first, m_Pieces.end());
    return taken;
}

void PieceQueue::PutBack(std::vector<std::unique_ptr<QueuedPiece>> pieces) {
    for (auto& piece : pieces) m_Pieces.push_back(std::move(piece));
}

int32_t PieceQueue::ReleaseJoined(const std::function<bool(const QueuedPiece&)>& inUse) {
    if (m_Writing < 2) return 0;  // the piece being written stays
    const auto first = m_Pieces.begin();
    const auto last = first + static_cast<std::ptrdiff_t>(m_Writing - 1);
    const auto kept = std::remove_if(
        first, last, [&inUse](const std::unique_ptr<QueuedPiece>& p) { return !inUse(*p); });
    const auto released = static_cast<size_t>(last - kept);
    m_Pieces.erase(kept, last);
    m_Writing -= released;
    return static_cast<int32_t>(released);
}

void PieceQueue::Clear() {
    m_Pieces.clear();
    m_Writing = 0;
}

CMusicSource* PieceQueue::Rewind(uint32_t blockBytes) {
    m_Writing = 0;
    for (auto& piece : m_Pieces) Prime(*piece, blockBytes);
    return m_Loaded;
}

int32_t PieceQueue::Unjoined() const {
    return static_cast<int32_t>(m_Pieces.size() - m_Writing);
}

CMusicSource* PieceQueue::JoinNext() {
    if (m_Writing >= m_Pieces.size()) return nullptr;
    ++m_Writing;
    return m_Pieces[m_Writing - 1]->source.get();
}

const QueuedPiece* PieceQueue::Find(uint32_t id) const {
    if (id == 0) return nullptr;
    const auto it =
        std::find_if(m_Pieces.begin(), m_Pieces.end(),
                     [id](const std::unique_ptr<QueuedPiece>& p) { return p->id == id; });
    return it == m_Pieces.end() ? nullptr : it->get();
}

CMusicSource* PieceQueue::SourceOf(uint32_t id) const {
    const QueuedPiece* piece = Find(id);
    return piece ? piece->source.get() : m_Loaded;
}

int32_t PieceQueue::MusicOf(uint32_t id, int32_t loadedMusic) const {
    const QueuedPiece* piece = Find(id);
    return piece ? piece->music : loadedMusic;
}

}  // namespace sonaflux
