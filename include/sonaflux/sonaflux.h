// Sonaflux: the background-music module of a game engine.
//
// A host loads the library, calls CreateInterface(&IID_MusicModule), hands the module its
// DirectSound device and a millisecond timer, registers music entries and plays them
// through players. Every interface is an abstract class whose operations stand in a fixed
// slot order; nothing is reference-counted and no operation throws.
//
// Threads. Every operation of every interface here is called from one host thread at a
// time (the engine's audio or main thread); none is safe to call concurrently with
// another. The module runs threads of its own: one worker per loaded stream (it refills
// the sound buffer from disk), one thread per running fade, and, while a message callback
// is set, one thread that delivers the messages of the others. They call back into the
// host only through ITimer::GetTime (fade threads), the DirectSound device and the
// message callback (the delivery thread).
//
// Blocking. Operations return promptly except where stated: Load reads the file's header
// and fills half the sound buffer from disk; Unload, a Load over a loaded stream, and the
// module's Release wait for the stream's worker to end (it ends within one refill) and
// for a running fade thread (up to 5000 ms); Fade and StopFade over a running fade wait
// for it to end (up to 5000 ms).
//
// Failures answer false (or null, or 0) and leave the state as it was, unless stated;
// the module reports what went wrong with a message box or a debugger line of its own.
//
// Pointers. The module, its players and every interface pointer obtained from them stay
// valid until the module's Release; after it, none of them may be used (CreateInterface
// gives a fresh start). Unload leaves the player and its interfaces valid. Strings and the
// GUID passed in are copied or read during the call only. The device and the timer are
// borrowed: they must outlive the module's use of them (until Release).
#pragma once

#include <cstdint>

#include "sonaflux/guid.h"

// The calling convention of the export and of the diagnostics callback: __cdecl on 32-bit Windows,
// stated so that a host built with another default (MSVC's /Gz, GCC's -mrtd) still calls it right.
// 64-bit Windows and Linux have one convention only.
#if defined(_WIN32) && (defined(__i386__) || defined(_M_IX86))
#define SONAFLUX_CALL __cdecl
#else
#define SONAFLUX_CALL
#endif

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
inline constexpr GUID IID_MusicDiagnostics = {
    0xE4E99A6B, 0xADFC, 0x4213, {0x8C, 0x62, 0xC5, 0x44, 0xAF, 0x58, 0x54, 0xA0}};
inline constexpr GUID IID_MusicSourceInfo = {
    0x93C9CD22, 0xC340, 0x4278, {0x8C, 0xAB, 0x54, 0x23, 0x68, 0x46, 0x9E, 0x1B}};
inline constexpr GUID IID_MusicSequence = {
    0xEDB98892, 0xFD19, 0x4C36, {0xBD, 0x44, 0x36, 0x21, 0xD1, 0xF4, 0x5B, 0xF9}};

inline constexpr GUID IID_MusicFileSource = {
    0x5B7D2E41, 0x93C6, 0x4F0A, {0xA1, 0x58, 0x6E, 0x2D, 0xC4, 0x07, 0xB9, 0x3F}};

// The host's millisecond timer. The module calls only GetTime, and calls it from its fade
// threads, concurrently with the host's own calls: it must be thread-safe and must not
// block (GetTickCount, timeGetTime or a steady clock are fine).
class ITimer {
public:
    virtual int32_t Acquire() = 0;
    virtual uint32_t GetTime() = 0;  // milliseconds, wrapping at 2^32

protected:
    ~ITimer() = default;
};

class MusicPlayer;

// The master volume of every stream: a linear factor, 1.0 = full level; 0 or less is
// silence. Setting it applies the new level to every loaded stream at once (running fades
// go on under it). Reached through MusicModule::GetInterface(&IID_MusicVolumeControl).
class MusicVolumeControl {
public:
    virtual double GetMasterVolume() = 0;
    virtual bool SetMasterVolume(double volume) = 0;

protected:
    ~MusicVolumeControl() = default;
};

// One message of the module, as a diagnostics callback receives it. The pointers are
// valid during the call only.
struct MusicMessage {
    static constexpr int32_t kBox = 0;    // shown in a message box (an error)
    static constexpr int32_t kDebug = 1;  // written to the debugger output (a detail)
    int32_t severity;
    const char* id;     // stable name of the message, e.g. "StreamLoadFailed"; "" if none
    const char* cp932;  // the text as the module shows it: Shift-JIS (code page 932)
    const char* utf8;   // the same text in UTF-8
};

// Called for every message box and debugger line of the module. What the host's own calls
// raise reaches it at once, on the host's thread, before the call returns (as boxes did).
// What the module's threads raise (a stream worker, a fade thread) is queued without
// waiting for the host and handed to it, in the order raised, by a delivery thread of the
// module's own, started with the first callback and ended when it is removed; so the
// callback may run on two threads at once and must be thread-safe, but may take its time
// (a slow log never stalls the music). The queue holds 64 messages: what finds it full is
// dropped and counted, and the count arrives as a message of its own (id
// "MessagesDropped", a debugger line) before the next message that got in, or as soon as
// the queue ran empty. A box raised by a module thread is shown (when boxes are shown)
// from the delivery thread after the callback returned, never on the thread that raised
// it; without a callback every box is shown on the raising thread, modal, as always.
// Debugger lines go to the debugger output at once on the raising thread in every case.
// The callback must not call into the module.
using MusicMessageCallback = void(SONAFLUX_CALL*)(void* context, const MusicMessage* message);

// Routes the module's messages into the host's log (see MusicMessageCallback for which
// thread delivers what). Reached through
// MusicModule::GetInterface(&IID_MusicDiagnostics), or CreateInterface(&IID_MusicDiagnostics)
// before the module is first asked for. The module's Release removes the
// callback and shows boxes again, so nothing of the host is called after it.
class MusicDiagnostics {
public:
    // Installs `callback` with `context` (null removes it). The messages already queued are
    // handed to the previous callback first, so this waits for it to take them (at most 64)
    // and blocks as long as it takes. When this returns, the previous callback is no
    // longer running on any thread and will not be called again; what the module's threads
    // raise while a callback is being removed may go only to the debugger output.
    virtual void SetMessageCallback(MusicMessageCallback callback, void* context) = 0;
    // Whether message boxes are still shown (default true). Debugger lines always go to the
    // debugger output as well.
    virtual void SetShowBoxes(bool show) = 0;
    virtual bool GetShowBoxes() = 0;

protected:
    ~MusicDiagnostics() = default;
};

// The host's own file system (a pack, an archive, encrypted or compressed storage), which
// the module reads music entries through instead of plain files. The host implements it;
// the module calls it. Operations in this slot order, with the member calling convention
// (__thiscall on 32-bit Windows), the same layout on every target; none may throw.
//
// Threads and blocking. The module calls it from the host's thread (Load, Seek, Play after
// a Stop: opening and the first fill) and from stream workers (every refill), one call at a
// time for any one file, and every Read (with the GetSize that follows a failed one) under
// the module's process-wide read lock, the same one around its own disk reads: at most one
// Read of the whole module runs at a time. Read may block (decompress, decrypt, wait for
// the disk): a stream has about half its ring's playing time (1.5 s by default) to refill,
// and a Read that takes longer is heard as an underrun, not a hang. While one Read blocks,
// the other streams' refills wait for it too. Nothing may call back into the module.
class MusicFileSystem {
public:
    // Opens `name` (an entry's file name as given to SetPlayInfo) for reading at position
    // 0; an opaque handle, or null when it cannot be opened.
    virtual void* Open(const char* name) = 0;
    // Reads up to `count` bytes at the position into `buffer` and moves the position on by
    // what it read. Answers the bytes read, 0 at the end of the file, -1 on an error. A
    // read that gives fewer bytes is repeated for the rest; one that ends early (0 or -1
    // before `count` bytes) fails the module's read, as a short disk read does.
    virtual int32_t Read(void* file, void* buffer, uint32_t count) = 0;
    // Moves the position to `offset` bytes from the start; false when it cannot.
    virtual bool Seek(void* file, uint64_t offset) = 0;
    // The file's size in bytes now, or -1 when it cannot be told (the file is gone). The
    // module asks it at open, and again after a failed read to tell a file that shrank or
    // vanished (the music ends) from a failure worth retrying (a gap of silence).
    virtual int64_t GetSize(void* file) = 0;
    // Closes a handle Open gave; it is not used again.
    virtual void Close(void* file) = 0;

protected:
    ~MusicFileSystem() = default;
};

// Where music entries are read from. Reached through MusicModule::GetInterface(
// &IID_MusicFileSource). A host that never sets a file system reads plain files, as always.
class MusicFileSource {
public:
    // Later loads open their entry's file name through `fileSystem` (null: plain files
    // again). Every format reads through it. A stream keeps the file system it was loaded
    // with until it is unloaded, so the host keeps a file system alive until every stream
    // loaded through it is unloaded (the module's Release unloads them all and forgets it).
    virtual void SetFileSystem(MusicFileSystem* fileSystem) = 0;
    virtual MusicFileSystem* GetFileSystem() = 0;

protected:
    ~MusicFileSource() = default;
};

// The module: one per process, the same object for every CreateInterface call.
class MusicModule {
public:
    virtual int32_t Acquire() = 0;  // always 1
    // Unloads and frees every player and every music entry (waiting for their threads, see
    // Blocking above); always 0. Every pointer the module gave out is invalid afterwards.
    // Call it before unloading the library.
    virtual int32_t Release() = 0;
    // The device every later Load creates its sound buffer on; false for null. Streams
    // already loaded keep the device they were loaded on.
    virtual bool SetDirectSound(IDirectSound* device) = 0;
    // Music entry `index` (0..65535): the WAVE image of `size` bytes that starts `offset`
    // bytes into `fileName`. The name is copied; offset and size are taken as unsigned
    // 32-bit byte counts and checked against the file at Load (files over 4 GiB included:
    // an image anywhere in the first 4 GiB plays in full; images of 2 GiB or more are
    // refused). False, with nothing changed, for an index out of range or a null name.
    virtual bool SetPlayInfo(int index, const char* fileName, int offset, int size) = 0;
    // Buffer options for later loads: the 20/24-byte DSBUFFERDESC1 instead of the full
    // description; a software buffer (DSBCAPS_LOCSOFTWARE); keep the workers' priority
    // normal instead of raising it.
    virtual void SetShortBufferDesc(bool on) = 0;
    virtual void SetSoftwareBuffer(bool on) = 0;
    virtual void SetKeepPriority(bool on) = 0;
    // The timer that fades run by (see ITimer). Fades need one.
    virtual void SetTimer(ITimer* timer) = 0;
    // Player `index` (0..4095), made on first use and kept until Release; null out of range.
    virtual MusicPlayer* GetPlayer(int index) = 0;
    // The module's further interfaces (IID_MusicVolumeControl, IID_MusicDiagnostics,
    // IID_MusicFileSource); null for any other id.
    virtual void* GetInterface(const GUID* iid) = 0;

protected:
    ~MusicModule() = default;
};

// One stream: the music entry it loaded, its sound buffer, its worker and its fades.
class MusicPlayer {
public:
    virtual int32_t Acquire() = 0;  // always 1
    virtual int32_t Release() = 0;  // always 0; players belong to the module
    // Opens music entry `musicNumber`, creates the sound buffer on the module's device and
    // fills half of it from disk (blocks for that I/O). Unloads what was loaded first. False
    // (nothing loaded) for an unknown entry, no device, a file that cannot be read or is
    // not a playable music image (WAVE, FLAC, Ogg Vorbis/Opus/FLAC), or a buffer the device
    // refused.
    virtual bool Load(int musicNumber) = 0;
    // Stops and frees the stream, waiting for its worker and fade threads.
    virtual bool Unload() = 0;
    // Play starts from the start of the data (after a load, a Stop, a Pause or the end),
    // or from the frame a Seek chose. Both answer false when nothing is loaded.
    virtual bool Play() = 0;
    virtual bool Stop() = 0;
    // True while the buffer plays; false once the last pass has ended (the stream stops by
    // itself and stays loaded), after Stop, and when nothing is loaded.
    virtual bool IsPlaying() = 0;
    // The player's further interfaces (IID_MusicTimeInfo ... IID_MusicFormatInfo, and
    // IID_MusicSourceInfo, IID_MusicSequence); they live as long as the player. Null for any
    // other id.
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

// How many passes to play. Play hands the count to the stream: a change while the music
// plays applies from the next Play, and the passes under way keep the count they were
// started with. Load keeps the count.
class MusicLoopControl {
public:
    // 1 = once, n = n times, 0 or less = endless. Always true.
    virtual bool SetLoopCount(int count) = 0;
    virtual int GetLoopCount() = 0;

protected:
    ~MusicLoopControl() = default;
};

// Fades run on a thread of their own and read the host's ITimer. A running fade is ended
// (at its own target, with its stop) before a new one starts; that wait is bounded by 5 s.
class MusicFadeControl {
public:
    // Moves the volume to `percent` (0..100, times the master volume) over `durationMs`;
    // 0 ms applies it at once. With `stopAtEnd` the buffer stops when the target is reached.
    // A target outside 0..100: with 0 ms it is applied as the nearer bound (below 0 is
    // silence, above 100 full level), and that bound is the volume the next fade starts
    // from; with any other duration the call does nothing and answers true. With nothing
    // loaded it does nothing and answers true. False when a running fade would not end, or
    // when the fade's thread could not be started (no fade runs; the module shows a box).
    virtual bool Fade(int durationMs, int percent, bool stopAtEnd) = 0;
    virtual bool StopFade() = 0;
    virtual bool IsFading() = 0;

protected:
    ~MusicFadeControl() = default;
};

// Pause stops the buffer where it is, as Stop does (the next Play starts over); Resume goes
// on from there, or from the frame a Seek chose while paused. Resume answers false when
// nothing is loaded or the device refused to play (the stream stays paused).
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

// Loop points in sample frames: later passes start at the loop start, and every pass ends
// before the loop end. Both apply to the loaded stream, even while it plays, until the
// next Load (which takes the file's own points, or none): set them after each Load. Both
// answer false, doing nothing, when no stream is loaded. A loop end past the last frame
// is the end of the music; the loop start is not checked when it is set.
class MusicLoopPoints {
public:
    virtual bool SetLoopStart(int frame) = 0;
    virtual bool SetLoopEnd(int frame) = 0;

protected:
    ~MusicLoopPoints() = default;
};

// Seek positions a stopped stream at sample frame `frame` (the next Play starts there);
// false while the buffer plays, when nothing is loaded, or past the end.
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

// What the module read from the loaded piece's file, so that a tool or an editor shows it
// without parsing the file again. Reached through MusicPlayer::GetInterface(
// &IID_MusicSourceInfo); lives as long as the player.
//
// Threads and blocking: the host's thread, like every operation; nothing blocks (all of it
// was read at Load). With nothing loaded (before a Load, after Unload or a failed Load)
// every operation answers false or 0 and writes nothing. Any out-pointer may be null; that
// value is then not written. Strings are ASCII or the file's own bytes, NUL-terminated,
// and stay valid until the player's next Load or Unload, or the module's Release.
class MusicSourceInfo {
public:
    // The container ("RIFF/WAVE", "Ogg" or "FLAC") and the codec ("PCM", "IEEE float",
    // "Vorbis", "Opus" or "FLAC").
    virtual bool GetKind(const char** container, const char** codec) = 0;
    // The samples as the file stores them: the rate in Hz (for Opus the rate the encoder
    // was given; Opus always decodes at 48000), channels, bits per sample (0 for Vorbis
    // and Opus, which store none) and whether they are floating point. The buffer's
    // format, after any conversion, is MusicFormatInfo's.
    virtual bool GetStoredFormat(uint32_t* rate, uint32_t* channels, uint32_t* bits,
                                 bool* isFloat) = 0;
    // The length in sample frames of the buffer's format (GetLengthSamples).
    virtual uint32_t GetLengthFrames() = 0;
    // The loop the file stores (loop tags, or a WAVE sampler chunk), in frames of the
    // buffer's format with the end exclusive, and whether Load made it the stream's loop
    // (tags always; a sampler loop only with FILE_LOOP_POINTS). False when the file stores
    // no loop or one that was refused (a debugger line said why).
    virtual bool GetFileLoop(uint32_t* start, uint32_t* end, bool* applies) = 0;
    // Markers: WAVE cue points with their LIST/adtl labels, chapters of the Vorbis
    // comments (CHAPTERnnn / CHAPTERnnnNAME). By frame; only those inside the music.
    virtual uint32_t GetMarkerCount() = 0;
    // Marker `index` (0 .. count - 1): its frame and its label ("" when it has none).
    virtual bool GetMarker(uint32_t index, uint32_t* frame, const char** label) = 0;

protected:
    ~MusicSourceInfo() = default;
};

// One event of a player's music, reported by MusicSequence::PollEvent once it was heard.
struct MusicEvent {
    static constexpr int32_t kLoopWrap = 0;    // a pass ended; the next began at `frame`
    static constexpr int32_t kPieceEnd = 1;    // the last pass ended before `frame`
    static constexpr int32_t kPieceStart = 2;  // a queued piece became audible at `frame`
    static constexpr int32_t kMarker = 3;      // marker frame `frame` was heard
    MusicPlayer* player;
    int32_t kind;
    int32_t musicNumber;  // the piece the frame belongs to
    uint32_t frame;       // a sample frame of that piece
};

// Pieces joined to a player's music without a gap. Reached through the player's
// GetInterface(&IID_MusicSequence); it lives as long as the player. Host thread only, like
// every operation; none blocks beyond opening a piece's file and reading its first block.
//
// When the piece being written ends (the end of its last pass: the loop end or the end of
// its data), the ring goes on with the first queued piece: its first frame follows the
// other's last one, with no silence and no overlap. A piece plays its own loop count; the
// loaded piece plays the player's (MusicLoopControl: an endless count never ends, so no
// queued piece follows it). Queued pieces must have the loaded piece's rate, channels and
// bits per sample. Position, length and format queries (MusicTimeInfo, MusicSampleInfo,
// MusicSeekControl::GetLengthSamples, MusicFormatInfo) report the piece heard at the play
// cursor. Loop points, Seek and the loop count act on the loaded piece.
//
// Lifetime of the queue. Load and Unload empty it; ClearQueue drops the pieces not yet
// joined. A piece is held from QueuePiece (or SwitchTo) on. A Play that starts over (after
// Stop, Pause or the end) and a Seek go back to the loaded piece and replay every piece
// held after it; so does a Play after a fade's stop while a queued piece was heard. At
// most kMaxPieces pieces are held (the loaded piece does not count). When a QueuePiece,
// ReplaceQueue or SwitchTo finds that many held, the pieces the ring has gone past (joined
// before the one being written, with no frame left in the ring and none under a crossfade)
// are released first and no longer replayed; so a host may switch or queue any number of
// times, and a chain of up to kMaxPieces pieces always replays whole.
class MusicSequence {
public:
    static constexpr int32_t kMaxPieces = 64;
    // Queues music entry `musicNumber` after the last piece held, playing `loopCount`
    // passes (1 once, 0 or less endless) from sample frame `startFrame` (later passes from
    // its loop start). It is opened and its first block read now; on a stopped ring not yet
    // played whose fill met the end of the music, that ring is filled again so that the
    // piece follows (a Resume plays it as it is). False, with a message, when the entry is
    // unknown or unreadable, its format differs from the loaded piece's, the start lies at
    // or past its end, kMaxPieces are held even after those the ring went past are
    // released, or the buffer plays and the ring already holds the end of the last piece
    // (the seam could not follow it). False without a message when nothing is loaded.
    virtual bool QueuePiece(int musicNumber, int loopCount, int startFrame) = 0;
    // Drops every queued piece whose seam has not yet been written into the ring, then
    // queues the given one: no seam is written in between. False as for QueuePiece,
    // dropping nothing.
    virtual bool ReplaceQueue(int musicNumber, int loopCount, int startFrame) = 0;
    // Drops every queued piece whose seam has not yet been written; answers how many. A
    // switch whose point was not yet reached goes with its piece (so does ReplaceQueue's).
    virtual int32_t ClearQueue() = 0;
    // Pieces queued whose seam has not yet been written.
    virtual int32_t GetQueuedCount() = 0;
    // The music number of the piece heard at the play cursor (the loaded one before
    // playback); -1 when nothing is loaded.
    virtual int32_t GetHeardMusicNumber() = 0;

    // Events. The module notes loop wraps, piece ends, queued pieces starting and markers
    // as it writes the ring, and hands each out at the first PollEvent after the play
    // cursor passed its frame, never before, in the order they are heard. At most
    // kMaxEvents wait; one more is dropped and counted (GetLostEventCount). A Play that
    // starts over, a Seek and a Load drop the events not yet heard. Events are noted from
    // the first time the player is asked for IID_MusicSequence on.
    static constexpr int32_t kMaxEvents = 1024;
    // Marks frame `frame` of music entry `musicNumber`: every pass written from now on that
    // plays it gives a kMarker event (the ring is written up to half a ring ahead, so a
    // marker set less than that before its frame is first met on the next pass). False for
    // a negative frame or when 64 markers are set.
    virtual bool SetMarker(int musicNumber, int frame) = 0;
    // Removes every marker; answers how many there were.
    virtual int32_t ClearMarkers() = 0;
    // Takes the next event heard into `*event`; false (nothing written) when none is due.
    // Never blocks on the stream's worker.
    virtual bool PollEvent(MusicEvent* event) = 0;
    // Events dropped because kMaxEvents were waiting, since the player was made.
    virtual uint32_t GetLostEventCount() = 0;

    // Switches. Leaves the piece heard for music entry `musicNumber` (played as QueuePiece
    // plays it; it replaces the pieces not yet joined) at a point `when` names:
    static constexpr int32_t kSwitchNow = 0;      // within about 40 ms (rewrites the ring)
    static constexpr int32_t kSwitchAtFrame = 1;  // where frame `frame` of it is next heard
    static constexpr int32_t kSwitchAtLoop = 2;   // at its next loop wrap
    static constexpr int32_t kSwitchOnGrid = 3;   // at its next frame `frame` + k * `grid`
    // The first frame of the new piece follows the last one heard of the other. A point
    // closer to the play cursor than the margin the rewrite needs (about 40 ms) is taken at
    // its next occurrence, and a grid's next line is the first beyond it. A point
    // that the piece never reaches (a frame past its loop end on its last pass) lets it end
    // as it would, and the new piece follows. The buffer must be playing. False, with a
    // message, as for QueuePiece; false for an unknown `when`, a grid of 0 or less, a
    // negative frame, or a crossfade outside 0..kMaxCrossfadeMs. Refused, it drops nothing.
    //
    // With `crossfadeMs` above 0 the switch crossfades: from the point on, the piece left
    // goes on (from that point, read by its own reader) under the new one for
    // `crossfadeMs` milliseconds, mixed sample by sample with equal-power gains: frame k of
    // n has the old piece at cos(pi/2 * k/n) and the new one at sin(pi/2 * k/n), the sum
    // rounded to nearest and saturated at the sample range (never wrapped). Where the old
    // piece ends inside the crossfade it is silence from there. Position, format and events
    // report the new piece from the point on; the old piece's loop wraps, end and markers
    // inside the crossfade give no events. A switch during a crossfade fades out the newer of
    // the two pieces mixed; the older one stops at once.
    static constexpr int32_t kMaxCrossfadeMs = 60000;
    virtual bool SwitchTo(int musicNumber, int loopCount, int startFrame, int when, int frame,
                          int grid, int crossfadeMs) = 0;

protected:
    ~MusicSequence() = default;
};

extern "C" {
// The library's one export: the module interface for IID_MusicModule, the diagnostics
// interface for IID_MusicDiagnostics (without reading the settings file, so that a host
// can route what reading it reports), null otherwise. Each call with IID_MusicModule
// re-reads "Sonaflux.ini" from the current directory.
// Call it from the host's thread, like every operation.
void* SONAFLUX_CALL CreateInterface(const GUID* iid);
}

// What GetProcAddress(dll, "CreateInterface") answers, for hosts that load the library.
using CreateInterfaceFunction = void*(SONAFLUX_CALL*)(const GUID* iid);
