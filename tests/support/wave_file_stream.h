// The WAVE-only source that the tests, the WAVE fuzzer and the micro-benchmarks drive
// directly: a CMusicSource that refuses every other kind, with the header reading of the
// first bytes at hand. Not part of the module.
#pragma once

#include <memory>
#include <utility>

#include "source/music_source.h"
#include "source/wave_stream.h"

namespace sonaflux {

class CWaveFileStream : public CMusicSource {
public:
    static constexpr uint32_t kHeaderBytes = CWaveDecoder::kHeaderBytes;
    using HeaderInfo = CWaveDecoder::HeaderInfo;
    static bool FindDataChunk(const uint8_t* header, uint32_t length, HeaderInfo& out) {
        return CWaveDecoder::FindDataChunk(header, length, out);
    }

    CWaveFileStream() : CMusicSource(nullptr, Kinds::WaveOnly) {}
    // Reads the image through `file` (tests, the fuzzer); null keeps the disk file.
    explicit CWaveFileStream(std::unique_ptr<CReadOnlyFile> file)
        : CMusicSource(std::move(file), Kinds::WaveOnly) {}
};

}  // namespace sonaflux
