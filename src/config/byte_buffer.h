// A growable byte array: the lexer's file buffer and the file reader's block buffer. No
// lock: each owner serialises its own use.
#pragma once

#include <cstdint>
#include <vector>

namespace sonaflux {

class ByteBuffer {
public:
    ByteBuffer() = default;
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;

    // Makes the size exactly `size` bytes: growing appends zero bytes, shrinking keeps the
    // storage. Answers true; running out of memory is not reported here.
    bool Allocate(uint32_t size);
    // Size 0 and no data pointer; the storage stays reserved.
    void Clear();
    int32_t GetSize() const { return static_cast<int32_t>(m_Bytes.size()); }
    uint8_t* GetData() { return m_Data; }

    bool Fill(uint8_t value);

private:
    std::vector<uint8_t> m_Bytes;
    uint8_t* m_Data = nullptr;
};

}  // namespace sonaflux
