#include "support/codec_files.h"

#include <FLAC/metadata.h>
#include <FLAC/stream_decoder.h>
#include <FLAC/stream_encoder.h>
#include <opusenc.h>
#include <opusfile.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace sonaflux::test {
namespace {

// A growing file in memory, for the encoders that seek back to finish their headers.
struct MemoryOut {
    Bytes bytes;
    size_t position = 0;
    void Write(const uint8_t* data, size_t n) {
        if (bytes.size() < position + n) bytes.resize(position + n);
        std::memcpy(bytes.data() + position, data, n);
        position += n;
    }
};

FLAC__StreamEncoderWriteStatus FlacWrite(const FLAC__StreamEncoder*, const FLAC__byte buffer[],
                                         size_t bytes, uint32_t, uint32_t, void* client) {
    static_cast<MemoryOut*>(client)->Write(buffer, bytes);
    return FLAC__STREAM_ENCODER_WRITE_STATUS_OK;
}
FLAC__StreamEncoderSeekStatus FlacSeek(const FLAC__StreamEncoder*, FLAC__uint64 offset,
                                       void* client) {
    static_cast<MemoryOut*>(client)->position = static_cast<size_t>(offset);
    return FLAC__STREAM_ENCODER_SEEK_STATUS_OK;
}
FLAC__StreamEncoderTellStatus FlacTell(const FLAC__StreamEncoder*, FLAC__uint64* offset,
                                       void* client) {
    *offset = static_cast<MemoryOut*>(client)->position;
    return FLAC__STREAM_ENCODER_TELL_STATUS_OK;
}
FLAC__StreamEncoderReadStatus FlacReadBack(const FLAC__StreamEncoder*, FLAC__byte buffer[],
                                           size_t* bytes, void* client) {
    auto* out = static_cast<MemoryOut*>(client);
    *bytes = std::min(*bytes, out->bytes.size() - std::min(out->position, out->bytes.size()));
    std::memcpy(buffer, out->bytes.data() + out->position, *bytes);
    out->position += *bytes;
    return *bytes ? FLAC__STREAM_ENCODER_READ_STATUS_CONTINUE
                  : FLAC__STREAM_ENCODER_READ_STATUS_END_OF_STREAM;
}

struct MemoryIn {
    const Bytes* bytes = nullptr;
    size_t position = 0;
    std::vector<int32_t> samples;
};

FLAC__StreamDecoderReadStatus FlacRead(const FLAC__StreamDecoder*, FLAC__byte buffer[],
                                       size_t* bytes, void* client) {
    auto* in = static_cast<MemoryIn*>(client);
    *bytes = std::min(*bytes, in->bytes->size() - in->position);
    std::memcpy(buffer, in->bytes->data() + in->position, *bytes);
    in->position += *bytes;
    return *bytes ? FLAC__STREAM_DECODER_READ_STATUS_CONTINUE
                  : FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM;
}
FLAC__StreamDecoderWriteStatus FlacTake(const FLAC__StreamDecoder*, const FLAC__Frame* frame,
                                        const FLAC__int32* const buffer[], void* client) {
    auto* in = static_cast<MemoryIn*>(client);
    for (uint32_t i = 0; i < frame->header.blocksize; ++i) {
        for (uint32_t c = 0; c < frame->header.channels; ++c) in->samples.push_back(buffer[c][i]);
    }
    return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
}
void FlacError(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus, void*) {
    throw std::runtime_error("libFLAC decode error");
}

}  // namespace

double ToneSample(uint32_t frame, uint32_t rate, uint16_t channel) {
    // The phase of a tone whose pitch sweeps 220..550 Hz every second, in closed form.
    const double t = static_cast<double>(frame) / rate;
    const double whole = std::floor(t);
    const double f = t - whole;
    const double phase =
        2 * 3.14159265358979 * (whole * (220.0 + 165.0) + 220.0 * f + 165.0 * f * f);
    return 0.4 * std::sin(phase * (channel + 1)) + 0.2 * std::sin(phase * 3.01);
}

namespace {

// The next block (at most 4096 frames) of the tone from frame `done`, interleaved and
// scaled to the encoder's sample type; answers its frames.
template <typename Sample>
uint32_t ToneBlock(uint32_t done, uint32_t frames, uint32_t rate, uint16_t channels, double scale,
                   std::vector<Sample>& block) {
    const uint32_t n = std::min<uint32_t>(4096, frames - done);
    block.clear();
    for (uint32_t i = 0; i < n; ++i) {
        for (uint16_t c = 0; c < channels; ++c) {
            block.push_back(
                static_cast<Sample>(std::lround(ToneSample(done + i, rate, c) * scale)));
        }
    }
    return n;
}

}  // namespace

Bytes EncodeFlac(uint16_t channels, uint32_t rate, uint16_t bits, uint32_t frames,
                 const std::vector<std::string>& comments, bool inOgg) {
    FLAC__StreamEncoder* e = FLAC__stream_encoder_new();
    FLAC__stream_encoder_set_channels(e, channels);
    FLAC__stream_encoder_set_bits_per_sample(e, bits);
    FLAC__stream_encoder_set_sample_rate(e, rate);
    FLAC__stream_encoder_set_total_samples_estimate(e, frames);
    FLAC__stream_encoder_set_compression_level(e, 5);
    FLAC__StreamMetadata* tags = FLAC__metadata_object_new(FLAC__METADATA_TYPE_VORBIS_COMMENT);
    for (const std::string& c : comments) {
        FLAC__StreamMetadata_VorbisComment_Entry entry{
            static_cast<FLAC__uint32>(c.size()),
            reinterpret_cast<FLAC__byte*>(const_cast<char*>(c.data()))};
        FLAC__metadata_object_vorbiscomment_append_comment(tags, entry, true);
    }
    FLAC__stream_encoder_set_metadata(e, &tags, 1);
    MemoryOut out;
    const FLAC__StreamEncoderInitStatus init =
        inOgg
            ? FLAC__stream_encoder_init_ogg_stream(e, &FlacReadBack, &FlacWrite, &FlacSeek,
                                                   &FlacTell, nullptr, &out)
            : FLAC__stream_encoder_init_stream(e, &FlacWrite, &FlacSeek, &FlacTell, nullptr, &out);
    if (init != FLAC__STREAM_ENCODER_INIT_STATUS_OK) throw std::runtime_error("FLAC encoder init");
    const double scale = std::ldexp(1.0, bits - 1) - 1;
    std::vector<int32_t> block;
    for (uint32_t done = 0; done < frames;) {
        const uint32_t n = ToneBlock(done, frames, rate, channels, scale, block);
        FLAC__stream_encoder_process_interleaved(e, block.data(), n);
        done += n;
    }
    FLAC__stream_encoder_finish(e);
    FLAC__stream_encoder_delete(e);
    FLAC__metadata_object_delete(tags);
    return out.bytes;
}

std::vector<int32_t> DecodeFlac(const Bytes& file, bool inOgg) {
    FLAC__StreamDecoder* d = FLAC__stream_decoder_new();
    MemoryIn in;
    in.bytes = &file;
    const auto init =
        inOgg ? &FLAC__stream_decoder_init_ogg_stream : &FLAC__stream_decoder_init_stream;
    if (init(d, &FlacRead, nullptr, nullptr, nullptr, nullptr, &FlacTake, nullptr, &FlacError,
             &in) != FLAC__STREAM_DECODER_INIT_STATUS_OK ||
        !FLAC__stream_decoder_process_until_end_of_stream(d)) {
        FLAC__stream_decoder_delete(d);
        throw std::runtime_error("libFLAC cannot decode");
    }
    FLAC__stream_decoder_delete(d);
    return in.samples;
}

Bytes EncodeOpus(uint16_t channels, uint32_t rate, uint32_t frames,
                 const std::vector<std::string>& comments) {
    OggOpusComments* tags = ope_comments_create();
    for (const std::string& c : comments) ope_comments_add_string(tags, c.c_str());
    MemoryOut out;
    OpusEncCallbacks io = {[](void* user, const unsigned char* data, opus_int32 n) {
                               static_cast<MemoryOut*>(user)->Write(data, static_cast<size_t>(n));
                               return 0;
                           },
                           [](void*) { return 0; }};
    int error = 0;
    OggOpusEnc* e = ope_encoder_create_callbacks(&io, &out, tags, static_cast<opus_int32>(rate),
                                                 channels, 0, &error);
    if (e == nullptr) throw std::runtime_error("libopusenc cannot encode");
    std::vector<opus_int16> block;
    for (uint32_t done = 0; done < frames;) {
        const uint32_t n = ToneBlock(done, frames, rate, channels, 32767, block);
        ope_encoder_write(e, block.data(), static_cast<int>(n));
        done += n;
    }
    ope_encoder_drain(e);
    ope_encoder_destroy(e);
    ope_comments_destroy(tags);
    return out.bytes;
}

Bytes DecodeOpus(const Bytes& file, int64_t from, int64_t to) {
    int error = 0;
    OggOpusFile* f = op_open_memory(file.data(), file.size(), &error);
    if (f == nullptr) throw std::runtime_error("libopusfile cannot open");
    if (from > 0 && op_pcm_seek(f, from) != 0) {
        op_free(f);
        throw std::runtime_error("libopusfile cannot seek");
    }
    const int channels = op_channel_count(f, -1);
    Bytes out;
    float pcm[5760 * 2];
    for (int64_t at = std::max<int64_t>(from, 0); to < 0 || at < to;) {
        const int n = op_read_float(f, pcm, 5760 * 2, nullptr);
        if (n < 0) {
            op_free(f);
            throw std::runtime_error("libopusfile decode error");
        }
        if (n == 0) break;
        const int64_t take = to < 0 ? n : std::min<int64_t>(n, to - at);
        // The float rule: the value x 32768, rounded with halves up, clamped.
        for (int64_t i = 0; i < take * channels; ++i) {
            const double v = std::floor(static_cast<double>(pcm[i]) * 32768.0 + 0.5);
            PutLe16(out,
                    static_cast<uint16_t>(static_cast<int16_t>(std::clamp(v, -32768.0, 32767.0))));
        }
        at += n;
    }
    op_free(f);
    return out;
}

}  // namespace sonaflux::test
