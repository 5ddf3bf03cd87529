#include "source/file_reader.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "base/diagnostics.h"
#include "base/faults.h"
#include "base/messages.h"
#include "platform/file_kind.h"
#include "source/host_file.h"

namespace sonaflux {

CCritSec& FileReadGuard() {
    // Built in static storage on first use (thread-safe) and deliberately never
    // destroyed: static destruction order across translation units is unknown.
    alignas(CCritSec) static unsigned char storage[sizeof(CCritSec)];
    static CCritSec* const guard = new (storage) CCritSec(LockRank::FileRead, "FileReadGuard");
    return *guard;
}

// ---------------------------------------------------------------------------------------
// 64-bit sizes and positions through the high words of GetFileSize and SetFilePointer, on
// every target. All ones in the low word is a valid answer for some files: Windows tells a
// failure by its last error; the POSIX layer writes the high word only on success.

namespace {

bool FileSize64(HANDLE file, uint64_t& size) {
    DWORD high = 0xFFFFFFFFu;
#if defined(_WIN32)
    SetLastError(NO_ERROR);
#endif
    const DWORD low = GetFileSize(file, &high);
#if defined(_WIN32)
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return false;
#else
    if (low == INVALID_FILE_SIZE && high == 0xFFFFFFFFu) return false;
#endif
    size = (static_cast<uint64_t>(high) << 32) | low;
    return true;
}

bool SeekFile(HANDLE file, uint64_t offset) {
    LONG high = static_cast<LONG>(offset >> 32);
#if defined(_WIN32)
    SetLastError(NO_ERROR);
#endif
    const DWORD low =
        SetFilePointer(file, static_cast<LONG>(static_cast<uint32_t>(offset)), &high, FILE_BEGIN);
    if (low != INVALID_SET_FILE_POINTER) return true;
#if defined(_WIN32)
    return GetLastError() == NO_ERROR;
#else
    LONG nowHigh = 0;  // only an offset whose low word is all ones gets here on success
    const DWORD now = SetFilePointer(file, 0, &nowHigh, FILE_CURRENT);
    return ((static_cast<uint64_t>(static_cast<uint32_t>(nowHigh)) << 32) | now) == offset;
#endif
}

}  // namespace

// ---------------------------------------------------------------------------------------
// CReadOnlyFile

CReadOnlyFile::~CReadOnlyFile() {
    CReadOnlyFile::Close();
}

bool CReadOnlyFile::Open(const char* name) {
    Close();
    if (name == nullptr || FaultFires(FaultPoint::FileOpen)) return false;
    m_Handle = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (m_Handle == INVALID_HANDLE_VALUE) {
        if (IsDirectoryName(name)) ErrorBox(msg::kNotRegularFile, name);
        return false;
    }
    // A FIFO or a device has no size and may never deliver: only regular files stream.
    if (!IsRegularFile(m_Handle)) {
        ErrorBox(msg::kNotRegularFile, name);
        Close();
        return false;
    }
    uint64_t size = 0;
    if (!FileSize64(m_Handle, size)) return false;  // the handle stays open until Close
    m_Size = size;
    m_Position = 0;
    return true;
}

void CReadOnlyFile::Close() {
    if (m_Handle != INVALID_HANDLE_VALUE) {
        CloseHandle(m_Handle);
        m_Handle = INVALID_HANDLE_VALUE;
    }
    m_Size = 0;
}

bool CReadOnlyFile::Seek(uint64_t offset) {
    if (m_Handle == INVALID_HANDLE_VALUE) {
        ErrorBox(msg::kInvalidHandle);
        return false;
    }
    if (FaultFires(FaultPoint::FileSeek) || !SeekFile(m_Handle, offset)) {
        ErrorBox(msg::kSeekFailedAt, static_cast<int>(offset));
        return false;
    }
    m_Position = offset;
    return true;
}

bool CReadOnlyFile::Read(void* buffer, uint32_t count) {
    if (m_Handle == INVALID_HANDLE_VALUE) return false;
    m_Gone = false;
    if (m_Position + count > m_Size) return false;
    DWORD done = 0;
    if (FaultFires(FaultPoint::FileRead) ||
        ReadFile(m_Handle, buffer, count, &done, nullptr) == FALSE || done != count) {
        // A short read has moved the file pointer; put it back where m_Position says,
        // so that the next read starts at the byte this one failed to deliver.
        SeekFile(m_Handle, m_Position);
        // Retrying helps only while the file still holds the bytes.
        uint64_t now = 0;
        const bool sized = !FaultFires(FaultPoint::FileShrink) && FileSize64(m_Handle, now);
        m_Gone = !sized || m_Position + count > now;
        return false;
    }
    m_Position += count;
    return true;
}

uint64_t CReadOnlyFile::GetRemaining() const {
    if (m_Handle == INVALID_HANDLE_VALUE || m_Position >= m_Size) return 0;
    return m_Size - m_Position;
}

// ---------------------------------------------------------------------------------------
// CFileStreamRead

CFileStreamRead::CFileStreamRead() : m_File(&m_PlainFile) {}

CFileStreamRead::CFileStreamRead(std::unique_ptr<CReadOnlyFile> file)
    : m_OwnedFile(std::move(file)), m_File(m_OwnedFile ? m_OwnedFile.get() : &m_PlainFile) {}

CFileStreamRead::~CFileStreamRead() {
    m_File->Close();
    m_Block.Clear();
}

bool CFileStreamRead::Open(const char* name, uint32_t startOffset, uint32_t unitSize) {
    if (unitSize == 0 || unitSize > kMaxUnitSize) return false;

    // A block longer than the unit would never fill; reserve it once, hold no bytes yet.
    const uint32_t capacity = std::min(m_BlockSize, unitSize);
    m_Block.Allocate(capacity);
    if (static_cast<uint32_t>(m_Block.GetSize()) != capacity) return false;  // out of memory
    m_Block.Fill(0);
    m_Block.Allocate(0);
    m_BlockCapacity = capacity;
    m_BlockOffset = 0;

    ChooseFile();
    if (!m_File->Open(name)) return false;
    const uint64_t fileSize = m_File->GetSize();
    if (startOffset >= fileSize) {
        DebugPrint(msg::kImagePastFileEnd, static_cast<unsigned>(startOffset),
                   std::to_string(fileSize).c_str());
        return false;
    }
    unitSize = static_cast<uint32_t>(std::min<uint64_t>(unitSize, fileSize - startOffset));

    m_ReadLimit.store(unitSize, std::memory_order_relaxed);
    m_ReadCounter = 0;
    m_StartOffset = startOffset;
    m_UnitFileSize = unitSize;
    return m_File->Seek(startOffset);
}

bool CFileStreamRead::ReadGuarded(uint32_t count) {
    CCritSecLock lock(FileReadGuard());
    return m_File->Read(m_Block.GetData(), count);
}

void CFileStreamRead::ChooseFile() {
    if (m_OwnedFile) return;  // the file this reader was made with
    // Closed before the host's file may be replaced (Open would close it anyway).
    m_File->Close();
    m_File = &m_PlainFile;
    if (MusicFileSystem* const fileSystem = HostFileSystem()) {
        m_File = MakeHostFile(fileSystem, m_HostFile);
    }
}

void CFileStreamRead::EmptyBlock() {
    m_Block.Allocate(0);
    m_BlockOffset = 0;
}

int CFileStreamRead::OnBufferMemory() {
    const uint64_t position = m_File->GetSize() - m_File->GetRemaining();
    const uint64_t end =
        static_cast<uint64_t>(m_StartOffset) + m_ReadLimit.load(std::memory_order_relaxed);
    uint64_t want = position < end ? end - position : 0;
    if (want > m_UnitFileSize) {
        DebugPrint(msg::kRegionTooLarge);
        return kFailed;
    }
    want = std::min<uint64_t>(want, m_BlockCapacity);
    if (want == 0) {
        EmptyBlock();
        return kNoMoreData;
    }
    if (m_ReadCounter >= m_UnitFileSize) {
        DebugPrint(msg::kReadCounterOver);
        EmptyBlock();
        return kNoMoreData;
    }
    const auto count = static_cast<uint32_t>(want);
    m_Block.Allocate(count);  // within the capacity reserved at Open: no allocation
    if (static_cast<uint32_t>(m_Block.GetSize()) != count || !ReadGuarded(count)) {
        // Whatever the failed read left in the block is not unit data.
        EmptyBlock();
        DebugPrint(msg::kFileReadFailed);
        return m_File->Gone() ? kGone : kFailed;
    }
    m_BlockOffset = 0;
    m_ReadCounter += count;
    return kDone;
}

bool CFileStreamRead::Seek(uint32_t offset) {
    // Nothing can be read at or past the limit: refuse without moving anything. A
    // reader that never opened a unit has limit 0 and lets the file report itself.
    const uint32_t limit = m_ReadLimit.load(std::memory_order_relaxed);
    if (limit != 0 && offset >= limit) {
        DebugPrint(msg::kSeekReadFailed);
        return false;
    }
    if (!m_File->Seek(static_cast<uint64_t>(m_StartOffset) + offset)) return false;
    m_ReadCounter = offset;
    // Positioned at `offset` with nothing buffered: if the refill fails, the next Read
    // retries it from here instead of handing out what the block held before.
    EmptyBlock();
    if (OnBufferMemory() != kDone) {
        DebugPrint(msg::kSeekReadFailed);
        return false;
    }
    return true;
}

bool CFileStreamRead::SeekNear(uint32_t offset) {
    const uint32_t limit = m_ReadLimit.load(std::memory_order_relaxed);
    const auto blockLength = static_cast<uint32_t>(m_Block.GetSize());
    const uint32_t blockStart = m_ReadCounter - blockLength;
    if (offset < limit && blockLength > 0 && offset >= blockStart && offset < m_ReadCounter) {
        m_BlockOffset = offset - blockStart;
        return true;
    }
    return Seek(offset);
}

int CFileStreamRead::Read(void* destination, uint32_t& length) {
    auto* out = static_cast<uint8_t*>(destination);
    uint32_t delivered = 0;
    while (delivered < length) {
        const auto blockLength = static_cast<uint32_t>(m_Block.GetSize());
        if (m_BlockOffset >= blockLength) {
            // Used up at the limit: nothing to read, and the block stays for a loop wrap
            // (SeekNear) to go round in without reading it again.
            if (blockLength > 0 && m_ReadCounter >= m_ReadLimit.load(std::memory_order_relaxed)) {
                length = delivered;
                return kNoMoreData;
            }
            const int r = OnBufferMemory();
            if (r != kDone) {
                length = delivered;
                return r;
            }
            continue;
        }
        // The block may hold bytes past a limit lowered after it was read.
        const uint32_t limit = m_ReadLimit.load(std::memory_order_relaxed);
        const uint32_t next = m_ReadCounter - blockLength + m_BlockOffset;
        if (next >= limit) {
            length = delivered;
            return kNoMoreData;
        }
        const uint32_t n =
            std::min({length - delivered, blockLength - m_BlockOffset, limit - next});
        std::memcpy(out + delivered, m_Block.GetData() + m_BlockOffset, n);
        m_BlockOffset += n;
        delivered += n;
    }
    return kDone;
}

bool CFileStreamRead::SetReadLimit(uint32_t limit) {
    if (limit == 0 || limit > m_UnitFileSize) return false;
    m_ReadLimit.store(limit, std::memory_order_relaxed);
    return true;
}

bool CFileStreamRead::Close() {
    m_File->Close();
    m_Block.Clear();
    m_BlockOffset = 0;
    return true;
}

}  // namespace sonaflux
