// The buffered file reader: one byte range of a file (the unit), read front to back in
// large blocks and handed out in requests of any size.
//
// A reader has no thread and no lock of its own; one reader is used by one thread at a
// time (its owner keeps loading, seeking and refilling apart). Every disk read of every
// reader in the process runs under FileReadGuard, so the module never issues two reads
// at the same moment.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "base/sync.h"
#include "config/byte_buffer.h"
#include "platform/win32.h"

namespace sonaflux {

// The process-wide section around every file Read a reader issues (the bounds check, the
// ReadFile call and the position update), whatever the kind of file. It comes into being on first
// use and is never destroyed, so a stream worker still reading while the library's statics are torn
// down cannot meet a deleted section.
CCritSec& FileReadGuard();

// The longest unit: byte counts inside the module are at most 2^31 - 1. Units may start
// anywhere a 32-bit offset reaches; positions in the file are 64-bit.
inline constexpr uint32_t kMaxUnitSize = 0x7FFFFFFFu;

// One read-only file handle that knows the file size (64-bit, on every target) and its own
// position. The operations are virtual, in this slot order: destructor, Open, Close,
// Seek, Read, GetSize, GetRemaining, so a derived file type (the host's file system,
// source/host_file.h) can replace them.
class CReadOnlyFile {
public:
    CReadOnlyFile() = default;
    virtual ~CReadOnlyFile();
    CReadOnlyFile(const CReadOnlyFile&) = delete;
    CReadOnlyFile& operator=(const CReadOnlyFile&) = delete;

    // Closes first, then opens `name` for shared reading; position 0. Anything but a
    // regular file (a directory, FIFO or device) is refused with a box naming it.
    virtual bool Open(const char* name);
    // Size 0 afterwards; the position is kept.
    virtual void Close();
    // Absolute offset. Shows "INVALID_HANDLE_VALUE" when no file is open and
    // "Sonaflux Seekで失敗:%d" when the file cannot be positioned there.
    virtual bool Seek(uint64_t offset);
    // Exactly `count` bytes at the current position, or false (nothing shown).
    virtual bool Read(void* buffer, uint32_t count);
    virtual uint64_t GetSize() const { return m_Size; }
    // Bytes from the position to the end of the file; 0 when closed or past the end.
    virtual uint64_t GetRemaining() const;

    // The last Read failed for good: the file no longer holds the bytes asked for (it
    // shrank, or its size can no longer be read because it vanished).
    bool Gone() const { return m_Gone; }

protected:
    HANDLE m_Handle = INVALID_HANDLE_VALUE;
    uint64_t m_Size = 0;
    uint64_t m_Position = 0;
    bool m_Gone = false;
};

class CFileStreamRead {
public:
    // Result codes of Read. kGone: a read failed that can never succeed again (the file
    // shrank below the unit or vanished); kFailed may succeed when retried.
    enum : int { kDone = 0, kFailed = 1, kNoMoreData = 2, kGone = 3 };

    CFileStreamRead();
    // Reads through `file` instead of a plain disk file (tests, the fuzzer). Null keeps
    // the plain one.
    explicit CFileStreamRead(std::unique_ptr<CReadOnlyFile> file);
    ~CFileStreamRead();
    CFileStreamRead(const CFileStreamRead&) = delete;
    CFileStreamRead& operator=(const CFileStreamRead&) = delete;

    // The nominal block length, taken by the next Open.
    void SetBlockSize(uint32_t bytes) { m_BlockSize = bytes; }

    // Opens the unit [startOffset, startOffset + unitSize) of `name`; reads nothing yet.
    // Refused: size 0 or above kMaxUnitSize, a unit starting at or past the end of the
    // file (with a debugger line). A unit reaching past the end of the file is cut there.
    // Opens through the host's file system when one is set (source/host_file.h), unless
    // the reader was given a file of its own.
    bool Open(const char* name, uint32_t startOffset, uint32_t unitSize);
    // Continues at `offset` from the unit start and fills a fresh block from there. An
    // offset at or past the read limit is refused and leaves the reader as it was.
    bool Seek(uint32_t offset);
    // Like Seek, but an offset inside the block in memory is reached without a disk read
    // (chunk walks and the Vorbis decoder's seeks move back and forth within a block).
    bool SeekNear(uint32_t offset);
    // Copies `length` bytes. After a result other than kDone, `length` holds the bytes
    // delivered. Never hands out a byte at or past the read limit.
    int Read(void* destination, uint32_t& length);
    // Moves the end of the readable region (from the unit start); 0 and values beyond
    // the unit are refused. Takes effect at once, also for bytes already in the block.
    // May be called from another thread than the one reading.
    bool SetReadLimit(uint32_t limit);
    // Closes the file and empties the block (its storage is kept). Always true.
    bool Close();

    uint32_t UnitSize() const { return m_UnitFileSize; }
    // The last failed read can never succeed again (kGone).
    bool Gone() const { return m_File->Gone(); }
    uint32_t ReadLimit() const { return m_ReadLimit.load(std::memory_order_relaxed); }

private:
    // The file the next Open uses: the one given at construction, else the host's file
    // system when one is set, else the plain disk file.
    void ChooseFile();
    int OnBufferMemory();
    // Reads `count` bytes of the file into the block, under FileReadGuard.
    bool ReadGuarded(uint32_t count);
    void EmptyBlock();

    CReadOnlyFile m_PlainFile;
    std::unique_ptr<CReadOnlyFile> m_HostFile;  // made when a host file system is first used
    std::unique_ptr<CReadOnlyFile> m_OwnedFile;
    CReadOnlyFile* m_File;  // m_OwnedFile when given, else the plain or the host's file

    // Holds the unit bytes [m_ReadCounter - length, m_ReadCounter); its length is the
    // number of valid bytes.
    ByteBuffer m_Block;
    uint32_t m_BlockOffset = 0;    // next unread byte in the block
    uint32_t m_BlockSize = 0;      // nominal block length, set by the owner
    uint32_t m_BlockCapacity = 0;  // block length of this unit: min(m_BlockSize, unit)
    uint32_t m_StartOffset = 0;    // absolute file offset of the unit
    uint32_t m_UnitFileSize = 0;
    std::atomic<uint32_t> m_ReadLimit{0};  // end of the readable region, from the unit start
    uint32_t m_ReadCounter = 0;            // unit offset up to which bytes were taken from the file
};

}  // namespace sonaflux
