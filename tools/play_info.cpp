#include "play_info.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <cstdio>
#include <memory>

#include "softds/softds.h"
#include "sonaflux/sonaflux.h"

namespace sfplay {

LoadFailure FailureSince(MessageRelay& relay, size_t from) {
    // Messages that say a load failed, not why.
    static const char* const kGeneric[] = {"StreamLoadFailed", "FileStreamOpenFailed"};
    relay.Flush();
    const std::vector<ModuleMessage> messages = relay.Messages();
    for (size_t i = from; i < messages.size(); ++i) {
        const ModuleMessage& m = messages[i];
        if (m.id.empty() ||
            std::find(std::begin(kGeneric), std::end(kGeneric), m.id) != std::end(kGeneric)) {
            continue;
        }
        const std::string gloss = GlossOf(m.text);
        return LoadFailure{m.id, gloss.empty() ? m.text : gloss};
    }
    return {};
}

namespace {

void Collect(MusicPlayer& player, MusicReport* r) {
    auto* info = static_cast<MusicSourceInfo*>(player.GetInterface(&IID_MusicSourceInfo));
    auto* format = static_cast<MusicFormatInfo*>(player.GetInterface(&IID_MusicFormatInfo));
    if (info == nullptr || format == nullptr) return;
    const char* container = "";
    const char* codec = "";
    info->GetKind(&container, &codec);
    r->container = container;
    r->codec = codec;
    info->GetStoredFormat(&r->storedRate, &r->storedChannels, &r->storedBits, &r->storedFloat);
    r->rate = format->GetSamplesPerSec();
    r->channels = format->GetChannels();
    r->bits = format->GetBitsPerSample();
    r->frames = info->GetLengthFrames();
    r->fileLoop = info->GetFileLoop(&r->loopStart, &r->loopEnd, &r->loopApplies);
    const uint32_t count = info->GetMarkerCount();
    for (uint32_t i = 0; i < count; ++i) {
        MusicMarker m;
        const char* label = "";
        if (info->GetMarker(i, &m.frame, &label)) {
            m.label = label;
            r->markers.push_back(m);
        }
    }
}

}  // namespace

std::string FormatTime(double seconds) {
    if (!(seconds >= 0) || !std::isfinite(seconds)) seconds = 0;
    if (seconds > 1e9) seconds = 1e9;
    const long long cs = static_cast<long long>(seconds * 100.0);
    char text[40];
    std::snprintf(text, sizeof text, "%lld:%02lld.%02lld", cs / 6000, (cs / 100) % 60, cs % 100);
    return text;
}

bool ReadMusic(MusicModule& m, const std::string& path, uint32_t offset, uint32_t size,
               bool loadFollows, MessageRelay& relay, MusicReport* report, LoadFailure* failure) {
    MusicModule* module = &m;
    softds::DeviceOptions options;
    options.clock = softds::ClockKind::Manual;
    options.sink = softds::SinkKind::None;
    options.recordPlayed = false;
    options.recordCalls = false;
    std::unique_ptr<softds::Device, void (*)(softds::Device*)> device(
        softds::Device::Create(options), [](softds::Device* d) { d->Release(); });
    if (device == nullptr) return false;
    relay.BeginPreview();
    const size_t before = relay.Messages().size();
    module->SetDirectSound(device->HostInterface());
    MusicPlayer* player = module->GetPlayer(0);
    const bool loaded =
        player != nullptr &&
        module->SetPlayInfo(0, path.c_str(), static_cast<int>(offset), static_cast<int>(size)) &&
        player->Load(0);
    if (loaded) Collect(*player, report);
    // The module stays (its Release would drop the message route); only the piece and the
    // device go.
    if (player != nullptr) player->Unload();
    module->SetDirectSound(nullptr);
    if (!loaded) *failure = FailureSince(relay, before);
    relay.EndPreview(!loaded || !loadFollows);
    return loaded;
}

void PrintReport(std::ostream& out, const std::string& label, const MusicReport& r) {
    out << label << ": " << r.container << ", " << r.codec << "\n";
    out << "  stored: " << r.storedRate << " Hz, " << r.storedChannels << " channel(s), ";
    if (r.storedBits == 0) {
        out << "no bit depth (a lossy codec)";
    } else {
        out << r.storedBits << "-bit " << (r.storedFloat ? "float" : "integer");
    }
    out << "\n  buffer: " << r.rate << " Hz, " << r.channels << " channel(s), " << r.bits
        << "-bit integer\n";
    const double seconds = r.rate ? double(r.frames) / r.rate : 0.0;
    out << "  length: " << r.frames << " frames (" << FormatTime(seconds) << ")\n";
    if (r.fileLoop) {
        out << "  file loop: frames " << r.loopStart << " to " << r.loopEnd << " (end exclusive), "
            << (r.loopApplies ? "applies" : "stored only (not applied by the module)") << "\n";
    } else {
        out << "  file loop: none\n";
    }
    out << "  markers: " << r.markers.size() << "\n";
    for (const MusicMarker& m : r.markers) {
        out << "    frame " << m.frame << (m.label.empty() ? "" : "  " + m.label) << "\n";
    }
}

}  // namespace sfplay
