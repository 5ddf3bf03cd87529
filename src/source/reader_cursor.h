// A codec library's view of the image: a byte position of its own over the stream's file
// reader, so that the library's seeks inside the reader's block cost no disk read. Every
// codec decoder (Vorbis, Opus, FLAC) hands its library these reads and seeks.
#pragma once

#include <cstddef>
#include <cstdint>

#include "source/file_reader.h"

namespace sonaflux {

class ReaderCursor {
public:
    void Attach(CFileStreamRead& reader) {
        m_Reader = &reader;
        m_Position = 0;
    }
    CFileStreamRead& Reader() const { return *m_Reader; }

    // Up to `bytes` bytes from the position, never past the image end; `failed` when a
    // disk read failed before any byte came (an error to the library, not the end).
    size_t Read(void* destination, size_t bytes, bool& failed);
    // To absolute offset `target`: inside the image or at its end (a place to stand,
    // where reads answer the end).
    bool Seek(int64_t target);
    int64_t Tell() const { return m_Position; }
    int64_t Size() const { return m_Reader->UnitSize(); }
    bool AtEnd() const { return m_Position >= m_Reader->UnitSize(); }

private:
    CFileStreamRead* m_Reader = nullptr;
    uint32_t m_Position = 0;
};

}  // namespace sonaflux
