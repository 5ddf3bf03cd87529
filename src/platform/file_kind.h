// What kind of thing a file name or an open file handle stands for. The module reads
// only regular files: a FIFO, a device or a directory where a file belongs is refused
// with the same answer on both targets.
#pragma once

#include "platform/win32.h"

namespace sonaflux {

// An open handle of a regular disk file (not a pipe, a FIFO, a console or a device).
inline bool IsRegularFile(HANDLE file) {
    return GetFileType(file) == FILE_TYPE_DISK;
}

// A name that exists and is a directory (which CreateFileA does not open).
inline bool IsDirectoryName(const char* name) {
    const DWORD attributes = GetFileAttributesA(name);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace sonaflux
