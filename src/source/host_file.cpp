#include "source/host_file.h"

#include <atomic>

#include "base/diagnostics.h"
#include "base/faults.h"
#include "base/messages.h"

namespace sonaflux {
namespace {

std::atomic<MusicFileSystem*> g_fileSystem{nullptr};

// One file of the host's file system, answering as a disk file does: the same fault
// points, the same messages, a short read failing the read, and a failed read telling a
// file that can no longer hold the bytes (gone) from one worth retrying.
class CHostFile final : public CReadOnlyFile {
public:
    explicit CHostFile(MusicFileSystem* fileSystem) : m_System(fileSystem) {}
    ~CHostFile() override { CHostFile::Close(); }
    MusicFileSystem* System() const { return m_System; }

    bool Open(const char* name) override {
        Close();
        if (name == nullptr || FaultFires(FaultPoint::FileOpen)) return false;
        m_File = m_System->Open(name);
        if (m_File == nullptr) return false;
        const int64_t size = m_System->GetSize(m_File);
        if (size < 0) return false;  // the handle stays open until Close, as on disk
        m_Size = static_cast<uint64_t>(size);
        m_Position = 0;
        return true;
    }

    void Close() override {
        if (m_File != nullptr) {
            m_System->Close(m_File);
            m_File = nullptr;
        }
        m_Size = 0;
    }

    bool Seek(uint64_t offset) override {
        if (m_File == nullptr) {
            ErrorBox(msg::kInvalidHandle);
            return false;
        }
        if (FaultFires(FaultPoint::FileSeek) || !m_System->Seek(m_File, offset)) {
            ErrorBox(msg::kSeekFailedAt, static_cast<int>(offset));
            return false;
        }
        m_Position = offset;
        return true;
    }

    bool Read(void* buffer, uint32_t count) override {
        if (m_File == nullptr) return false;
        // The reader holds FileReadGuard around this (CFileStreamRead::ReadGuarded).
        m_Gone = false;
        if (m_Position + count > m_Size) return false;
        if (!FaultFires(FaultPoint::FileRead) && ReadAll(static_cast<uint8_t*>(buffer), count)) {
            m_Position += count;
            return true;
        }
        // Back to where the failed read began, so a retry reads the same bytes.
        m_System->Seek(m_File, m_Position);
        const int64_t now = FaultFires(FaultPoint::FileShrink) ? 0 : m_System->GetSize(m_File);
        m_Gone = now < 0 || m_Position + count > static_cast<uint64_t>(now);
        return false;
    }

    uint64_t GetRemaining() const override {
        if (m_File == nullptr || m_Position >= m_Size) return 0;
        return m_Size - m_Position;
    }

private:
    // The host may hand out fewer bytes per call; only the end or an error stops early.
    bool ReadAll(uint8_t* out, uint32_t count) {
        uint32_t done = 0;
        while (done < count) {
            const int32_t n = m_System->Read(m_File, out + done, count - done);
            if (n <= 0 || static_cast<uint32_t>(n) > count - done) return false;
            done += static_cast<uint32_t>(n);
        }
        return true;
    }

    MusicFileSystem* const m_System;
    void* m_File = nullptr;
};

}  // namespace

void SetHostFileSystem(MusicFileSystem* fileSystem) {
    g_fileSystem.store(fileSystem);
}

MusicFileSystem* HostFileSystem() {
    return g_fileSystem.load();
}

CReadOnlyFile* MakeHostFile(MusicFileSystem* fileSystem, std::unique_ptr<CReadOnlyFile>& slot) {
    if (fileSystem == nullptr) return nullptr;
    auto* current = static_cast<CHostFile*>(slot.get());
    if (current == nullptr || current->System() != fileSystem) {
        slot.reset();  // closes the previous file system's file
        slot = std::make_unique<CHostFile>(fileSystem);
    }
    return slot.get();
}

}  // namespace sonaflux
