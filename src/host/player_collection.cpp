#include "host/player_collection.h"

#include <new>

#include "host/music_player.h"

namespace sonaflux {

PlayerCollection::PlayerCollection() : m_Slots(10) {}

PlayerCollection::~PlayerCollection() {
    Clear();
}

int32_t PlayerCollection::Clear() {
    for (auto& slot : m_Slots) slot.reset();  // each unloads its stream first
    m_Slots.clear();
    return 0;
}

void PlayerCollection::Abandon() {
    for (auto& slot : m_Slots) static_cast<void>(slot.release());
    m_Slots.clear();
}

PlayerObject* PlayerCollection::GetOrCreate(int index) {
    if (index < 0 || index > kMaxIndex) return nullptr;
    try {
        const auto slot = static_cast<size_t>(index);
        if (slot >= m_Slots.size()) m_Slots.resize(slot + 10);
        if (!m_Slots[slot]) m_Slots[slot] = std::make_unique<PlayerObject>();
        return m_Slots[slot].get();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

bool PlayerCollection::ReapplyVolume() {
    for (auto& slot : m_Slots) {
        if (slot && !slot->ReapplyVolume()) return false;
    }
    return true;
}

int PlayerCollection::CountPlaying(const PlayerObject* except) {
    int playing = 0;
    for (auto& slot : m_Slots) {
        if (slot && slot.get() != except && slot->IsLoaded() && slot->IsPlaying()) ++playing;
    }
    return playing;
}

}  // namespace sonaflux
