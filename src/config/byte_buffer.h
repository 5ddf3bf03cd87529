// A growable byte array behind a table of virtual operations: the lexer's file buffer
// and the file reader's block buffer. No lock: each owner serialises its own use.
#pragma once

#include <cstdint>
#include <vector>

namespace sonaflux {

class ByteBuffer {
public:
    ByteBuffer() = default;
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;

    // Slots 1 and 2: a yes and a no, kept for the table's shape; nothing calls them.
    virtual int IsGrowable() { return 1; }
    virtual int IsShared() { return 0; }
    // Makes the size exactly `size` bytes: growing appends zero bytes, shrinking keeps the
    // storage. Answers true; running out of memory is not reported here.
    virtual bool Allocate(uint32_t size);
    virtual bool Reallocate(uint32_t size);  // the same as Allocate
    // Size 0 and no data pointer; the storage stays reserved.
    virtual void Clear();
    virtual int32_t GetSize() { return static_cast<int32_t>(m_Bytes.size()); }
    virtual uint8_t* GetData() { return m_Data; }
    virtual ~ByteBuffer() = default;

    bool Fill(uint8_t value);

private:
    std::vector<uint8_t> m_Bytes;
    uint8_t* m_Data = nullptr;
};

}  // namespace sonaflux
