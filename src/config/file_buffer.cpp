#include "config/file_buffer.h"

#include <cstring>

#include "base/diagnostics.h"
#include "base/faults.h"
#include "base/messages.h"
#include "platform/file_kind.h"
#include "platform/win32.h"

namespace sonaflux {
namespace {

// Owns an open file handle; Close answers whether CloseHandle succeeded, and the
// destructor closes whatever an early return left open.
class FileHandle {
public:
    explicit FileHandle(HANDLE handle) : m_Handle(handle) {}
    ~FileHandle() { Close(); }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    HANDLE Get() const { return m_Handle; }
    bool Close() {
        if (m_Handle == INVALID_HANDLE_VALUE) return false;
        const BOOL closed = CloseHandle(m_Handle);
        m_Handle = INVALID_HANDLE_VALUE;
        return closed != FALSE;
    }

private:
    HANDLE m_Handle;
};

}  // namespace

bool FileBuffer::LoadFile(const char* fileName) {
    // Emptied first, so that no failure leaves an earlier file's data to be scanned.
    Clear();
    if (fileName == nullptr) return false;
    FileHandle file(CreateFileA(fileName, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.Get() == INVALID_HANDLE_VALUE) {
        if (IsDirectoryName(fileName)) ErrorBox(msg::kNotRegularFile, fileName);
        return false;
    }
    if (FaultFires(FaultPoint::FileOpen)) return false;
    // A FIFO or a device has no size to read and may never deliver: treated as absent.
    if (!IsRegularFile(file.Get())) {
        ErrorBox(msg::kNotRegularFile, fileName);
        return false;
    }

    // The high half is taken too: a file of 4 GiB or more would otherwise load as its
    // low 32 bits of size and report a partial read as success.
    DWORD sizeHigh = 0;
    const DWORD size = GetFileSize(file.Get(), &sizeHigh);
    if (size == INVALID_FILE_SIZE || sizeHigh != 0 || size > kMaxLoadBytes) return false;

    Allocate(size);
    // Allocate answers true even when memory ran out; the size tells whether it held.
    bool loaded = static_cast<uint32_t>(GetSize()) == size;
    if (loaded && size > 0) {
        DWORD read = 0;
        loaded = !FaultFires(FaultPoint::FileRead) &&
                 ReadFile(file.Get(), GetData(), static_cast<DWORD>(GetSize()), &read, nullptr) &&
                 read == static_cast<DWORD>(GetSize());
    }
    loaded = file.Close() && loaded;
    // A failed load leaves no data behind, so a caller that scans anyway finds nothing.
    if (!loaded) Clear();
    return loaded;
}

bool FileBuffer::LoadBytes(const void* data, size_t size) {
    Clear();
    if (size > kMaxLoadBytes || (data == nullptr && size > 0)) return false;
    Allocate(static_cast<uint32_t>(size));
    if (static_cast<size_t>(GetSize()) != size) {
        Clear();
        return false;
    }
    if (size > 0) std::memcpy(GetData(), data, size);
    return true;
}

}  // namespace sonaflux
