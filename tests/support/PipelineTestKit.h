// Small pipeline components for tests (and benchmarks): a source of known bytes, a pass-through
// converter, a file input over raw PCM with a tiny header, a recording tap and an output that
// collects (or discards) what it pulls. Plus a window-thread fixture helper.
#pragma once

#include "AuClasses.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace testkit {

// The byte at absolute offset K of every test stream: not periodic at any small block size.
inline std::uint8_t PatternByte(std::uint64_t K) { return static_cast<std::uint8_t>((K * 131u) ^ (K >> 8) ^ (K >> 16)); }
std::vector<std::uint8_t> PatternBytes(std::uint64_t From, std::size_t Count);

// A seekable source of PatternByte(k), k counting from 0 at the source's start. Size bytes
// (SizeBytes -1: endless, Size() reports -1). Each ProduceBlock hands out at most MaxBlock
// bytes from its own buffer; Overshoot makes it deliver that many bytes past its Size (as a
// decoder whose header understates the length), to test trimming.
class TByteSource : public TAuStreamedInput {
public:
    TByteSource(TComponent *AOwner, std::int64_t SizeBytes, std::uint32_t MaxBlock = 4096,
                std::uint32_t Bps = 16, std::uint32_t Chan = 2, std::uint32_t Rate = 44100);

    std::uint32_t BitsPerSample() override { return FBps; }
    std::uint32_t Channels() override { return FChan; }
    std::uint32_t SampleRate() override { return FRate; }

    std::atomic<int> Opens{0}, Closes{0}, Produced{0}, Pauses{0}, Resumes{0};
    std::uint32_t Overshoot = 0;
    // Sleep this long in each ProduceBlock (to keep a run going in threaded tests).
    std::chrono::microseconds StepDelay{0};
    // Raise from OpenSource (respectively from CloseSource, once closed) with this text when
    // not empty.
    std::string FailOpen, FailClose;
    // False: hand out the buffer without writing the pattern (cheap blocks for long runs).
    bool Fill = true;
    // Called in every ProduceBlock, on the worker, with DataCS held.
    std::function<void()> OnProduce;
    std::int64_t SourceOffset() const { return FOffset; }

protected:
    void OpenSource() override;
    void CloseSource() override;
    void ProduceBlock(void *&Buffer, std::uint32_t &Bytes) override;
    bool SeekSource(std::int64_t &SampleNum) override;
    void _Pause() override { ++Pauses; }
    void _Resume() override { ++Resumes; }

private:
    std::int64_t FBytes;
    std::uint32_t FMaxBlock, FBps, FChan, FRate;
    std::int64_t FOffset = 0; // next byte of the source
    std::vector<std::uint8_t> FBuf;
};

// Hands its Input's blocks on unchanged.
class TPassConverter : public TAuConverter {
public:
    using TAuConverter::TAuConverter;
    std::atomic<int> Opens{0}, Closes{0};
    // When not -2, OpenSource reports this Size instead of the Input's.
    std::int64_t SizeOverride = -2;

protected:
    void OpenSource() override;
    void CloseSource() override;
    void ProduceBlock(void *&Buffer, std::uint32_t &Bytes) override;
};

// Raw PCM files: "FLXP", then sample rate (u32), channels (u16), bits (u16), little-endian,
// then the data. A stream that does not start so is a file without audio (Valid false).
std::vector<std::uint8_t> MakeRawPcm(std::uint32_t Rate, std::uint16_t Chan, std::uint16_t Bits,
                                     const std::vector<std::uint8_t> &Data);

// A tagged file input over such a file (by name through TAuFileStream, or an assigned stream).
class TRawFileIn : public TAuTaggedFileIn {
public:
    explicit TRawFileIn(TComponent *AOwner = nullptr, std::uint32_t MaxBlock = 4096);
    ~TRawFileIn() override;
    std::atomic<int> FileOpens{0};
    std::int32_t OpenedCount() const { return FOpened.load(); }
    std::int64_t StartSample() const { return FStartSample.load(); }
    std::int64_t EndSample() const { return FEndSample.load(); }
    void SetStartSample(std::int64_t V) { FStartSample = V; }
    void SetEndSample(std::int64_t V) { FEndSample = V; }

protected:
    void OpenInputFile() override;
    void CloseInputFile() override;
    void ProduceBlock(void *&Buffer, std::uint32_t &Bytes) override;
    bool SeekSource(std::int64_t &SampleNum) override;

private:
    std::uint32_t FMaxBlock;
    std::vector<std::uint8_t> FBuf;
};

// A tap whose "files" are byte vectors kept in memory.
class TMemoryTap : public TAudioTap {
public:
    using TAudioTap::TAudioTap;
    std::vector<std::vector<std::uint8_t>> Files; // worker writes; read after the run
    std::atomic<int> OpenCount{0}, CloseCount{0};

protected:
    void OpenTapFile() override;
    void CloseTapFile() override;
    void WriteTapBlock(const void *Block, std::uint32_t BufferLen) override;
};

// An output that pulls blocks of BlockSize bytes with GetData (or FillBuffer) and keeps them
// (or only counts them when Keep is false).
class TCollectOut : public TAuOutput {
public:
    explicit TCollectOut(TComponent *AOwner = nullptr, std::uint32_t BlockSize = 4096);
    ~TCollectOut() override;

    bool Keep = true;
    bool UseFillBuffer = false;
    std::string FailPrepare, FailStep, FailFinish; // raise these texts when not empty
    std::chrono::microseconds StepDelay{0};

    std::atomic<int> Prepares{0}, Finishes{0}, Steps{0};
    std::atomic<std::int64_t> BytesPulled{0};
    std::vector<std::uint8_t> Data() const;
    void ClearData();

protected:
    void PrepareSink() override;
    bool WriteStep(bool Abort) override;
    void FinishSink() override;

private:
    std::uint32_t FBlockSize;
    std::vector<std::uint8_t> FWork;
    mutable std::mutex FDataCS;
    std::vector<std::uint8_t> FData;
};

// A window-thread queue that notes when the library pumps it from a wait (PumpWhileWaiting)
// and can run a test's own code there (as a window's message loop would).
class TPumpRecordingQueue : public TWindowCallQueue {
public:
    using Clock = std::chrono::steady_clock;
    void PumpWhileWaiting() override;
    // Window thread only (the pump runs there).
    std::vector<Clock::time_point> Pumps;
    std::function<void()> OnPump;
    // The longest stretch between From, the pumps noted after From, and To.
    Clock::duration LongestGap(Clock::time_point From, Clock::time_point To) const;
};

// Installs a TPumpRecordingQueue for the calling thread (the test's window thread) and removes
// it again.
class TWindowThread {
public:
    TWindowThread();
    ~TWindowThread();
    TPumpRecordingQueue &Queue() { return *FQueue; }
    // Pump until Done or Timeout (default 10 s).
    bool PumpUntil(const std::function<bool()> &Done, std::chrono::milliseconds Timeout = std::chrono::seconds(10));
    void PumpFor(std::chrono::milliseconds D) { FQueue->PumpFor(D); }

private:
    std::shared_ptr<TPumpRecordingQueue> FQueue;
};

} // namespace testkit
