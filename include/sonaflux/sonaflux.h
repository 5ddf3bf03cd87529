// Sonaflux: the background-music module of a game engine.
//
// A host loads the library, calls CreateInterface(&IID_MusicModule), hands the module its
// DirectSound device and a millisecond timer, registers music entries and plays them
// through players. Every interface is an abstract class whose operations stand in a fixed
// slot order; nothing is reference-counted and no operation throws. All calls are made on
// the host's thread.
#pragma once

#include <cstdint>

#include "sonaflux/guid.h"

// The host's DirectSound device. Only declared here, so that a Windows host can include
// this header together with <dsound.h>; on Linux, softds hands out such devices.
struct IDirectSound;

// Identifiers, in their memory layout (Data1..Data3 little-endian on every target).
inline constexpr GUID IID_MusicModule = {
    0x2C46570E, 0x4695, 0x40BB, {0x9F, 0x89, 0xD8, 0x90, 0x48, 0xAF, 0x70, 0x27}};
inline constexpr GUID IID_MusicVolumeControl = {
    0x977AE78E, 0xAEDA, 0x472E, {0x8D, 0xE8, 0x9B, 0xEB, 0x3D, 0xA6, 0x96, 0xDC}};
inline constexpr GUID IID_MusicTimeInfo = {
    0xBBEF5E24, 0x8278, 0x11D4, {0xBE, 0xB2, 0x00, 0xC0, 0xF6, 0xB0, 0xE9, 0xBE}};
inline constexpr GUID IID_MusicLoopControl = {
    0xBBEF5E21, 0x8278, 0x11D4, {0xBE, 0xB2, 0x00, 0xC0, 0xF6, 0xB0, 0xE9, 0xBE}};
inline constexpr GUID IID_MusicFadeControl = {
    0xBBEF5E22, 0x8278, 0x11D4, {0xBE, 0xB2, 0x00, 0xC0, 0xF6, 0xB0, 0xE9, 0xBE}};
inline constexpr GUID IID_MusicPauseControl = {
    0xBBEF5E23, 0x8278, 0x11D4, {0xBE, 0xB2, 0x00, 0xC0, 0xF6, 0xB0, 0xE9, 0xBE}};
inline constexpr GUID IID_MusicSampleInfo = {
    0x68BD8586, 0x588D, 0x45EB, {0x86, 0x25, 0x2B, 0xFA, 0x04, 0x8A, 0x51, 0xE2}};
inline constexpr GUID IID_MusicLoopPoints = {
    0x461E69D5, 0x70D4, 0x48FC, {0x98, 0x44, 0x20, 0xCF, 0xBB, 0x01, 0x14, 0x4A}};
inline constexpr GUID IID_MusicSeekControl = {
    0x3D28BC1D, 0x9D1A, 0x4690, {0x9F, 0xC1, 0x8D, 0x16, 0x9B, 0x58, 0x22, 0xC4}};
inline constexpr GUID IID_MusicFormatInfo = {
    0x63B4A485, 0xF28B, 0x4BCB, {0x9E, 0xA2, 0x30, 0xF8, 0x4F, 0x97, 0xAE, 0x5D}};

// The host's millisecond timer. The module calls only the second operation.
class ITimer {
public:
    virtual int32_t Acquire() = 0;
    virtual uint32_t GetTime() = 0;  // milliseconds, wrapping at 2^32

protected:
    ~ITimer() = default;
};

class MusicPlayer;

// The master volume of every stream: a linear factor, 1.0 = full level.
class MusicVolumeControl {
public:
    virtual double GetMasterVolume() = 0;
    virtual bool SetMasterVolume(double volume) = 0;

protected:
    ~MusicVolumeControl() = default;
};

class MusicModule {
public:
    virtual int32_t Acquire() = 0;  // always 1
    virtual int32_t Release() = 0;  // frees every entry and player; always 0
    virtual bool SetDirectSound(IDirectSound* device) = 0;
    virtual bool SetPlayInfo(int index, const char* fileName, int offset, int size) = 0;
    virtual void SetShortBufferDesc(bool on) = 0;
    virtual void SetSoftwareBuffer(bool on) = 0;
    virtual void SetKeepPriority(bool on) = 0;
    virtual void SetTimer(ITimer* timer) = 0;
    virtual MusicPlayer* GetPlayer(int index) = 0;
    virtual void* GetInterface(const GUID* iid) = 0;

protected:
    ~MusicModule() = default;
};

class MusicPlayer {
public:
    virtual int32_t Acquire() = 0;  // always 1
    virtual int32_t Release() = 0;  // always 0; players belong to the module
    virtual bool Load(int musicNumber) = 0;
    virtual bool Unload() = 0;
    virtual bool Play() = 0;
    virtual bool Stop() = 0;
    virtual bool IsPlaying() = 0;
    virtual void* GetInterface(const GUID* iid) = 0;
    virtual ~MusicPlayer() = default;
};

class MusicTimeInfo {
public:
    virtual int32_t GetPositionMs() = 0;
    virtual int32_t GetLengthMs() = 0;

protected:
    ~MusicTimeInfo() = default;
};

class MusicLoopControl {
public:
    virtual bool SetLoopCount(int count) = 0;  // 1 = once, n = n times, 0 or less = endless
    virtual int GetLoopCount() = 0;

protected:
    ~MusicLoopControl() = default;
};

class MusicFadeControl {
public:
    virtual bool Fade(int durationMs, int percent, bool stopAtEnd) = 0;
    virtual bool StopFade() = 0;
    virtual bool IsFading() = 0;

protected:
    ~MusicFadeControl() = default;
};

class MusicPauseControl {
public:
    virtual bool Pause() = 0;
    virtual bool Resume() = 0;
    virtual int32_t IsPaused() = 0;

protected:
    ~MusicPauseControl() = default;
};

class MusicSampleInfo {
public:
    virtual uint32_t GetPositionSamples() = 0;
    virtual uint32_t GetLengthSamples() = 0;

protected:
    ~MusicSampleInfo() = default;
};

class MusicLoopPoints {
public:
    virtual bool SetLoopStart(int frame) = 0;
    virtual bool SetLoopEnd(int frame) = 0;

protected:
    ~MusicLoopPoints() = default;
};

class MusicSeekControl {
public:
    virtual bool Seek(int frame) = 0;
    virtual uint32_t GetLengthSamples() = 0;

protected:
    ~MusicSeekControl() = default;
};

class MusicFormatInfo {
public:
    virtual uint32_t GetFormatTag() = 0;
    virtual uint32_t GetChannels() = 0;
    virtual uint32_t GetSamplesPerSec() = 0;
    virtual uint32_t GetAvgBytesPerSec() = 0;
    virtual uint32_t GetBlockAlign() = 0;
    virtual uint32_t GetBitsPerSample() = 0;

protected:
    ~MusicFormatInfo() = default;
};

extern "C" {
// The library's one export: the module interface for IID_MusicModule, null otherwise.
// Each call with IID_MusicModule re-reads "Sonaflux.ini" from the current directory.
void* CreateInterface(const GUID* iid);
}
