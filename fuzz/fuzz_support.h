// What the source fuzzers share: reports sent nowhere, a check that stops the run with a
// line, and a read-only file held in memory with the answers of a disk file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/diagnostics.h"
#include "source/file_reader.h"

namespace sonaflux::fuzz {

using Bytes = std::vector<uint8_t>;

inline void Discard(ReportKind, const char*, void*) {}

inline void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "fuzz: %s\n", what);
        std::abort();
    }
}

class MemoryFile : public CReadOnlyFile {
public:
    explicit MemoryFile(const Bytes& bytes) : m_Bytes(bytes) {}
    ~MemoryFile() override { MemoryFile::Close(); }
    bool Open(const char*) override {
        Close();
        m_Open = true;
        m_Size = m_Bytes.size();
        m_Position = 0;
        return true;
    }
    void Close() override {
        m_Open = false;
        m_Size = 0;
    }
    bool Seek(uint64_t offset) override {
        if (!m_Open) return false;
        m_Position = offset;
        return true;
    }
    bool Read(void* buffer, uint32_t count) override {
        if (!m_Open || m_Position + count > m_Size) return false;
        std::memcpy(buffer, m_Bytes.data() + m_Position, count);
        m_Position += count;
        return true;
    }
    uint64_t GetRemaining() const override {
        return m_Open && m_Position < m_Size ? m_Size - m_Position : 0;
    }

private:
    const Bytes& m_Bytes;
    bool m_Open = false;
};

}  // namespace sonaflux::fuzz
