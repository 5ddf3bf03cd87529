// The players by number: made on first use, destroyed only all together (by Release of
// the module and at library unload). Host thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace sonaflux {

class PlayerObject;

class PlayerCollection {
public:
    // Player numbers above this are refused, as music numbers are.
    static constexpr int kMaxIndex = 4095;

    PlayerCollection();
    ~PlayerCollection();
    PlayerCollection(const PlayerCollection&) = delete;
    PlayerCollection& operator=(const PlayerCollection&) = delete;

    // Destroys every player in number order; the collection then has no slots.
    int32_t Clear();
    PlayerObject* GetOrCreate(int index);
    // Forgets every player without destroying it (process exit: their threads are gone).
    void Abandon();

    bool ReapplyVolume();
    // Players whose sound buffer is playing, other than `except`.
    int CountPlaying(const PlayerObject* except);
    size_t SlotCount() const { return m_Slots.size(); }

private:
    std::vector<std::unique_ptr<PlayerObject>> m_Slots;
};

}  // namespace sonaflux
