// The driver the codec fuzzers share (Ogg Vorbis, Ogg Opus, FLAC): arbitrary bytes as a
// music image inside a larger in-memory file, opened with a random block size, then driven
// by random requests, seeks, loop points and loop counts. Whatever the codec library makes
// of damaged data, the stream must answer within its contract: no crash, no hang, never
// more bytes than asked, silence after the last byte, seeks only inside the data.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "config/module_settings.h"
#include "fuzz_support.h"
#include "source/music_source.h"

namespace sonaflux::fuzz {

// Each target's seeds (made by scripts/fuzz-smoke.sh) lead it to its decoder.
inline int FuzzCodecImage(const uint8_t* input, size_t length) {
    SetReportHook(&Discard, nullptr);
    FuzzedDataProvider in(input, length);
    // Parameters come from the end of the input, so a plain Ogg file is a useful seed.
    const int32_t blockSize = in.ConsumeIntegralInRange<int32_t>(1, 70000);
    const uint32_t seed = in.ConsumeIntegral<uint32_t>();
    const size_t ops = in.ConsumeIntegralInRange<size_t>(0, 32);
    Bytes image = in.ConsumeBytes<uint8_t>(std::min<size_t>(in.remaining_bytes(), 65536));
    Bytes file(13, 0xEE);
    file.insert(file.end(), image.begin(), image.end());
    file.resize(file.size() + 17, 0xDD);

    Settings().STREAM_BUFFER_SIZE = blockSize;
    CMusicSource stream(std::make_unique<MemoryFile>(file));
    const bool opened = stream.Open("memory", 13, static_cast<uint32_t>(image.size()));
    Settings().STREAM_BUFFER_SIZE = 262144;
    if (!opened) return 0;
    ds::WAVEFORMATEX format{};
    Check(stream.GetFormat(format), "format of an open stream");
    Check((format.wBitsPerSample == 16 || format.wBitsPerSample == 8) && format.nChannels >= 1 &&
              format.nChannels <= 2,
          "8/16-bit mono or stereo");
    const uint32_t frameSize = stream.FrameSize();
    Check(stream.m_DataSize == stream.m_FrameCount * frameSize, "data size in whole frames");

    uint32_t rng = seed | 1;
    auto next = [&rng] {
        rng ^= rng << 13;
        rng ^= rng >> 17;
        rng ^= rng << 5;
        return rng;
    };
    auto frame = [&] { return next() % (stream.m_FrameCount + 2); };
    Bytes got;
    for (size_t i = 0; i < ops; ++i) {
        switch (next() % 6) {
            case 0: {
                const uint32_t f = frame();
                if (stream.SeekFrame(f)) {
                    Check(f < stream.m_FrameCount, "seek past the data");
                    Check(stream.m_DataPosition.load() == f * frameSize, "position after a seek");
                }
                break;
            }
            case 1:
                stream.SetLoopEnd(frame());
                break;
            case 2:
                stream.SetLoopStart(frame());
                break;
            case 3:
                stream.m_PassesLeft = static_cast<int32_t>(next() % 4) - 1;
                break;
            default: {
                const auto size = static_cast<int32_t>(next() % 20000);
                got.assign(static_cast<size_t>(size), 0xA5);
                uint32_t delivered = 0;
                const bool ok = stream.Gets(got.data(), size, &delivered);
                Check(delivered <= static_cast<uint32_t>(size), "more than asked");
                Check(!ok || delivered == static_cast<uint32_t>(size), "short answer");
                const uint8_t silence = format.wBitsPerSample == 8 ? 0x80 : 0;
                for (size_t k = delivered; k < got.size(); ++k)
                    Check(got[k] == silence, "not silence");
                break;
            }
        }
    }
    return 0;
}

}  // namespace sonaflux::fuzz
