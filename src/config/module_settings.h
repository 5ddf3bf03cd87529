// The process-wide settings that "Sonaflux.ini" tunes. Each field is read and written
// whole from any thread; no order between fields is promised. Readers take the current
// value at the moment they need it.
#pragma once

#include <atomic>
#include <cstdint>

namespace sonaflux {

struct ModuleSettings {
    std::atomic<int32_t> STREAM_BUFFER_SIZE{262144};     // file reader block, bytes
    std::atomic<int32_t> RING_BUFFER_BLOCK_SIZE{32768};  // sound buffer segment, bytes
    std::atomic<int32_t> NOTIFY_MAX{16};                 // segments per sound buffer
    std::atomic<int32_t> STREAM_WARNING_MAX{4};          // loaded-stream warning threshold
    std::atomic<bool> GLOBALFOCUS{false};                // DSBCAPS_GLOBALFOCUS on buffers
    std::atomic<int32_t> FADETYPE{0};                    // 1: squared fades, linear volume
    std::atomic<bool> FILE_LOOP_POINTS{false};           // a WAVE file's smpl loop applies

    // Back to the built-in defaults (tests only; the module itself never resets them).
    void ResetToDefaults();
};

ModuleSettings& Settings();

}  // namespace sonaflux
