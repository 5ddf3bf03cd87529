#include "source/image_kind.h"

#include <cstring>

namespace sonaflux {
namespace {

bool At(const uint8_t* head, uint32_t length, uint32_t offset, const char* text) {
    const size_t n = std::strlen(text);
    return offset + n <= length && std::memcmp(head + offset, text, n) == 0;
}

// The codec of an Ogg stream, from the first packet of its first page.
ImageProbe ProbeOgg(const uint8_t* head, uint32_t length) {
    if (length < 27) return {ImageKind::OggVorbis};
    const uint32_t packet = 27u + head[26];
    if (At(head, length, packet, "OpusHead")) return {ImageKind::OggOpus};
    if (At(head, length, packet,
           "\x7F"
           "FLAC"))
        return {ImageKind::OggFlac};
    if (At(head, length, packet, "Speex   ")) return {ImageKind::Unsupported, "Ogg Speex"};
    if (At(head, length, packet, "\x80theora")) return {ImageKind::Unsupported, "Ogg Theora"};
    return {ImageKind::OggVorbis};
}

struct Signature {
    uint32_t offset;
    const char* bytes;
    const char* name;
};

// Kinds that are not played. Offsets and bytes as each format's first bytes hold them.
constexpr Signature kUnsupported[] = {
    {0, "ID3", "MP3"},
    {0, "RF64", "RF64 (64-bit WAVE)"},
    {0, "MThd", "MIDI"},
    {4, "ftyp", "MP4/M4A"},
    {0, "wvpk", "WavPack"},
    {0, "MAC ", "Monkey's Audio"},
    {0, ".snd", "Sun/NeXT (.au)"},
    {0, "caff", "Core Audio (CAF)"},
    {0, "#!AMR", "AMR"},
    {0, "\x30\x26\xB2\x75", "WMA/ASF"},
};

}  // namespace

ImageProbe ProbeImage(const uint8_t* head, uint32_t length) {
    if (At(head, length, 0, "RIFF")) return {ImageKind::Wave};
    if (At(head, length, 0, "OggS")) return ProbeOgg(head, length);
    if (At(head, length, 0, "fLaC")) return {ImageKind::Flac};
    if (At(head, length, 0, "FORM") &&
        (At(head, length, 8, "AIFF") || At(head, length, 8, "AIFC"))) {
        return {ImageKind::Unsupported, "AIFF"};
    }
    for (const Signature& s : kUnsupported) {
        if (At(head, length, s.offset, s.bytes)) return {ImageKind::Unsupported, s.name};
    }
    // An MPEG audio frame header: 11 bits of sync; layer bits 00 there mean AAC (ADTS).
    if (length >= 2 && head[0] == 0xFF && (head[1] & 0xE0) == 0xE0) {
        return {ImageKind::Unsupported, (head[1] & 0x06) == 0 ? "AAC (ADTS)" : "MP3"};
    }
    return {ImageKind::Unknown};
}

}  // namespace sonaflux
