#include "source/pcm_staging.h"

#include <algorithm>
#include <cstring>

#include "source/file_reader.h"

namespace sonaflux {

int CPcmStaging::ReadStaged(uint8_t* destination, uint32_t& length) {
    uint32_t delivered = 0;
    int failure = CFileStreamRead::kDone;  // a failed production, after its bytes are out
    while (delivered < length) {
        const uint64_t at = StagedPosition();
        const uint64_t end = OutputEnd();
        if (at >= end) {
            length = delivered;
            return CFileStreamRead::kNoMoreData;
        }
        if (m_StagedBegin < m_StagedEnd) {
            const auto n = static_cast<uint32_t>(
                std::min<uint64_t>({length - delivered, m_StagedEnd - m_StagedBegin, end - at}));
            std::memcpy(destination + delivered, m_Staged.data() + m_StagedBegin, n);
            m_StagedBegin += n;
            delivered += n;
            continue;
        }
        if (failure != CFileStreamRead::kDone) break;
        m_StagedBegin = m_StagedEnd = 0;
        uint32_t produced = 0;
        const int r = Produce(m_Staged.data(), static_cast<uint32_t>(m_Staged.size()), produced);
        m_StagedEnd = produced;
        m_NextOffset += produced;
        if (r == CFileStreamRead::kNoMoreData && produced == 0) {
            length = delivered;
            return r;
        }
        // Nothing made without a reason is a failure too, never a loop without end.
        if (r != CFileStreamRead::kDone || produced == 0) {
            failure = r == CFileStreamRead::kDone ? CFileStreamRead::kFailed : r;
        }
    }
    if (delivered < length) {
        length = delivered;
        return failure;
    }
    return CFileStreamRead::kDone;
}

}  // namespace sonaflux
