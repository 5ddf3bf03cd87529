// The table of numbered music entries: which file holds each piece and where its
// RIFF/WAVE image lies in it. Host thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sonaflux {

struct PlayInfo {
    std::string m_FileName;  // as the host gave it, ANSI code page bytes
    uint32_t m_Offset = 0;   // where the image's "RIFF" header begins
    uint32_t m_Size = 0;     // bytes in the image
};

class PlayInfoTable {
public:
    // Music numbers above this are refused, so that index + 10 slots stays small.
    static constexpr int kMaxIndex = 65535;

    bool SetPlayInfo(int index, const char* fileName, int offset, int size);
    bool EnsureEntry(int index);
    // Copies entry `index` to `out`; false (out untouched) when there is none.
    bool GetPlayInfo(int index, PlayInfo& out) const;
    // Frees every entry; the table then has no slots.
    void Clear();
    size_t SlotCount() const { return m_Slots.size(); }

private:
    std::vector<std::unique_ptr<PlayInfo>> m_Slots;
};

}  // namespace sonaflux
