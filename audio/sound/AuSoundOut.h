// TDXAudioOut: the pipeline output that plays PCM on a sound device through one looping buffer
// (SoundBuffer.h). It fills the buffer ahead of the device from its Input, detects and reports
// underruns, and drains the buffer at the end of the data.
//
// Threads:
// - PrepareSink, WriteStep and FinishSink run on the output's worker (TAuOutput), raised to the
//   highest priority when the system allows it (best effort).
// - Pause, Resume, Jump, Volume and the property accessors run on the window thread. Pause waits
//   (at most 5 s) for the worker to park between two steps before Jump touches the buffer and
//   the input; the buffer itself is guarded by its own lock, so the window thread may also use
//   it while the worker runs.
// - OnUnderrun and OnThreadException are posted through the shared event handler and run on the
//   window thread.
//
// Properties written back by a run (Latency raised to 10, FramesInBuffer and PollingInterval
// derived from Latency) are atomics, so the window thread may read them at any time. Every
// atomic of this class keeps the default sequentially consistent ordering: each is a lone value
// or flag passed between the window thread and the worker, none publishes other data, and none
// is touched often enough for the ordering to cost anything.
#pragma once

#include "AuClasses.h"
#include "AuTypes.h"
#include "SoundBuffer.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

using TUnderrunEvent = std::function<void(TComponent *Sender)>;

class TDXAudioOut : public TAuOutput {
public:
    // Lists the devices and raises the worker's priority.
    explicit TDXAudioOut(TComponent *AOwner = nullptr);
    ~TDXAudioOut() override;

    // Milliseconds of sound the buffer holds; 0 keeps FramesInBuffer and PollingInterval as set.
    // Otherwise a run raises it to at least 10 and sets FramesInBuffer := Latency x rate / 1000
    // and PollingInterval := Latency / 3 (written back to the properties).
    std::uint32_t Latency() const { return FLatency.load(); }
    void SetLatency(std::uint32_t Value) { FLatency = Value; }
    // Frames in the buffer; the setter is ignored while a run is under way.
    std::uint32_t FramesInBuffer() const { return FFramesInBuffer.load(); }
    void SetFramesInBuffer(std::uint32_t Value);
    // Milliseconds between checks for free space.
    std::uint32_t PollingInterval() const { return FPollingInterval.load(); }
    void SetPollingInterval(std::uint32_t Value) { FPollingInterval = Value; }
    // Write the input's blocks straight into the buffer (GetData) instead of through the work
    // buffer (FillBuffer). Either way a step fills all the free space. Default true; both
    // programs set it false, so the blocks are gathered in the work buffer (one copy) and the
    // device buffer is written once per step.
    bool PrefetchData() const { return FPrefetchData.load(); }
    void SetPrefetchData(bool Value) { FPrefetchData = Value; }
    // The device plays at the input's rate times this factor (applied when a run starts).
    float SpeedFactor() const { return FSpeedFactor.load(); }
    void SetSpeedFactor(float Value) { FSpeedFactor = Value; }
    // The device played by the next run: 0 is the system's default output. Only stored; a run
    // with a number outside 0 .. DeviceCount - 1 fails with "Invalid device number".
    std::int32_t DeviceNumber() const { return FDeviceNumber.load(); }
    void SetDeviceNumber(std::int32_t Value) { FDeviceNumber = Value; }
    std::int32_t DeviceCount() const { return FDeviceCount; }
    // The description of device Number, or empty when Number is not a listed device.
    std::u16string GetDeviceName(std::int32_t Number) const;
    // Underruns of the current run (the previous run's count until the first of a new run).
    std::uint32_t Underruns() const { return FUnderruns.load(); }
    TUnderrunEvent OnUnderrun() const;
    void SetOnUnderrun(TUnderrunEvent Value);
    // Hundredths of a decibel of attenuation: 0 full level, -10000 silence; values outside are
    // taken as the nearer end. Reading returns the playing buffer's volume (and stores it), or
    // the stored value, which the next run applies, when there is no buffer.
    std::int32_t Volume();
    void SetVolume(std::int32_t Value);

    // Pause the output; unless the input has ended, stop the buffer.
    void Pause();
    // Unless the input has ended, restart the buffer; then resume the output (a run paused
    // after its input ended resumes to drain what is left and end).
    void Resume();
    // Pause, fill the free buffer space with silence, move the input by Offs per mille of its
    // length, resume.
    void Jump(std::int32_t Offs);

    // SDL's text for the last device failure of a run (the exception messages are fixed texts).
    std::string DeviceError();

protected:
    void PrepareSink() override;
    bool WriteStep(bool Abort) override;
    void FinishSink() override;

    // Posts OnUnderrun (when assigned) for the underflow count just seen.
    void ReportUnderrun(std::uint32_t Count);
    // Plays out what was written, filling silence behind it, then stops the buffer.
    void Drain();
    void Fail(const std::string &Message); // "Audio output error" path: message and event

    std::atomic<bool> Freed{true};
    std::atomic<std::uint32_t> FLatency{100};
    std::atomic<std::uint32_t> FFramesInBuffer{24576};
    std::atomic<std::uint32_t> FPollingInterval{100};
    DSoundWrapper DSW;
    DSW_Devices Devices;
    std::uint32_t Chan = 0, SR = 0, BPS = 0;
    std::atomic<bool> EndOfInput{false};
    bool StartInput = false;
    std::vector<TBuffer8> Buf; // the work buffer, _BufSize bytes (worker only)
    std::atomic<std::int32_t> FDeviceNumber{0};
    std::int32_t FDeviceCount = 0;
    std::int32_t _BufSize = 0;
    std::atomic<std::uint8_t> FillByte{0};
    std::atomic<std::uint32_t> FUnderruns{0};
    std::uint32_t _TmpUnderruns = 0;
    mutable std::mutex EventCS; // guards FOnUnderrun
    TUnderrunEvent FOnUnderrun;
    std::atomic<std::int32_t> FVolume{0};
    std::atomic<bool> FPrefetchData{true};
    std::atomic<float> FSpeedFactor{1.0f};

    // Drain bookkeeping (worker only): frames played at the last free-space check and the bytes
    // then free, so the drain knows how much written sound is still to be played.
    double PlayedAtCheck = 0;
    std::uint32_t FreeAtCheck = 0;
    std::uint32_t WrittenSinceCheck = 0;
};
