// The host's file system beneath the buffered file reader: while a host has set one
// (MusicFileSource), every reader opens its unit's file name through it, so every format
// reads through it without knowing. A stream keeps the file system it opened with.
#pragma once

#include <memory>

#include "sonaflux/sonaflux.h"
#include "source/file_reader.h"

namespace sonaflux {

// The file system later opens use (null: plain files). Host thread; read by readers at Open.
void SetHostFileSystem(MusicFileSystem* fileSystem);
MusicFileSystem* HostFileSystem();

// The reader's file for `fileSystem`, kept in `slot` and reused while the file system stays
// the same; null for no file system.
CReadOnlyFile* MakeHostFile(MusicFileSystem* fileSystem, std::unique_ptr<CReadOnlyFile>& slot);

}  // namespace sonaflux
