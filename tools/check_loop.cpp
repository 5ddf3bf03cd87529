#include "check_loop.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>

#include "play_clock.h"
#include "softds/softds.h"
#include "wave_file.h"

namespace sfplay {

SeamMeasure MeasureSeam(const std::vector<int16_t>& s, uint32_t channels, uint32_t seam) {
    SeamMeasure m;
    const size_t frames = channels ? s.size() / channels : 0;
    if (seam < 2 || seam >= frames) return m;
    auto at = [&](size_t f, uint32_t c) { return static_cast<double>(s[f * channels + c]); };
    double sum = 0, seamError = 0;
    size_t count = 0;
    for (uint32_t c = 0; c < channels; ++c) {
        for (size_t f = 2; f < frames; ++f) {
            const double error = std::fabs(at(f, c) - (2 * at(f - 1, c) - at(f - 2, c)));
            const int32_t step = static_cast<int32_t>(std::fabs(at(f, c) - at(f - 1, c)));
            if (f == seam) {
                seamError = std::max(seamError, error);
                m.jump = std::max(m.jump, step);
            } else if (f != seam + 1) {  // its prediction straddles the seam
                sum += error * error;
                ++count;
                m.largestStep = std::max(m.largestStep, step);
            }
        }
    }
    const double ordinary = count ? std::sqrt(sum / count) : 0.0;
    m.score = seamError / std::max(ordinary, 1.0);  // one LSB: quantisation noise at least
    m.continuous = m.jump <= m.largestStep && m.score <= 1.0;
    return m;
}

std::string SeamSvg(const std::vector<int16_t>& s, uint32_t channels, uint32_t seam,
                    uint32_t rate) {
    const double width = 1000, lane = 200;
    const size_t frames = channels ? s.size() / channels : 0;
    std::ostringstream svg;
    svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\""
        << lane * channels + 20 << "\">\n<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    const double dx = frames > 1 ? width / (frames - 1) : 0;
    for (uint32_t c = 0; c < channels; ++c) {
        const double mid = lane * c + lane / 2;
        svg << "<line x1=\"0\" y1=\"" << mid << "\" x2=\"" << width << "\" y2=\"" << mid
            << "\" stroke=\"#ccc\"/>\n<polyline fill=\"none\" stroke=\"#036\" points=\"";
        for (size_t f = 0; f < frames; ++f) {
            svg << f * dx << "," << mid - s[f * channels + c] * (lane / 2 - 4) / 32768.0 << " ";
        }
        svg << "\"/>\n";
    }
    const double x = seam * dx - dx / 2;
    svg << "<line x1=\"" << x << "\" y1=\"0\" x2=\"" << x << "\" y2=\"" << lane * channels
        << "\" stroke=\"red\"/>\n<text x=\"4\" y=\"" << lane * channels + 15
        << "\" font-size=\"12\">seam at the red line; " << frames << " frames at " << rate
        << " Hz</text>\n</svg>\n";
    return svg.str();
}

namespace {

// Renders `before` frames up to the loop end, then `after` frames of the next pass, into a
// WAV at `path`. False when the module or the device refused.
bool RenderSeam(MusicModule& module, const Source& src, uint32_t before, uint32_t after,
                const std::string& path) {
    softds::DeviceOptions options;
    options.sink = softds::SinkKind::WavFile;
    options.wavPath = path;
    options.outputRate = src.music.rate;
    options.recordPlayed = false;
    options.recordCalls = false;
    std::unique_ptr<softds::Device, void (*)(softds::Device*)> device(
        softds::Device::Create(options), [](softds::Device* d) { d->Release(); });
    if (device == nullptr) return false;
    FrameTimer timer(*device, src.music.rate);
    module.SetDirectSound(device->HostInterface());
    module.SetTimer(&timer);
    MusicPlayer* player = module.GetPlayer(0);
    bool ok = player != nullptr && player->Load(0);
    if (ok) {
        auto* points = static_cast<MusicLoopPoints*>(player->GetInterface(&IID_MusicLoopPoints));
        auto* loop = static_cast<MusicLoopControl*>(player->GetInterface(&IID_MusicLoopControl));
        auto* seek = static_cast<MusicSeekControl*>(player->GetInterface(&IID_MusicSeekControl));
        const uint32_t end = src.loopEnd.value_or(src.music.frames);
        ok = points && loop && seek && points->SetLoopStart(static_cast<int>(src.loopStart)) &&
             points->SetLoopEnd(static_cast<int>(end)) && loop->SetLoopCount(2) &&
             seek->Seek(static_cast<int>(end - before)) && player->Play() &&
             device->Advance(before + after);
        player->Stop();
        player->Unload();
    }
    module.SetTimer(nullptr);
    module.SetDirectSound(nullptr);
    return ok;
}

}  // namespace

int CheckLoop(const PlayOptions&, const SessionIo& io, MusicModule& module, const Source& src,
              const std::string& svgPath) {
    const uint32_t rate = src.music.rate, end = src.loopEnd.value_or(src.music.frames);
    const uint32_t window = std::max<uint32_t>(rate / 50, 3);  // 20 ms
    const uint32_t before = std::min(window, end), after = std::min(window, end - src.loopStart);
    const std::string wav = svgPath + ".part.wav";
    std::vector<uint8_t> bytes;
    std::string error;
    const bool rendered = RenderSeam(module, src, before, after, wav) &&
                          ReadFileBytes(wav, 44, size_t{before + after} * 4, &bytes, &error);
    std::error_code ignored;
    std::filesystem::remove(wav, ignored);
    if (!rendered || bytes.size() < size_t{before + after} * 4) {
        io.err << "sonaflux-play: the loop seam of " << src.label << " could not be rendered\n";
        return kExitFailure;
    }
    std::vector<int16_t> samples(bytes.size() / 2);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<int16_t>(Get16(&bytes[2 * i]));
    const SeamMeasure m = MeasureSeam(samples, 2, before);
    if (!WriteFileBytes(
            svgPath,
            [&] {
                const std::string svg = SeamSvg(samples, 2, before, rate);
                return std::vector<uint8_t>(svg.begin(), svg.end());
            }(),
            &error)) {
        io.err << "sonaflux-play: " << error << "\n";
        return kExitFailure;
    }
    char score[32];
    std::snprintf(score, sizeof score, "%.2f", m.score);
    const bool clicks = m.score > kClickThreshold;
    io.out << "loop seam of " << src.label << ": frame " << end << " -> frame " << src.loopStart
           << "\n  click score " << score << " (the seam's deviation from the signal's course "
           << "against its ordinary deviation; above " << kClickThreshold << " clicks)\n"
           << "  jump " << m.jump << " against a largest ordinary step of " << m.largestStep << ": "
           << (m.continuous ? "sample-continuous" : "NOT sample-continuous") << "\n"
           << "  waveform: " << svgPath << "\n"
           << (clicks ? "  the seam CLICKS\n" : "  the seam is clean\n");
    return clicks ? kExitFailure : kExitOk;
}

}  // namespace sfplay
