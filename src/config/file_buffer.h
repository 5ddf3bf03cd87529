// A ByteBuffer that holds a whole file: the input of the configuration lexer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "config/byte_buffer.h"

namespace sonaflux {

class FileBuffer : public ByteBuffer {
public:
    FileBuffer() = default;

    // Reads the whole file into the buffer with one read; a relative name resolves against
    // the current directory. Answers false, showing nothing, when the file cannot be
    // opened, its size cannot be taken or is beyond kMaxLoadBytes, the buffer cannot hold
    // it, or fewer bytes than its size arrive. The handle is closed on every path. An
    // empty file loads and gives empty data. A name that is not a regular file (a
    // directory, FIFO or device) is refused with a box naming it.
    bool LoadFile(const char* fileName);

    // Holds a copy of `size` bytes at `data`, as LoadFile would after reading them from a
    // file (in-memory input for tests and fuzzing). Same size limit as LoadFile.
    bool LoadBytes(const void* data, size_t size);

    // GetSize answers a signed 32-bit size, so nothing larger is ever loaded.
    static constexpr uint32_t kMaxLoadBytes = 0x7FFFFFFF;
};

}  // namespace sonaflux
