// The only path by which a volume reaches DirectSound: linear factor × master volume,
// through the configured curve, to whole decibels in hundredths.
#include <cmath>

#include "base/diagnostics.h"
#include "base/messages.h"
#include "config/module_options.h"
#include "config/module_settings.h"
#include "platform/extended_precision.h"
#include "sound/stream_buffer.h"

namespace sonaflux {

int32_t LinearToHundredthsDb(double level) {
    if (!(level > 0.0)) return ds::DSBVOLUME_MIN;             // zero, negative or not a number
    [[maybe_unused]] const ExtendedPrecisionScope precision;  // fade threads call this too
    // 20 log10(x) as 20 ln(x) / ln(10) in extended precision, truncated to whole decibels:
    // 0.1 gives -19.99999999999999955 dB and so -1900, as the double nearest 0.1 is above it.
    const long double db = 20.0L * std::log(static_cast<long double>(level)) / std::log(10.0L);
    if (db >= 0.0L) return ds::DSBVOLUME_MAX;
    if (db <= -100.0L) return ds::DSBVOLUME_MIN;
    return static_cast<int32_t>(db) * 100;
}

bool StreamBuffer::ApplyVolume(double factor) {
    const double master = Options().masterVolume.load();
    // A factor or master volume at or below 0 is silence, before the curve could square
    // its sign away.
    double x = 0.0;
    if (master > 0.0 && factor > 0.0) {
        x = master * factor;
        if (Settings().FADETYPE.load() != 1) x = x * x;
    }
    const int32_t attenuation = LinearToHundredthsDb(x);
    if (m_Buffer->SetVolume(attenuation) == ds::DS_OK) return true;
    DebugPrint(msg::kVolumeRefused, attenuation, x);
    return false;
}

bool StreamBuffer::SetVolume(double factor) {
    if (m_Buffer == nullptr) return false;
    CCritSecLock lock(m_VolumeGuard);
    if (ApplyVolume(factor)) m_Fade.SetCurrentVolume(factor);
    return true;
}

bool StreamBuffer::ReapplyVolume() {
    if (m_Buffer == nullptr) return false;
    // Under the guard no fade step comes between reading the current volume and applying
    // it, so the level a fade applied last is never replaced by one read before it.
    CCritSecLock lock(m_VolumeGuard);
    ApplyVolume(m_Fade.CurrentVolume());
    return true;
}

}  // namespace sonaflux
