#include "host/play_info.h"

#include <new>

namespace sonaflux {

bool PlayInfoTable::EnsureEntry(int index) {
    if (index < 0 || index > kMaxIndex) return false;
    try {
        const auto slot = static_cast<size_t>(index);
        if (slot >= m_Slots.size()) m_Slots.resize(slot + 10);
        if (!m_Slots[slot]) m_Slots[slot] = std::make_unique<PlayInfo>();
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

bool PlayInfoTable::SetPlayInfo(int index, const char* fileName, int offset, int size) {
    if (fileName == nullptr) return false;
    if (!EnsureEntry(index)) return false;
    PlayInfo& entry = *m_Slots[static_cast<size_t>(index)];
    try {
        entry.m_FileName = fileName;
    } catch (const std::bad_alloc&) {
        return false;
    }
    entry.m_Offset = static_cast<uint32_t>(offset);
    entry.m_Size = static_cast<uint32_t>(size);
    return true;
}

bool PlayInfoTable::GetPlayInfo(int index, PlayInfo& out) const {
    if (index < 0 || static_cast<size_t>(index) >= m_Slots.size()) return false;
    const PlayInfo* entry = m_Slots[static_cast<size_t>(index)].get();
    if (entry == nullptr) return false;
    try {
        out = *entry;
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

void PlayInfoTable::Clear() {
    m_Slots.clear();
    m_Slots.shrink_to_fit();
}

}  // namespace sonaflux
