// The sound device layer: a list of output devices and one looping output buffer on SDL2 audio.
//
// The looping buffer behaves like a hardware ring: the SDL callback (the "device") reads it
// round and round from its play position, whether or not fresh data was written, converting to
// the device format and applying the volume on the way. The writer keeps a write offset ahead of
// the play position and asks how much may be written now (DSW_FreeSpace), which also counts
// underflows: the write offset found inside the stretch the device has already taken, or the
// device found to have gone round the whole buffer unseen (checked against the steady clock).
//
// Positions, in bytes of the caller's PCM format, 0 .. dsw_OutputSize - 1:
// - play position P: the start of the block the callback took last (what the device is playing);
// - write position W: where the callback takes its next block (P plus what the device has
//   already taken). The stretch P .. W is "busy": it can no longer be changed.
//
// Formats: interleaved little-endian PCM, 8-bit unsigned (silence 128), 16-, 24- or 32-bit
// signed, 1 to 8 channels. 24-bit samples reach SDL as 32-bit (the low byte zero); the others
// go as they are. SDL converts rate and channel count to what the device takes when needed.
//
// Threads and locks:
// - The SDL audio thread runs the callback. It holds SDL's device lock and takes no lock of ours;
//   it allocates nothing and does no I/O.
// - Every DSW_ routine may be called from any thread. Each takes dsw_Lock (a plain mutex, held
//   for a few microseconds); routines that touch the buffer's bytes or the callback's read
//   position also take SDL's device lock inside dsw_Lock (never the other way round). Bytes are
//   only ever written under SDL's device lock, so the callback never reads a half-written block.
// - Opening and closing devices and the SDL audio subsystem are serialised by one process-wide
//   mutex of this unit: SDL's subsystem reference count is not thread-safe.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

// Devices and the descriptions they are listed with.
constexpr int DSW_MaxDevices = 16;
constexpr int DSW_DescriptionChars = 128; // including the terminating NUL

struct DSW_DeviceInfo {
    // The name SDL opens the device by; empty for the system's default output.
    std::string devname;
    // Description, cut to 127 characters and NUL-terminated.
    char16_t description[DSW_DescriptionChars] = {};
};

struct DSW_Devices {
    std::int32_t devcount = 0;
    DSW_DeviceInfo dinfo[DSW_MaxDevices];
};

// Fills Devices with the output devices: entry 0 is the system's default output, followed by
// the devices SDL reports, 16 at most. With no device at all (SDL reports none, or its audio
// subsystem cannot start) devcount is 0. When SDL cannot list devices but may have a default,
// only the default is listed. Any thread.
void DSW_EnumerateDevices(DSW_Devices &Devices);

// Stores a UTF-8 device name as Info's description: converted to UTF-16 and cut to 127 code
// units (a surrogate pair is never split), NUL-terminated. Invalid bytes become U+FFFD.
void DSW_SetDescription(DSW_DeviceInfo &Info, const std::string &Name);

// The PCM format the buffer is created in.
struct DSW_WaveFormat {
    std::uint16_t wFormatTag = 0;      // 1 = plain PCM, 0xFFFE = extensible (channel mask valid)
    std::uint16_t nChannels = 0;
    std::uint32_t nSamplesPerSec = 0;
    std::uint32_t nAvgBytesPerSec = 0;
    std::uint16_t nBlockAlign = 0;     // bytes per frame
    std::uint16_t wBitsPerSample = 0;  // 8, 16, 24 or 32
    std::uint32_t dwChannelMask = 0;   // speaker positions (extensible only)
};

// Result codes of the routines (0 = done). Failures leave their SDL text in dsw_LastError.
constexpr std::uint32_t DSW_OK = 0;
constexpr std::uint32_t DSW_ERR_NODEVICE = 0x80040001;   // no device opened / no buffer
constexpr std::uint32_t DSW_ERR_BADFORMAT = 0x80040002;  // format this layer cannot play
constexpr std::uint32_t DSW_ERR_OPEN = 0x80040003;       // SDL refused to open the device
constexpr std::uint32_t DSW_ERR_PARAM = 0x80040004;      // argument out of range

class TLoopingBuffer; // the ring the SDL callback plays (SoundBuffer.cpp)

// One output device with its looping buffer. All fields are guarded by dsw_Lock; the record
// owns the SDL device and the ring and frees them in DSW_Release (also called by the
// destructor). "All zero before a run": DSW_Release leaves the record as newly constructed.
struct DSoundWrapper {
    DSoundWrapper();
    ~DSoundWrapper();
    DSoundWrapper(const DSoundWrapper &) = delete;
    DSoundWrapper &operator=(const DSoundWrapper &) = delete;

    std::mutex dsw_Lock;
    bool dsw_pDirectSound = false;  // the SDL audio subsystem is held for this record
    std::string dsw_DeviceName;     // SDL name of the chosen device; empty = default
    std::unique_ptr<TLoopingBuffer> dsw_OutputBuffer; // the ring and its SDL device
    std::uint32_t dsw_WriteOffset = 0;
    std::uint32_t dsw_OutputSize = 0;
    std::uint32_t dsw_BytesPerFrame = 0;
    std::int64_t dsw_CounterTicksPerBuffer = 0; // steady-clock nanoseconds one lap takes
    std::int64_t dsw_LastPlayTime = 0;          // steady-clock nanoseconds at the last check
    std::uint32_t dsw_LastPlayCursor = 0;
    std::uint32_t dsw_OutputUnderflows = 0;
    bool dsw_OutputRunning = false;
    double dsw_FramesWritten = 0;
    double dsw_FramesPlayed = 0;
    std::string dsw_LastError; // SDL's text for the last failure
};

// Prepares the record for the device named Devname (empty: the default output): holds the SDL
// audio subsystem for the record and checks that the device is still listed. Releases what the
// record held before. DSW_OK, or DSW_ERR_NODEVICE with dsw_LastError set.
std::uint32_t DSW_OpenDevice(DSoundWrapper &DSW, const std::string &Devname);

// Creates the looping buffer of Size bytes (whole frames) in Format and opens the SDL device
// for it, paused. The buffer starts as zero bytes; play and write positions 0. Size must be at
// least one frame. Returns DSW_OK or an error code (dsw_LastError says why).
std::uint32_t DSW_CreateBuffer(DSoundWrapper &DSW, const DSW_WaveFormat &Format, std::uint32_t Size);

// Bytes that may be written now, counting underflows as described above. 0 without a buffer.
std::uint32_t DSW_FreeSpace(DSoundWrapper &DSW);

// Copies Bytes bytes of Data (caller-owned, whole frames, at most the buffer's size) into the
// buffer at the write offset, wrapping round its end, and advances the write offset. Writes
// nothing without a buffer.
void DSW_Write(DSoundWrapper &DSW, const void *Data, std::uint32_t Bytes);

// Fills the free space (DSW_FreeSpace) with FillByte and advances the write offset over it.
void DSW_FillSilence(DSoundWrapper &DSW, std::uint8_t FillByte);

// Start: play position 0, counters cleared, playing round and round. Stop: the device plays
// silence from here on, positions stay. Restart: plays on from where the buffer stands.
void DSW_Start(DSoundWrapper &DSW);
void DSW_Stop(DSoundWrapper &DSW);
void DSW_Restart(DSoundWrapper &DSW);

// Volume in hundredths of a decibel, -10000 .. 0, applied as a gain of 10^(Volume/2000); 0 plays
// the data unchanged. Out of range: DSW_ERR_PARAM, volume unchanged. No buffer: DSW_ERR_NODEVICE.
std::uint32_t DSW_SetVolume(DSoundWrapper &DSW, std::int32_t Volume);
// The buffer's volume; DSW_ERR_NODEVICE (Volume untouched) without a buffer.
std::uint32_t DSW_GetVolume(DSoundWrapper &DSW, std::int32_t &Volume);

// Underflows counted so far, and frames the device has played since DSW_Start (as counted by
// DSW_FreeSpace, round trips included), read under dsw_Lock.
std::uint32_t DSW_Underflows(DSoundWrapper &DSW);
double DSW_FramesPlayed(DSoundWrapper &DSW);

// Closes the device (waiting for a running callback to return), frees the ring, lets go of the
// SDL audio subsystem and clears every field. Safe to call twice.
void DSW_Release(DSoundWrapper &DSW);

// SDL keeps data of its own (its error text) for every thread that calls it and frees it only
// for threads it created. A thread of ours that used the DSW_ routines calls this when it is
// done with them for now (an output's worker at the end of each run); later calls start afresh.
void DSW_ThreadCleanup();

// The SDL device buffer (frames per callback) chosen for a ring of RingFrames frames: a power
// of two, at most an eighth of the ring, between 32 and 1024.
std::uint32_t DSW_DeviceBlockFrames(std::uint32_t RingFrames);
