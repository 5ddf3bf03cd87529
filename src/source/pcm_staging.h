// Whole frames decoded or converted ahead of what was handed out, for the decoders whose
// output cannot be produced straight into any destination (a decoder hands out whole
// frames, a request may end inside one). Used by one thread at a time, as its decoder.
#pragma once

#include <cstdint>
#include <vector>

namespace sonaflux {

class CPcmStaging {
protected:
    // Reserves the staging area once (no allocation while playing).
    void ReserveStaging(uint32_t bytes) { m_Staged.assign(bytes, 0); }
    // Drops what is staged; the next byte produced is the one at output offset `offset`.
    void RestartStaging(uint64_t offset) {
        m_StagedBegin = m_StagedEnd = 0;
        m_NextOffset = offset;
    }
    // Hands out staged bytes, producing more as needed, never at or past OutputEnd().
    // Answers as CFileStreamRead::Read.
    int ReadStaged(uint8_t* destination, uint32_t& length);
    // The output offset of the next byte ReadStaged hands out.
    uint64_t StagedPosition() const { return m_NextOffset - (m_StagedEnd - m_StagedBegin); }

    // Produces up to `capacity` bytes (at least one frame's room) at the output offset
    // that follows the staged bytes; answers as CFileStreamRead::Read, `produced` the
    // bytes made (possibly some with kFailed or kNoMoreData).
    virtual int Produce(uint8_t* destination, uint32_t capacity, uint32_t& produced) = 0;
    // The end of the readable output (moves with a loop end).
    virtual uint64_t OutputEnd() const = 0;

    ~CPcmStaging() = default;

private:
    std::vector<uint8_t> m_Staged;
    uint32_t m_StagedBegin = 0;
    uint32_t m_StagedEnd = 0;
    uint64_t m_NextOffset = 0;  // output offset of m_Staged[m_StagedEnd]
};

}  // namespace sonaflux
