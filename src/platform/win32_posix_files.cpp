// The POSIX layer's files: read-only opens of existing regular files (FIFOs and devices
// open without blocking), sizes, seeks and reads.
#include "platform/win32_posix_objects.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

using posix_layer::AsFile;
using posix_layer::FileObject;
using posix_layer::Kind;
using posix_layer::kMagic;
using posix_layer::kOps;

// ---- Files ----

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD /*share*/, LPSECURITY_ATTRIBUTES,
                   DWORD disposition, DWORD /*flags*/, HANDLE /*templateFile*/) {
    if (name == nullptr || access != GENERIC_READ || disposition != OPEN_EXISTING) {
        return INVALID_HANDLE_VALUE;
    }
    // Non-blocking, so that a FIFO without a writer (or a device) cannot stall the open;
    // a regular file goes back to blocking reads, which never wait on anyone anyway.
    int fd = -1;
    do {
        fd = ::open(name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return INVALID_HANDLE_VALUE;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {  // Win32 opens no directory here
        ::close(fd);
        return INVALID_HANDLE_VALUE;
    }
    if (S_ISREG(st.st_mode)) {
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
            ::close(fd);
            return INVALID_HANDLE_VALUE;
        }
    }
    auto* f = new FileObject{};
    f->magic = kMagic;
    f->kind = Kind::File;
    f->ops = &kOps;
    f->fd = fd;
    return f;
}

DWORD GetFileSize(HANDLE file, LPDWORD sizeHigh) {
    FileObject* f = AsFile(file);
    struct stat st {};
    if (!f || ::fstat(f->fd, &st) != 0) return INVALID_FILE_SIZE;
    const auto size = static_cast<uint64_t>(st.st_size);
    if (sizeHigh) *sizeHigh = static_cast<DWORD>(size >> 32);
    return static_cast<DWORD>(size);
}

DWORD GetFileType(HANDLE file) {
    FileObject* f = AsFile(file);
    struct stat st {};
    if (!f || ::fstat(f->fd, &st) != 0) return FILE_TYPE_UNKNOWN;
    if (S_ISREG(st.st_mode)) return FILE_TYPE_DISK;
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return FILE_TYPE_CHAR;
    if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) return FILE_TYPE_PIPE;
    return FILE_TYPE_UNKNOWN;
}

DWORD GetFileAttributesA(LPCSTR name) {
    struct stat st {};
    if (name == nullptr || ::stat(name, &st) != 0) return INVALID_FILE_ATTRIBUTES;
    return S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
}

DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method) {
    FileObject* f = AsFile(file);
    if (!f || method > FILE_END) return INVALID_SET_FILE_POINTER;
    int64_t move = distance;
    if (distanceHigh) {
        move = static_cast<int64_t>(
            (static_cast<uint64_t>(static_cast<uint32_t>(*distanceHigh)) << 32) |
            static_cast<uint32_t>(distance));
    }
    const int whence = method == FILE_BEGIN     ? SEEK_SET
                       : method == FILE_CURRENT ? SEEK_CUR
                                                : SEEK_END;
    const off_t pos = ::lseek(f->fd, static_cast<off_t>(move), whence);
    if (pos < 0) return INVALID_SET_FILE_POINTER;
    if (distanceHigh) *distanceHigh = static_cast<LONG>(static_cast<uint64_t>(pos) >> 32);
    return static_cast<DWORD>(pos);
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD count, LPDWORD read, LPOVERLAPPED overlapped) {
    if (read) *read = 0;
    FileObject* f = AsFile(file);
    if (!f || overlapped != nullptr || (buffer == nullptr && count > 0)) return FALSE;
    auto* p = static_cast<char*>(buffer);
    DWORD done = 0;
    while (done < count) {
        const ssize_t n = ::read(f->fd, p + done, count - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return FALSE;
        if (n == 0) break;  // end of file: success with fewer bytes
        done += static_cast<DWORD>(n);
    }
    if (read) *read = done;
    return TRUE;
}
