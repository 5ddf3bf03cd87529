// Stream sources: the buffered file reader and the RIFF/WAVE stream reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>

#include "base/faults.h"
#include "base/messages.h"
#include "config/module_settings.h"
#include "config/settings_reader.h"
#include "source/file_reader.h"
#include "support/wave_file_stream.h"
#include "support/report_capture.h"
#include "support/test_files.h"
#include "support/wave_image.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace sonaflux {
namespace {

using test::Bytes;
using test::PatternPcm;
using test::ReportCapture;
using test::TempFile;
using test::WaveBuilder;

struct BlockSize {
    explicit BlockSize(int32_t bytes) { Settings().STREAM_BUFFER_SIZE = bytes; }
    ~BlockSize() { Settings().STREAM_BUFFER_SIZE = 262144; }
};

Bytes Slice(const Bytes& b, size_t from, size_t to) {
    return Bytes(b.begin() + from, b.begin() + to);
}

// What the stream must hand out: data[0, end), then data[loop, end) for every further
// pass (passes <= 0: endless), cut at `limit` bytes.
Bytes Expected(const Bytes& data, size_t end, size_t loop, int passes, size_t limit) {
    Bytes out = Slice(data, 0, end);
    for (int pass = 2; out.size() < limit && (passes <= 0 || pass <= passes); ++pass) {
        out.insert(out.end(), data.begin() + loop, data.begin() + end);
    }
    if (out.size() > limit) out.resize(limit);
    return out;
}

// Pulls up to `calls` requests of `request` bytes and checks each against `expected`. When
// `ends`, the stream must end inside the request that meets the end of `expected`, with
// the bytes left and then silence. Returns the number of calls made.
int PullAndCheck(CWaveFileStream& s, const Bytes& expected, bool ends, int32_t request, int calls) {
    size_t pos = 0;
    for (int i = 0; i < calls; ++i) {
        Bytes got(request, 0xAA);  // stale bytes a faulty reader would leave
        const bool ok = s.Gets(got.data(), request);
        const size_t left = expected.size() - pos;
        if (!ok) {
            EXPECT_TRUE(ends && left < static_cast<size_t>(request)) << "early end at " << pos;
            Bytes want = Slice(expected, pos, expected.size());
            want.resize(request, 0);
            EXPECT_EQ(got, want) << "last request at " << pos;
            return i + 1;
        }
        EXPECT_GE(left, static_cast<size_t>(request)) << "no end at " << pos;
        if (left < static_cast<size_t>(request)) return i + 1;
        EXPECT_EQ(got, Slice(expected, pos, pos + request)) << "request at " << pos;
        pos += request;
    }
    return calls;
}

// A disk file whose next read fails when the test asks for it.
class FailingFile : public CReadOnlyFile {
public:
    explicit FailingFile(std::atomic<bool>& failNext) : m_FailNext(failNext) {}
    bool Read(void* buffer, uint32_t count) override {
        return !m_FailNext.exchange(false) && CReadOnlyFile::Read(buffer, count);
    }

private:
    std::atomic<bool>& m_FailNext;
};

// A disk file that counts its reads.
class CountingFile : public CReadOnlyFile {
public:
    explicit CountingFile(std::atomic<int>& reads) : m_Reads(reads) {}
    bool Read(void* buffer, uint32_t count) override {
        ++m_Reads;
        return CReadOnlyFile::Read(buffer, count);
    }

private:
    std::atomic<int>& m_Reads;
};

Bytes With(Bytes b, size_t at, uint8_t value) {
    b[at] = value;
    return b;
}

// ---------------------------------------------------------------------------------------

TEST(SourceFileReader, RefusesBadUnitsAndCutsOneReachingPastTheFile) {
    TempFile f(PatternPcm(500));
    CFileStreamRead r;
    r.SetBlockSize(256);
    EXPECT_FALSE(r.Open(f.c_str(), 0, 0));
    EXPECT_FALSE(r.Open(f.c_str(), 0x7FFFFF00u, 0x100u + 1));  // ends beyond 2^31 - 1
    EXPECT_FALSE(r.Open(f.c_str(), 0xFFFFFFF0u, 0x20u));       // would wrap 32 bits
    EXPECT_FALSE(r.Open(f.c_str(), 500, 10));                  // starts at the file end
    ASSERT_TRUE(r.Open(f.c_str(), 400, 1000));
    EXPECT_EQ(r.UnitSize(), 100u);
    ASSERT_TRUE(r.Seek(0));
    Bytes got(300);
    uint32_t n = 300;
    EXPECT_EQ(r.Read(got.data(), n), CFileStreamRead::kNoMoreData);  // not a read failure
    EXPECT_EQ(n, 100u);
}

TEST(SourceFileReader, SeekAndLimitFailuresReportAndKeepTheReaderUsable) {
    const Bytes file = PatternPcm(10000, 3);
    TempFile f(file);
    ReportCapture reports;
    CFileStreamRead r;
    EXPECT_FALSE(r.Seek(0));
    EXPECT_EQ(reports.CountBox(msg::kInvalidHandle), 1);
    r.SetBlockSize(4096);
    ASSERT_TRUE(r.Open(f.c_str(), 0, 10000));
    ArmFault(FaultPoint::FileSeek);
    EXPECT_FALSE(r.Seek(1234));
    char text[64];
    std::snprintf(text, sizeof text, msg::kSeekFailedAt, 1234);
    EXPECT_EQ(reports.CountBox(text), 1);
    ASSERT_TRUE(r.Seek(0));
    Bytes got(1000);
    uint32_t n = 100;
    ASSERT_EQ(r.Read(got.data(), n), CFileStreamRead::kDone);
    EXPECT_FALSE(r.SetReadLimit(0));
    EXPECT_FALSE(r.SetReadLimit(10001));
    // A limit inside the block in memory holds to the byte; raising it loses nothing.
    ASSERT_TRUE(r.SetReadLimit(500));
    n = 1000;
    EXPECT_EQ(r.Read(got.data(), n), CFileStreamRead::kNoMoreData);
    EXPECT_EQ(Slice(got, 0, n), Slice(file, 100, 500));
    EXPECT_FALSE(r.Seek(500));
    EXPECT_EQ(reports.CountDebug(msg::kSeekReadFailed), 1);
    ASSERT_TRUE(r.SetReadLimit(10000));
    n = 1000;
    ASSERT_EQ(r.Read(got.data(), n), CFileStreamRead::kDone);
    EXPECT_EQ(got, Slice(file, 500, 1500));
    // A failed refill hands out nothing stale and is retried by the next read.
    ArmFault(FaultPoint::FileRead);
    n = 4000;
    Bytes big(4000);
    EXPECT_EQ(r.Read(big.data(), n), CFileStreamRead::kFailed);
    EXPECT_EQ(n, 4096u - 1500);
    EXPECT_EQ(reports.CountDebug(msg::kFileReadFailed), 1);
    n = 100;
    ASSERT_EQ(r.Read(got.data(), n), CFileStreamRead::kDone);
    EXPECT_EQ(Slice(got, 0, 100), Slice(file, 4096, 4196));
    ArmFault(FaultPoint::FileRead);  // likewise after a seek whose refill failed
    EXPECT_FALSE(r.Seek(6000));
    n = 100;
    ASSERT_EQ(r.Read(got.data(), n), CFileStreamRead::kDone);
    EXPECT_EQ(Slice(got, 0, 100), Slice(file, 6000, 6100));
    DisarmFaults();
}

// ---------------------------------------------------------------------------------------

struct Layout {
    const char* name;
    Bytes image;
    int dataOffset;  // -1: Open fails, with `why` as its debugger line
    uint32_t dataSize = 400;
    std::string why = "";
};

template <typename... Args>
std::string Text(const char* format, Args... values) {
    char text[256];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

Bytes WithLe32(Bytes b, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(value >> (8 * i));
    return b;
}

// An extensible format chunk (40 bytes) with sub-format `sub` (1 PCM, 3 float).
Bytes Extensible(uint16_t channels, uint32_t rate, uint16_t bits, uint16_t sub, const Bytes& pcm) {
    Bytes body;
    test::PutLe16(body, 0xFFFE);
    test::PutLe16(body, channels);
    test::PutLe32(body, rate);
    test::PutLe32(body, rate * channels * (bits / 8));
    test::PutLe16(body, static_cast<uint16_t>(channels * (bits / 8)));
    test::PutLe16(body, bits);
    test::PutLe16(body, 22);
    test::PutLe16(body, bits);
    test::PutLe32(body, channels == 1 ? 4 : 3);
    test::PutLe16(body, sub);
    for (uint8_t b :
         {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}) {
        body.push_back(b);
    }
    return WaveBuilder().Chunk("fmt ", body).Data(pcm).Build();
}

TEST(SourceWaveHeader, FindsTheDataChunkOrRefusesTheImage) {
    const Bytes pcm = PatternPcm(400);
    auto fmt = [] { return WaveBuilder().Format(1, 2, 44100, 16); };
    Bytes cut = fmt().Chunk("LIST", Bytes(300)).Data(pcm).Build();
    cut.resize(200);  // the range ends inside the LIST chunk
    Bytes odd = pcm;
    odd.push_back(0x77);  // 401 bytes: the last part frame is not data
    const Layout layouts[] = {
        {"canonical", fmt().Data(pcm).Build(), 44},
        {"fmt body 18", WaveBuilder().Format(1, 2, 44100, 16, 18).Data(pcm).Build(), 46},
        // Read as the first bytes always were: no pad byte after the odd chunk.
        {"odd chunk", fmt().Chunk("junk", Bytes(3, 1)).Data(pcm).Build(), 55},
        {"fmt any 4th byte", WaveBuilder().Format(1, 2, 8000, 16, 16, "fmtX").Data(pcm).Build(),
         44},
        {"data id at 118", fmt().Chunk("junk", Bytes(74)).Data(pcm).Build(), 126},
        // Found by walking the whole image.
        {"data id at 120", fmt().Chunk("junk", Bytes(76)).Data(pcm).Build(), 128},
        {"LIST 100 between", fmt().Chunk("LIST", Bytes(100)).Data(pcm).Build(), 152},
        {"odd chunk and its pad byte past 127",
         [&] {
             Bytes b = fmt().Chunk("bext", Bytes(101, 2)).Build();
             b.push_back(0);  // the pad byte
             const Bytes tail = WaveBuilder().Data(pcm).Build();
             b.insert(b.end(), tail.begin() + 12, tail.end());
             return b;
         }(),
         154},
        {"shorter than 127", fmt().Data(PatternPcm(80)).Build(), 44, 80},
        {"declared beyond the image", fmt().Data(pcm, 100000).Build(), 44},
        {"part frame at the end", fmt().Data(odd).Build(), 44},
        {"extensible PCM", Extensible(2, 44100, 16, 1, pcm), 68},
        // A second format chunk describes nothing stored: the first one counts.
        {"two fmt chunks", fmt().Format(1, 1, 8000, 8).Data(pcm).Build(), 68},
        {"two fmt chunks past 127",
         fmt().Chunk("LIST", Bytes(100)).Format(1, 1, 8000, 8).Data(pcm).Build(), 176},
        // Refused, each with its reason.
        {"data before fmt", WaveBuilder().Data(pcm).Format(1, 2, 8000, 16).Build(), -1, 0,
         msg::kWaveNoFormat},
        {"no WAVE", With(fmt().Data(pcm).Build(), 8, 'X'), -1, 0, msg::kWaveNotRiff},
        {"no data", fmt().Chunk("LIST", Bytes(200)).Build(), -1, 0, msg::kWaveNoData},
        {"range ends before the data", cut, -1, 0,
         Text(msg::kWaveChunkPastEnd, "LIST", 300u, 200u)},
        {"fmt body 14", WaveBuilder().Format(1, 2, 8000, 16, 14).Data(pcm).Build(), -1, 0,
         Text(msg::kWaveFormatTooShort, 14)},
        {"fmt body 0", WaveBuilder().Chunk("fmt ", {}).Data(pcm).Build(), -1, 0,
         Text(msg::kWaveFormatTooShort, 0)},
        {"compressed", WaveBuilder().Format(2, 2, 8000, 16).Data(pcm).Build(), -1, 0,
         Text(msg::kWaveFormatTag, 2)},
        {"mu-law", WaveBuilder().Format(7, 1, 8000, 8).Data(pcm).Build(), -1, 0,
         Text(msg::kWaveFormatTag, 7)},
        {"4-bit samples", WaveBuilder().Format(1, 2, 8000, 4).Data(pcm).Build(), -1, 0,
         Text(msg::kWaveBits, 4)},
        {"64-bit float", WaveBuilder().Format(3, 1, 8000, 64).Data(pcm).Build(), -1, 0,
         Text(msg::kWaveBits, 64)},
        {"no channels", WaveBuilder().Format(1, 0, 8000, 16).Data(pcm).Build(), -1, 0,
         Text(msg::kWaveChannels, 0)},
        {"three channels", WaveBuilder().Format(1, 3, 8000, 16).Data(pcm).Build(), -1, 0,
         Text(msg::kWaveChannels, 3)},
        // Hostile headers: each refusal names the real cause.
        {"extensible, 6 channels", Extensible(6, 44100, 16, 1, pcm), -1, 0,
         Text(msg::kWaveChannels, 6)},
        {"extensible, 8 channels", Extensible(8, 48000, 24, 1, pcm), -1, 0,
         Text(msg::kWaveChannels, 8)},
        {"rate 0", WaveBuilder().Format(1, 2, 0, 16).Data(pcm).Build(), -1, 0,
         Text(msg::kSampleRate, 0, kMinSampleRate, kMaxSampleRate)},
        {"rate 99", WaveBuilder().Format(1, 2, 99, 16).Data(pcm).Build(), -1, 0,
         Text(msg::kSampleRate, 99, kMinSampleRate, kMaxSampleRate)},
        {"rate 200001", WaveBuilder().Format(1, 2, 200001, 16).Data(pcm).Build(), -1, 0,
         Text(msg::kSampleRate, 200001, kMinSampleRate, kMaxSampleRate)},
        {"chunk sized 0xFFFFFFFF",
         WithLe32(fmt().Chunk("JUNK", Bytes(8)).Data(pcm).Build(), 40, 0xFFFFFFFFu), -1, 0,
         Text(msg::kWaveChunkPastEnd, "JUNK", 0xFFFFFFFFu, 460u)},
        {"empty data", fmt().Data({}).Build(), -1, 0, msg::kNoAudio},
        {"3-byte data", fmt().Data(Bytes(3, 1)).Build(), -1, 0, msg::kNoAudio},
    };
    for (const Layout& l : layouts) {
        TempFile f(l.image);
        CWaveFileStream s;
        ReportCapture reports;
        EXPECT_EQ(s.Open(f.c_str(), 0, static_cast<uint32_t>(l.image.size())), l.dataOffset >= 0)
            << l.name;
        if (l.dataOffset < 0) {
            EXPECT_EQ(reports.DebugLines(), std::vector<std::string>{l.why}) << l.name;
            continue;
        }
        EXPECT_TRUE(reports.All().empty()) << l.name;
        EXPECT_EQ(s.DataOffset(), static_cast<uint32_t>(l.dataOffset)) << l.name;
        EXPECT_EQ(s.m_DataSize, l.dataSize) << l.name;  // what the image really holds
        EXPECT_EQ(s.m_FrameCount, l.dataSize / 4) << l.name;
        Bytes got(l.dataSize);
        EXPECT_TRUE(s.Gets(got.data(), static_cast<int32_t>(l.dataSize))) << l.name;
        EXPECT_EQ(got, Slice(l.dataSize == 80 ? PatternPcm(80) : pcm, 0, l.dataSize)) << l.name;
        ds::WAVEFORMATEX format{};
        ASSERT_TRUE(s.GetFormat(format));
        EXPECT_EQ(format.wBitsPerSample, 16) << l.name;
        // Never read past the chunk.
        EXPECT_EQ(format.cbSize, std::string(l.name) == "extensible PCM" ? 22 : 0) << l.name;
    }
}

// ---------------------------------------------------------------------------------------

Bytes Le16s(const std::vector<int16_t>& samples) {
    Bytes b;
    for (int16_t v : samples) test::PutLe16(b, static_cast<uint16_t>(v));
    return b;
}

Bytes Float32s(const std::vector<float>& samples) {
    Bytes b;
    for (float f : samples) {
        uint32_t bits = 0;
        std::memcpy(&bits, &f, sizeof bits);
        test::PutLe32(b, bits);
    }
    return b;
}

TEST(SourceWaveConversion, WiderSamplesPlayAsRoundedClampedSixteenBitAcrossBlocksAndWraps) {
    struct Conversion {
        const char* name;
        uint16_t tag, bits;  // tag 0xFFFE: extensible with sub-format `sub`
        uint16_t sub;
        Bytes samples;  // stereo frames as stored
        std::vector<int16_t> want;
    };
    const float nan = std::nanf("");
    const Conversion conversions[] = {
        {"24-bit",
         1,
         24,
         0,
         {0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x80, 0x80, 0x00, 0x00, 0x7F, 0x00, 0x00,
          0x7F, 0xFF, 0xFF, 0x80, 0xFF, 0xFF, 0x34, 0x12, 0x00, 0x00, 0x00, 0x00},
         {32767, -32768, 1, 0, -1, 0, 18, 0}},
        {"32-bit",
         1,
         32,
         0,
         {0xFF, 0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x00, 0x80, 0x00, 0x80, 0x00, 0x00,
          0xFF, 0x7F, 0x00, 0x00, 0x00, 0x00, 0x34, 0x12, 0xFF, 0x7F, 0xFF, 0xFF},
         {32767, -32768, 1, 0, 4660, -1}},
        {"float",
         3,
         32,
         0,
         Float32s({1.0f, -1.0f, 0.5f, 1e-9f, nan, 2.0f, -0.25f, -3.0f}),
         {32767, -32768, 16384, 0, 0, 32767, -8192, -32768}},
        {"extensible 24-bit", 0xFFFE, 24, 1, {0x00, 0x80, 0x00, 0x00, 0x80, 0xFF}, {128, -128}},
        {"extensible float", 0xFFFE, 32, 3, Float32s({0.125f, -0.125f}), {4096, -4096}},
    };
    BlockSize block(1001);  // blocks that end inside samples
    for (const Conversion& c : conversions) {
        // Enough frames for several staging rounds: the sample list over and over.
        Bytes stored, want;
        const Bytes wanted = Le16s(c.want);
        for (int i = 0; i < 1500; ++i) {
            stored.insert(stored.end(), c.samples.begin(), c.samples.end());
            want.insert(want.end(), wanted.begin(), wanted.end());
        }
        const Bytes image = c.tag == 0xFFFE
                                ? Extensible(2, 8000, c.bits, c.sub, stored)
                                : WaveBuilder().Format(c.tag, 2, 8000, c.bits).Data(stored).Build();
        TempFile f(image);
        CWaveFileStream s;
        ASSERT_TRUE(s.Open(f.c_str(), 0, static_cast<uint32_t>(image.size()))) << c.name;
        ds::WAVEFORMATEX format{};
        ASSERT_TRUE(s.GetFormat(format));
        EXPECT_EQ(format.wFormatTag, 1) << c.name;
        EXPECT_EQ(format.wBitsPerSample, 16) << c.name;
        EXPECT_EQ(format.nBlockAlign, 4) << c.name;
        EXPECT_EQ(format.nAvgBytesPerSec, 32000u) << c.name;
        EXPECT_EQ(s.m_DataSize, want.size()) << c.name;
        EXPECT_EQ(s.m_FrameCount, want.size() / 4) << c.name;
        s.SetLoopStart(7);
        s.m_PassesLeft = 3;
        const size_t end = want.size();
        PullAndCheck(s, Expected(want, end, 28, 3, 3 * end), true, 999, 1000);
        ASSERT_TRUE(s.SeekFrame(3));
        Bytes got(10);
        ASSERT_TRUE(s.Gets(got.data(), 10)) << c.name;
        EXPECT_EQ(got, Slice(want, 12, 22)) << c.name;
    }
}

TEST(SourceWaveConversion, APartFrameAtTheEndNeverPlaysAndLoopsWrapOnFrames) {
    for (uint16_t bits : {16, 24}) {
        const uint32_t frame = bits / 8u * 2;
        const Bytes stored = PatternPcm(250 * frame + frame - 1);  // 250 frames and a part
        const Bytes image = WaveBuilder().Format(1, 2, 8000, bits).Data(stored).Build();
        TempFile f(image);
        CWaveFileStream s;
        ASSERT_TRUE(s.Open(f.c_str(), 0, static_cast<uint32_t>(image.size())));
        EXPECT_EQ(s.m_FrameCount, 250u);
        EXPECT_EQ(s.m_DataSize, 1000u);
        s.m_PassesLeft = 3;
        Bytes all(3000 + 100, 0xAA);
        uint32_t delivered = 0;
        EXPECT_FALSE(s.Gets(all.data(), 3100, &delivered));
        EXPECT_EQ(delivered, 3000u) << bits;
        // Pass 2 starts with frame 0 again, not with the part frame's bytes.
        all.resize(1008);
        Bytes firstFrames(all.begin() + 1000, all.end());
        Bytes again(all.begin(), all.begin() + 8);
        EXPECT_EQ(firstFrames, again) << bits;
    }
    // Less than one frame: refused as no audio; nothing plays, not even the bytes before
    // the data.
    const Bytes image = WaveBuilder().Format(1, 2, 8000, 16).Data(PatternPcm(3)).Build();
    TempFile f(image);
    CWaveFileStream s;
    ReportCapture reports;
    ASSERT_FALSE(s.Open(f.c_str(), 0, static_cast<uint32_t>(image.size())));
    EXPECT_EQ(reports.DebugLines(), std::vector<std::string>{msg::kNoAudio});
    EXPECT_EQ(s.m_FrameCount, 0u);
    s.m_PassesLeft = 0;
    Bytes got(64, 0xAA);
    EXPECT_FALSE(s.Gets(got.data(), 64));
    EXPECT_EQ(got, Bytes(64, 0));
}

TEST(SourceWaveLoopPoints, ASamplerLoopAppliesWithTheKeyOnAndTheHostOverridesIt) {
    const Bytes pcm = PatternPcm(8000, 9);  // 2000 frames of 16-bit stereo
    auto sampler = [](uint32_t start, uint32_t end) {
        Bytes b(36, 0);
        b[28] = 1;            // one loop
        test::PutLe32(b, 0);  // cue point id
        test::PutLe32(b, 0);  // type: forward
        test::PutLe32(b, start);
        test::PutLe32(b, end);  // inclusive
        test::PutLe32(b, 0);
        test::PutLe32(b, 0);
        return b;
    };
    // The sampler chunk after the data, as editors write it; an odd chunk before it.
    const Bytes image = WaveBuilder()
                            .Format(1, 2, 44100, 16)
                            .Data(pcm)
                            .PaddedChunk("LIST", Bytes(3, 1))
                            .Chunk("smpl", sampler(500, 1499))
                            .Build();
    const Bytes bad =
        WaveBuilder().Format(1, 2, 44100, 16).Data(pcm).Chunk("smpl", sampler(500, 2000)).Build();
    TempFile f(image), b(bad);
    const std::string on = "FILE_LOOP_POINTS = true";
    TempFile ini(Bytes(on.begin(), on.end()));
    Settings().ResetToDefaults();
    {
        CWaveFileStream s;  // off by default: the file loops whole
        ASSERT_TRUE(s.Open(f.c_str(), 0, static_cast<uint32_t>(image.size())));
        EXPECT_EQ(s.LoopStartBytes(), 0u);
        s.m_PassesLeft = 2;
        PullAndCheck(s, Expected(pcm, 8000, 0, 2, 16000), true, 3000, 10);
    }
    ASSERT_TRUE(ReadModuleSettings(ini.c_str()));
    ASSERT_TRUE(Settings().FILE_LOOP_POINTS.load());
    {
        CWaveFileStream s;
        ASSERT_TRUE(s.Open(f.c_str(), 0, static_cast<uint32_t>(image.size())));
        EXPECT_EQ(s.LoopStartBytes(), 2000u);
        s.m_PassesLeft = 3;
        PullAndCheck(s, Expected(pcm, 6000, 2000, 3, 30000), true, 1500, 20);
        // The host's points win.
        s.SetLoopStart(0);
        ASSERT_TRUE(s.SetLoopEnd(2000));
        ASSERT_TRUE(s.SeekFrame(0));
        s.m_PassesLeft = 2;
        PullAndCheck(s, Expected(pcm, 8000, 0, 2, 16000), true, 3000, 10);
    }
    {
        CWaveFileStream s;
        ReportCapture reports;
        ASSERT_TRUE(s.Open(b.c_str(), 0, static_cast<uint32_t>(bad.size())));
        EXPECT_EQ(reports.DebugLines(), std::vector<std::string>{[] {
                      char text[256];
                      std::snprintf(text, sizeof text, msg::kFileLoopIgnored, 500u, 2001u, 2000u);
                      return std::string(text);
                  }()});
        EXPECT_EQ(s.LoopStartBytes(), 0u);
    }
    Settings().ResetToDefaults();
}

TEST(SourceWaveHeader, CountsFramesAndSeeksWithinThem) {
    TempFile f(test::MakeWave(2, 44100, 16, PatternPcm(400)));
    CWaveFileStream s;
    ds::WAVEFORMATEX fmt{};
    EXPECT_FALSE(s.GetFormat(fmt));
    ASSERT_TRUE(s.Open(f.c_str(), 0, 444));
    EXPECT_EQ(s.m_FrameCount, 100u);
    EXPECT_TRUE(s.SeekFrame(99));
    EXPECT_EQ(s.m_DataPosition.load(), 396u);
    EXPECT_FALSE(s.SeekFrame(100));
    EXPECT_FALSE(s.SeekFrame(0x40000000u));  // frame x 4 passes 32 bits
    EXPECT_TRUE(s.Gets(nullptr, 0));
    ReportCapture reports;
    EXPECT_FALSE(s.Gets(nullptr, -1));
    EXPECT_EQ(reports.CountBox(msg::kRequestTooLarge), 1);
}

// ---------------------------------------------------------------------------------------

class SourceWaveStream : public ::testing::Test {
protected:
    // 8000 bytes of 16-bit stereo PCM (2000 frames) after 1000 foreign bytes, followed by
    // a LIST chunk and 500 more foreign bytes in the same file.
    SourceWaveStream()
        : pcm(PatternPcm(8000, 5)),
          image(WaveBuilder()
                    .Format(1, 2, 44100, 16)
                    .Data(pcm)
                    .Chunk("LIST", Bytes(64, 0x11))
                    .Build()),
          file(Wrap(image)),
          disk(file) {}
    static Bytes Wrap(const Bytes& image) {
        Bytes b(1000 + image.size() + 500, 0xDD);
        std::fill(b.begin(), b.begin() + 1000, 0xEE);
        std::copy(image.begin(), image.end(), b.begin() + 1000);
        return b;
    }
    bool Open(CWaveFileStream& s) {
        return s.Open(disk.c_str(), 1000, static_cast<uint32_t>(image.size()));
    }

    BlockSize block{1024};
    Bytes pcm, image, file;
    TempFile disk;
};

// A loop that lies in the block read last goes round in memory: a loop of one frame
// wraps thousands of times in a request with one disk read, handing out the same bytes.
TEST_F(SourceWaveStream, ATinyLoopWrapsInMemoryWithoutReadingAgain) {
    for (const uint32_t frames : {1u, 16u, 200u}) {
        std::atomic<int> reads{0};
        CWaveFileStream s(std::make_unique<CountingFile>(reads));
        ASSERT_TRUE(Open(s));
        s.SetLoopStart(700);
        ASSERT_TRUE(s.SetLoopEnd(700 + frames));
        s.m_PassesLeft = 0;
        Bytes got(4 * 700);
        ASSERT_TRUE(s.Gets(got.data(), static_cast<int32_t>(got.size())));
        const int before = reads.load();
        got.assign(32768, 0xAA);
        ASSERT_TRUE(s.Gets(got.data(), static_cast<int32_t>(got.size())));
        for (size_t i = 0; i < got.size(); ++i) {
            ASSERT_EQ(got[i], pcm[4 * 700 + i % (4 * frames)]) << frames << " " << i;
        }
        EXPECT_LE(reads.load() - before, 2) << frames;
    }
}

TEST_F(SourceWaveStream, LoopCountsWrapWithoutAGap) {
    struct Case {
        int32_t loops;
        uint32_t loopFrame;
        int32_t request;
    };
    for (const Case c : {Case{1, 0, 3000}, Case{2, 500, 1500}, Case{2, 1999, 777},
                         Case{0, 1000, 5000}, Case{-3, 10, 4096}}) {
        CWaveFileStream s;
        ASSERT_TRUE(Open(s));
        s.SetLoopStart(c.loopFrame);
        s.m_PassesLeft = c.loops;
        const bool ends = c.loops > 0;
        const Bytes want = Expected(pcm, 8000, c.loopFrame * 4, c.loops, 6 * 8000);
        const int calls = PullAndCheck(s, want, ends, c.request, 6 * 8000 / c.request);
        const int wantCalls =
            ends ? static_cast<int>(want.size() / c.request) + 1 : 48000 / c.request;
        EXPECT_EQ(calls, wantCalls) << c.loops;
    }
}

TEST_F(SourceWaveStream, PositionAfterAWrapIsTheLoopStartPlusTheBytesTakenFromIt) {
    CWaveFileStream s;
    ASSERT_TRUE(Open(s));
    s.SetLoopStart(250);
    s.m_PassesLeft = 0;
    Bytes got(6000);
    ASSERT_TRUE(s.Gets(got.data(), 6000));
    EXPECT_EQ(s.m_DataPosition.load(), 6000u);
    ASSERT_TRUE(s.Gets(got.data(), 6000));  // 2000 tail bytes, 4000 from byte 1000
    EXPECT_EQ(s.m_DataPosition.load(), 5000u);
    EXPECT_EQ(s.m_PassesLeft.load(), 0);
}

TEST_F(SourceWaveStream, EndFrameHoldsToTheByteEvenInsideTheFirstBlock) {
    CWaveFileStream s;
    ASSERT_TRUE(Open(s));
    EXPECT_FALSE(s.SetLoopEnd(5000));  // beyond the image
    ASSERT_TRUE(s.SetLoopEnd(2015));   // beyond the data: the LIST chunk is not PCM
    s.m_PassesLeft = 2;
    PullAndCheck(s, Expected(pcm, 8000, 0, 2, 16000), true, 3000, 10);

    CWaveFileStream t;
    ASSERT_TRUE(Open(t));
    ASSERT_TRUE(t.SetLoopEnd(100));  // 400 bytes, all inside the block already read
    t.SetLoopStart(20);
    t.m_PassesLeft = 0;
    PullAndCheck(t, Expected(pcm, 400, 80, 0, 4000), false, 1000, 4);  // several wraps a call
}

TEST_F(SourceWaveStream, LoopStartPastTheEndFailsWithItsReports) {
    for (uint32_t frame : {2000u, 0x40000001u}) {  // at the end; 4 bytes if the product wrapped
        CWaveFileStream s;
        ASSERT_TRUE(Open(s));
        s.SetLoopStart(frame);
        s.m_PassesLeft = 0;
        ReportCapture reports;
        PullAndCheck(s, pcm, true, 3000, 3);
        EXPECT_EQ(reports.CountDebug(msg::kSeekReadFailed), 10);
        EXPECT_EQ(reports.Boxes(),
                  (std::vector<std::string>{msg::kLoopSeekFailed, msg::kReadErrorAfterWrap}));
    }
}

TEST_F(SourceWaveStream, ReadFailuresLeaveSilenceAndRecover) {
    for (uint16_t bits : {16, 8}) {
        Bytes img = WaveBuilder().Format(1, 1, 8000, bits).Data(pcm).Build();
        TempFile f(img);
        std::atomic<bool> failNext{false};
        CWaveFileStream s(std::make_unique<FailingFile>(failNext));
        ASSERT_TRUE(s.Open(f.c_str(), 0, static_cast<uint32_t>(img.size())));
        failNext = true;
        Bytes got(1500, 0xAA);
        ASSERT_TRUE(s.Gets(got.data(), 1500));  // 1024 bytes in memory, then the failure
        Bytes want = Slice(pcm, 0, 1024);
        want.resize(1500, bits == 8 ? 0x80 : 0x00);
        EXPECT_EQ(got, want) << bits;
        ASSERT_TRUE(s.Gets(got.data(), 1500));  // the missed block is read again
        EXPECT_EQ(got, Slice(pcm, 1024, 2524)) << bits;
    }
    // At the wrap, a failed refill is retried by the next seek: still seamless.
    CWaveFileStream s;
    ASSERT_TRUE(Open(s));
    s.m_PassesLeft = 0;
    Bytes got(7000);
    ASSERT_TRUE(s.Gets(got.data(), 7000));
    ReportCapture reports;
    ArmFault(FaultPoint::FileRead, 1);  // the tail block reads, the loop start's fails once
    got.assign(2000, 0xAA);
    ASSERT_TRUE(s.Gets(got.data(), 2000));
    DisarmFaults();
    EXPECT_EQ(got, Slice(Expected(pcm, 8000, 0, 0, 9000), 7000, 9000));
    EXPECT_EQ(reports.CountDebug(msg::kSeekReadFailed), 1);
    EXPECT_TRUE(reports.Boxes().empty());
}

// ---------------------------------------------------------------------------------------

// A disk file that counts its reads and those made without the read guard held by the
// reading thread (counted, not asserted: assertions off the main thread are not safe on
// every target).
class GuardCheckingFile : public CReadOnlyFile {
public:
    GuardCheckingFile(std::atomic<int>& reads, std::atomic<int>& unguarded)
        : m_Reads(reads), m_Unguarded(unguarded) {}
    bool Read(void* buffer, uint32_t count) override {
        ++m_Reads;
        if (!FileReadGuard().HeldByThisThread()) ++m_Unguarded;
        return CReadOnlyFile::Read(buffer, count);
    }

private:
    std::atomic<int>& m_Reads;
    std::atomic<int>& m_Unguarded;
};

// Two readers on two threads, as two stream workers: each gets its own bytes, and every
// disk read of either runs under the read guard.
TEST_F(SourceWaveStream, TwoReadersOnTwoThreadsGetTheirOwnBytesAndReadUnderTheGuard) {
    const Bytes want = Expected(pcm, 8000, 1200, 3, 24000);
    std::atomic<int> reads{0}, unguarded{0};
    auto run = [&](int32_t request) {
        CWaveFileStream s(std::make_unique<GuardCheckingFile>(reads, unguarded));
        ASSERT_TRUE(Open(s));
        s.SetLoopStart(300);
        s.m_PassesLeft = 3;
        PullAndCheck(s, want, true, request, 100);
    };
    std::thread a(run, 700), b(run, 333);
    a.join();
    b.join();
    EXPECT_GE(reads.load(), 2 * 8);  // each reads the disk block by block (1024 bytes)
    EXPECT_EQ(unguarded.load(), 0);
}

// A directory, a device or a FIFO where the music file belongs is refused at once with a
// box naming it; nothing waits for a FIFO's writer.
TEST(SourceFileReader, RefusesWhatIsNotARegularFile) {
    test::ScopedWorkingDirectory dir;
    std::vector<std::string> names = {dir.Path()};
#ifdef _WIN32
    names.push_back("NUL");
#else
    names.push_back("/dev/null");
    names.push_back("/dev/zero");
    ASSERT_EQ(mkfifo("music.wav", 0600), 0);
    names.push_back("music.wav");
#endif
    for (const std::string& name : names) {
        ReportCapture reports;
        CFileStreamRead reader;
        reader.SetBlockSize(1024);
        EXPECT_FALSE(reader.Open(name.c_str(), 0, 1000)) << name;
        char box[1024];
        std::snprintf(box, sizeof box, msg::kNotRegularFile, name.c_str());
        EXPECT_EQ(reports.Boxes(), std::vector<std::string>{box}) << name;
    }
}

}  // namespace
}  // namespace sonaflux
