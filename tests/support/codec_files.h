// FLAC and Ogg Opus files made here with the codec libraries' own encoders, and the
// reference decodes made here with the libraries directly, for the byte-exact tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/wave_image.h"

namespace sonaflux::test {

// The moving tone of EncodeOggVorbis at `channel` for `frame`, in -1..1.
double ToneSample(uint32_t frame, uint32_t rate, uint16_t channel);

// `frames` frames of the tone as FLAC of `bits` bits (4..24), native or in Ogg, with
// the given Vorbis comments.
Bytes EncodeFlac(uint16_t channels, uint32_t rate, uint16_t bits, uint32_t frames,
                 const std::vector<std::string>& comments = {}, bool inOgg = false);
// The whole stream decoded with libFLAC directly: interleaved samples as stored.
std::vector<int32_t> DecodeFlac(const Bytes& file, bool inOgg = false);

// `frames` frames (at `rate`, which libopusenc resamples to 48 kHz) as Ogg Opus with the
// given tags.
Bytes EncodeOpus(uint16_t channels, uint32_t rate, uint32_t frames,
                 const std::vector<std::string>& comments = {});
// The stream decoded with libopusfile directly, from frame `from` (reached with op_pcm_seek,
// as a loop wrap reaches it) up to frame `to` (-1: the end): 48 kHz 16-bit little-endian
// PCM from its float output.
Bytes DecodeOpus(const Bytes& file, int64_t from = 0, int64_t to = -1);

}  // namespace sonaflux::test
