#include "source/reader_cursor.h"

#include <algorithm>

namespace sonaflux {

size_t ReaderCursor::Read(void* destination, size_t bytes, bool& failed) {
    failed = false;
    const uint32_t unit = m_Reader->UnitSize();
    if (bytes == 0 || m_Position >= unit) return 0;
    auto length = static_cast<uint32_t>(std::min<uint64_t>(bytes, unit - m_Position));
    const int r = m_Reader->Read(destination, length);
    m_Position += length;
    failed = r == CFileStreamRead::kFailed && length == 0;
    return length;
}

bool ReaderCursor::Seek(int64_t target) {
    const int64_t unit = m_Reader->UnitSize();
    if (target < 0 || target > unit) return false;
    if (target < unit && !m_Reader->SeekNear(static_cast<uint32_t>(target))) return false;
    m_Position = static_cast<uint32_t>(target);
    return true;
}

}  // namespace sonaflux
