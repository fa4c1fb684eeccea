// The pipeline core: inputs, converters, file inputs, the audio tap, outputs and their worker.
//
// Data flows by pull. An output's worker calls GetData on its Input, which produces a block,
// usually by calling GetData on its own Input, back to the source.
//
// Block ownership: GetData and ProduceBlock hand out a pointer into a buffer owned by the
// producing component. The block stays valid until the next GetData, ProduceBlock or Flush on
// that component; the caller copies what it keeps and never frees it. Bytes = 0 on return
// means end of data (Buffer may then be anything, usually nullptr).
//
// Locks: every input has a re-entrant data lock, DataCS. GetData, Init, Flush, Seek,
// FillBufferUnprotected and a converter's Input setter take it, so a block is produced under
// the locks of every component on the path, taken from the output towards the source. The
// window thread may call Seek, _Jump, the Input setters and the format getters during a run;
// the locks order them against the worker. Position, Size, IsBusy and the output's Status,
// Progress and TimeElapsed may be read from any thread without a lock (atomics; display only).
//
// Threads: components are created, wired and destroyed on the window thread. Run, Stop, Pause,
// Resume are called there; all hooks (PrepareSink, WriteStep, FinishSink and the whole input
// chain) run on the output's worker. See AuEvents.h for event delivery.
#pragma once

#include "AuComponent.h"
#include "AuEvents.h"
#include "AuException.h"
#include "AuStreams.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class TId3v1Tags;
class TId3v2Tags;
class TAPEv2Tags;
class TCommonTags;

enum TOutputStatus { tosPlaying, tosPaused, tosIdle };
enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };
enum TFileOutputMode { foRewrite, foAppend };

// ---------------------------------------------------------------------------------------------
// Inputs

// Every producer of PCM data. Format: interleaved little-endian PCM (8-bit unsigned, 16-, 24-,
// 32-bit signed); bit 7 of BitsPerSample (128) marks float data and is passed on by converters
// only when RequestFloat is set.
class TAuInput : public TComponent {
public:
    explicit TAuInput(TComponent *AOwner = nullptr);
    ~TAuInput() override;

    // Format triple. May open a file (file inputs); callable from the window thread at any time.
    virtual std::uint32_t BitsPerSample() = 0;
    virtual std::uint32_t Channels() = 0;
    virtual std::uint32_t SampleRate() = 0;
    // Length in seconds and in sample frames; 0 in the base.
    virtual std::uint32_t TotalTime();
    virtual std::int64_t TotalSamples();

    // Bytes handed out since opening (file inputs: since the selection start).
    std::int64_t Position() const { return FPosition.load(std::memory_order_relaxed); }
    // Bytes this run will hand out; -1 unknown or endless; 0 nothing.
    std::int64_t Size() const { return FSize.load(std::memory_order_relaxed); }
    bool Seekable() const { return FSeekable.load(std::memory_order_relaxed); }
    // True while open (from OpenSource to CloseSource).
    bool IsBusy() const { return Busy.load(std::memory_order_acquire); }
    bool RequestFloat() const { return FFloatRequested.load(std::memory_order_relaxed); }
    virtual void SetRequestFloat(bool Value);

    // The block protocol. On entry Bytes is the most the caller wants; on return Buffer points to
    // the block (owned by this component) and Bytes is its length, never more than asked;
    // 0 = end of data. The base takes DataCS and calls ProduceBlock.
    virtual void GetData(void *&Buffer, std::uint32_t &Bytes);

    // Opens the input for a run: takes DataCS, clears the end-of-data latch, calls OpenSource.
    // An exception from OpenSource sets the latch and is raised again as EAuException with the
    // same message.
    void Init();
    // Closes it: CloseSource under DataCS (released also when CloseSource raises). On the
    // window thread, waiting for DataCS (held by a worker inside GetData) pumps (WaitPumping).
    void Flush();
    // Flush, ignoring any exception, then clear Busy. Pumps while waiting, as Flush.
    virtual void Reset();

    void _Lock() { DataCS.lock(); }
    void _Unlock() { DataCS.unlock(); }
    // Told by an output when it pauses and resumes; the base does nothing.
    virtual void _Pause();
    virtual void _Resume();
    // Move the read position by Offs per mille of the length; the base does nothing.
    virtual void _Jump(std::int32_t Offs);

    // One GetData of BufferSize bytes, copied to Buffer when the block is not null; returns the
    // byte count. BufferSize <= 0 returns 0 without reading (no end-of-data latch).
    std::uint32_t CopyData(void *Buffer, std::int32_t BufferSize);
    // GetData repeatedly, each block copied behind the previous one, until Buffer (owned by the
    // caller) is full or a call returns 0 bytes. Eof is true when the last call returned 0.
    std::uint32_t FillBuffer(void *Buffer, std::uint32_t BufferSize, bool &Eof);
    // As FillBuffer but by ProduceBlock under one DataCS hold: no end-of-data latch, no size
    // trimming; adds the total to FPosition. A null Buffer returns 0 at once.
    std::uint32_t FillBufferUnprotected(void *Buffer, std::uint32_t BufferSize, bool &Eof);

protected:
    // Hooks. OpenSource/CloseSource run under DataCS (from Init/Flush). ProduceBlock has
    // GetData's contract and runs under DataCS (a tap calls its Input's ProduceBlock directly).
    virtual void OpenSource() = 0;
    virtual void CloseSource() = 0;
    virtual void ProduceBlock(void *&Buffer, std::uint32_t &Bytes) = 0;
    // Lets a descendant call another input's ProduceBlock directly (a tap reads its Input so).
    static void InputProduceBlock(TAuInput *In, void *&Buffer, std::uint32_t &Bytes)
    {
        In->ProduceBlock(Buffer, Bytes);
    }

    // Written by the worker under DataCS; read by the window thread without a lock.
    std::atomic<std::int64_t> FPosition{0};
    std::atomic<std::int64_t> FSize{0};
    std::uint16_t FSampleSize = 0;
    std::atomic<bool> FSeekable{false};
    std::atomic<bool> Busy{false};
    std::uint32_t BufStart = 0;
    std::uint32_t BufEnd = 0;
    std::recursive_mutex DataCS;
    std::atomic<bool> _EndOfStream{false};
    std::atomic<bool> FFloatRequested{false};
};

// An input reading another input. Opening and closing run up the chain: OpenSource calls Init
// on Input, CloseSource calls Flush on it (descendants implement them so).
class TAuConverter : public TAuInput {
public:
    explicit TAuConverter(TComponent *AOwner = nullptr);

    TAuInput *Input() const { return FInputShadow.load(std::memory_order_acquire); }
    // Ignored when Value is this converter. Under DataCS: when busy, Flush the old input and Init
    // the new one (when there is one); the new one is stored and opened even when closing the
    // old one raises (that exception follows). Safe during a run (window thread).
    virtual void SetInput(TAuInput *Value);

    // 0 without Input; else Input's values, BitsPerSample with bit 7 cleared unless
    // RequestFloat is set.
    std::uint32_t BitsPerSample() override;
    std::uint32_t Channels() override;
    std::uint32_t SampleRate() override;

    // Position keeping and the end-of-data latch: a block that overshoots Size is cut to end at
    // Size (FPosition keeps the overshooting value) and the latch is set; 0 bytes sets it too.
    void GetData(void *&Buffer, std::uint32_t &Bytes) override;
    void _Pause() override;
    void _Resume() override;
    void _Jump(std::int32_t Offs) override;

protected:
    void Notification(TComponent *AComponent, TOperation Operation) override;

    // For converters reading one Input, in OpenSource: sets Busy and opens In; when opening
    // raises, Busy is cleared again and the exception passes on.
    void OpenInput(TAuInput *In);
    // In OpenSource after In was opened but cannot be converted: closes In again (a failure
    // there is dropped, the refusal is what the caller needs to see), clears Busy, raises Msg.
    [[noreturn]] void RefuseInput(TAuInput *In, const char *Msg);
    // In CloseSource: closes FInput when there is one; Busy is cleared when that raises.
    void CloseInput();
    // At the start of ProduceBlock: 0 bytes when the Input was taken away during the run;
    // "The Stream is not opened" outside a run; with PassThrough the Input's own block. True
    // when the request is answered so; false when the converter has to make the block.
    bool BlockWithoutConversion(bool PassThrough, void *&Buffer, std::uint32_t &Bytes);

    // The input read on the worker; written under DataCS by SetInput.
    TAuInput *FInput = nullptr;

private:
    std::atomic<TAuInput *> FInputShadow{nullptr}; // FInput for lock-free readers
};

// An input reading a byte stream (or a file it opens itself), with a start/end selection in
// sample frames and looping.
class TAuStreamedInput : public TAuInput {
public:
    explicit TAuStreamedInput(TComponent *AOwner = nullptr);
    ~TAuStreamedInput() override;

    TStream *Stream() const { return FStream; }
    // Stores the stream (not owned); FStreamAssigned := Value != nullptr.
    virtual void SetStream(TStream *Value);

    // Not busy: presets the start of the next run at SampleNum and clears the end frame.
    // Busy: moves to SampleNum frames after the selection start (SeekSource); exceptions of
    // SeekSource are swallowed and give false. False if not seekable, SampleNum is negative or
    // beyond a known TotalSamples. Takes DataCS.
    bool Seek(std::int64_t SampleNum);

    // Position keeping, size trimming, the end-of-data latch and looping (the block reaching
    // the end is replaced by the first block after the rewind).
    void GetData(void *&Buffer, std::uint32_t &Bytes) override;

protected:
    // Move the source to an absolute sample frame; may change SampleNum to the frame reached.
    // Runs under DataCS.
    virtual bool SeekSource(std::int64_t &SampleNum) = 0;

    // The stream read from. When FStreamAssigned is false and FStream is not null, the
    // component opened it itself and owns it (free with delete; ~TAuStreamedInput does so).
    TStream *FStream = nullptr;
    bool FStreamAssigned = false;
    std::atomic<std::int64_t> FStartSample{0};
    std::atomic<std::int64_t> FEndSample{-1};
    std::atomic<bool> FLoop{false};
    std::atomic<std::int64_t> FTotalSamples{0};
};

// A streamed input over a file (or an assigned stream). OpenInputFile/CloseInputFile are
// guarded by OpenCS because the window thread may read the format while the worker opens.
class TAuFileIn : public TAuStreamedInput {
public:
    explicit TAuFileIn(TComponent *AOwner = nullptr);

    // Setting either name (or Stream) first closes the file. FileName stores both fields;
    // WideFileName stores the wide name and empties FFileName. The getters never wait for an
    // open or a connect in progress (their own small lock); the setters do (pumping on the
    // window thread, see WaitPumping).
    std::string FileName();
    void SetFileName(const std::string &Value);
    std::u16string WideFileName();
    void SetWideFileName(const std::u16string &Value);
    void SetStream(TStream *Value) override;

    bool Loop() const { return FLoop.load(); }
    void SetLoop(bool Value) { FLoop = Value; }

    // Open the file when needed, then report FBPS, FChan, FSR.
    std::uint32_t BitsPerSample() override;
    std::uint32_t Channels() override;
    std::uint32_t SampleRate() override;
    std::uint32_t TotalTime() override;
    std::int64_t TotalSamples() override;

    // Opens the file when a name or stream is set; false when it holds no audio.
    bool Valid();
    // Preset the selection in whole seconds (false when not seekable or beyond the end).
    bool SetStartTime(std::uint32_t Minutes, std::uint32_t Seconds);
    bool SetEndTime(std::uint32_t Minutes, std::uint32_t Seconds);

    void Reset() override;
    void _Jump(std::int32_t Offs) override;

private:
    // SetStartTime/SetEndTime: opens the file and stores Minutes:Seconds as a sample frame in
    // Bound when the input is seekable and the frame is not beyond the end.
    bool PresetBound(std::atomic<std::int64_t> &Bound, std::uint32_t Minutes, std::uint32_t Seconds);

protected:
    // OpenSource leaves the input closed (not busy) when OpenInputFile raises. CloseSource
    // resets the selection and clears Busy also when CloseInputFile raises (then re-raises).
    void OpenSource() override;
    void CloseSource() override;
    // Under OpenCS: open the file (or use the assigned stream), fill FBPS, FSR, FChan, FSize,
    // FValid, raise FOpened above 0; nothing when already open. CloseInputFile: if open, release
    // the decoder, FOpened := 0, rewind an assigned stream or free an own one.
    virtual void OpenInputFile() = 0;
    virtual void CloseInputFile() = 0;

    // OpenCS is taken with TPumpingLock by the members the window thread calls, so a window
    // waiting for an open on the worker keeps pumping.
    std::recursive_mutex OpenCS;
    // The names: written under OpenCS and FNameCS, read under either.
    std::mutex FNameCS;
    std::string FFileName;
    std::u16string FWideFileName;
    std::atomic<std::int32_t> FOpened{0};
    std::atomic<bool> FValid{false};
    std::uint32_t FBPS = 0;
    std::uint32_t FSR = 0;
    std::uint32_t FChan = 0;
    std::uint32_t FTime = 0;
};

// A file input with four tag sets for descendants to fill, created and freed with it.
class TAuTaggedFileIn : public TAuFileIn {
public:
    explicit TAuTaggedFileIn(TComponent *AOwner = nullptr);
    ~TAuTaggedFileIn() override;

    TCommonTags *CommonTags() const { return FCommonTags.get(); }

protected:
    std::unique_ptr<TId3v1Tags> FId3v1Tags;
    std::unique_ptr<TId3v2Tags> FId3v2Tags;
    std::unique_ptr<TAPEv2Tags> FAPEv2Tags;
    std::unique_ptr<TCommonTags> FCommonTags;
};

// ---------------------------------------------------------------------------------------------
// The audio tap

// A converter that passes its Input's data through unchanged and, while recording, hands each
// passing block to WriteTapBlock. StartRecord/PauseRecord/ResumeRecord/StopRecord and the name
// setters run on the window thread and only set flags; the hooks run on the worker inside the
// tap's GetData (DataCS held). The tap reads its Input through ProduceBlock, so the Input's
// own lock, position and latch are not used.
class TAudioTap : public TAuConverter {
public:
    explicit TAudioTap(TComponent *AOwner = nullptr);

    // Window thread. StartRecord (when not recording) counts RunNumber up; the file it starts
    // is opened at the next block that passes.
    void StartRecord();
    void PauseRecord();
    void ResumeRecord();
    void StopRecord();
    // tosIdle when not recording and the file is closed (also while a start is pending);
    // otherwise tosPaused or tosPlaying, from the opening of a file until CloseTapFile has
    // returned. A stop or the end of the data is taken up at the next block, and closing
    // finishes the file (a writer's queued audio, its trailer), so after StopRecord wait for
    // tosIdle before renaming or reading the file. Any thread.
    TOutputStatus Status() const;

    // The number of the latest recording: 0 before the first StartRecord, then counted up by
    // each StartRecord that starts one. Any thread.
    std::uint32_t RunNumber() const { return FRunNumber.load(); }
    // Inside a handler of this tap's events: the recording (run number) the event belongs to;
    // elsewhere RunNumber(). Descendants that call a handler directly (on another thread) mark
    // it with TEventRunScope(this, RecordingRun()), so a handler that passes the event on to
    // the window takes EventRun() with it. Stale when EventRun() != RunNumber().
    std::uint32_t EventRun() const { return HandledEventRun(this, RunNumber()); }

    std::string FileName();
    void SetFileName(const std::string &Value);
    std::u16string WideFileName();
    void SetWideFileName(const std::u16string &Value);

    // Input's format, unchanged (no bit-7 masking).
    std::uint32_t BitsPerSample() override;
    std::uint32_t Channels() override;
    std::uint32_t SampleRate() override;
    void _Pause() override;
    void _Resume() override;

protected:
    void OpenSource() override;
    void CloseSource() override;
    void ProduceBlock(void *&Buffer, std::uint32_t &Bytes) override;

    // Worker thread, DataCS held. Exceptions end the output's run. CloseTapFile returns only
    // when the file is complete and closed (Status turns tosIdle after it); it is also called
    // after an OpenTapFile that failed part-way.
    virtual void OpenTapFile() = 0;
    virtual void CloseTapFile() = 0;
    // Block (owned by the producer, valid during the call) of BufferLen bytes.
    virtual void WriteTapBlock(const void *Block, std::uint32_t BufferLen) = 0;

    // The recording whose file is open (or was opened last). Worker thread.
    std::uint32_t RecordingRun() const { return FRecordingRun.load(); }

    std::mutex NameCS; // guards the two names between the window thread and the worker
    std::string FFileName;
    std::u16string FWideFileName;
    std::atomic<bool> FRecording{false};
    std::atomic<bool> FStarting{false};
    std::atomic<bool> FPaused{false};
    std::atomic<bool> FStopping{false};
    std::atomic<std::uint32_t> FRunNumber{0};
    std::atomic<std::uint32_t> FRecordingRun{0};
    std::atomic<bool> FFileOpen{false}; // from before OpenTapFile until CloseTapFile returned

private:
    // Ends the recording and closes its file. Worker thread.
    void EndRecording();
};

// ---------------------------------------------------------------------------------------------
// Outputs

class TAuOutput;

// An output's worker: lives as long as the output, sleeps between runs and while paused
// (never spins). Flags are written by one thread and polled by another (atomics).
class TAuThread {
public:
    explicit TAuThread(TAuOutput *AParent);
    ~TAuThread();
    TAuThread(const TAuThread &) = delete;
    TAuThread &operator=(const TAuThread &) = delete;

    void SoftSleep();
    void SoftPause();
    void SoftWake() { SoftSleepEvent.Set(); }
    // Waits for PauseEvent at most 5000 ms; true when the worker paused.
    bool WaitForPause() { return PauseEvent.WaitFor(5000); }

    // Starts the thread (the output's constructor does so once Parent is set).
    void Start();
    // Ends the thread: sets Terminated, wakes it until it has left its sleep, joins it.
    void Terminate();
    bool Terminated() const { return FTerminated.load(); }
    bool IsCurrentThread() const { return std::this_thread::get_id() == FThreadId.load(); }
    TThreadPriority Priority() const { return FPriority.load(); }
    // Stores the priority and applies what the system allows (lowering always works; raising
    // above normal needs privileges and is otherwise kept only as a value).
    void SetPriority(TThreadPriority Value);

    TAuEvent PauseEvent;
    TAuEvent SoftSleepEvent;
    // The run the worker executes (or executed last), taken from the output's RunNumber when
    // the run starts; and the run whose OnDone a synchronous Stop suppressed.
    std::atomic<std::uint32_t> CurrentRun{0};
    std::atomic<std::uint32_t> SilencedRun{0};
    std::atomic<bool> Stopped{false};
    TAuOutput *const Parent;
    std::atomic<bool> Stop{false};
    std::atomic<bool> SetPause{false};
    std::atomic<bool> Paused{false};
    std::atomic<std::int32_t> Delay{0};
    std::atomic<bool> Sleeping{true};
    // Set by Run (under RunCS) for the worker to take: only a Run starts a run, never a wake
    // left over from Stop or Resume, nor a BlockingRun on another thread.
    std::atomic<bool> RunRequested{false};

private:
    void Execute();
    void ApplyPriority();

    std::thread FThread;
    std::atomic<std::thread::id> FThreadId{};
    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FFinished{false};
    std::atomic<TThreadPriority> FPriority{tpNormal};
    std::atomic<int> FTid{0};
};

// The consumer at the end of a chain, driving it from its own worker thread.
//
// Descendants implement PrepareSink, WriteStep and FinishSink (worker thread). An output
// deleted with `delete` is shut down (run stopped, worker ended) before any destructor runs.
// For outputs that are local or member objects, descendants call ShutDown() at the start of
// their destructor, so the worker has stopped before their own fields go (it is idempotent).
// An output may be deleted on the window thread, also inside one of its own window-thread
// handlers; never on its worker (OnSyncDone).
//
// Events: OnProgress is posted when the rounded Progress changes; OnThreadException when an
// exception ended the run (PrepareSink, WriteStep, or FinishSink), with ExceptionMessage set;
// OnDone after the run is over (the worker has gone back to sleep, or has already started the
// next run). A synchronous Stop suppresses OnDone and the stopped run's pending events.
//
// Stale events: each Run counts RunNumber() up, and every event of a run is queued under that
// number. After Stop(Async) and a new Run, the earlier run's OnDone, OnThreadException or
// OnProgress may still arrive after the new run has started; inside the handler EventRun() is
// the number the event was queued under, so a handler ignores an event of an earlier run with
//     if (Out->EventRun() != Out->RunNumber()) return;
//
// Member objects: an output that is a member object (not deleted with `delete`) stops its run
// only in its destructor, so it must be destroyed before the inputs of its chain: declare the
// inputs and converters before the output (members are destroyed in reverse order), or Stop
// the output (synchronously) first.
class TAuOutput : public TComponent {
public:
    explicit TAuOutput(TComponent *AOwner = nullptr);
    ~TAuOutput() override;

    TAuInput *Input() const { return FInput; }
    // Busy: synchronous Stop, store, Run again (raises "Input is not assigned" for nullptr).
    virtual void SetInput(TAuInput *Value);

    // Start a run on the worker and return at once. Raises "Component is Busy" or
    // "Input is not assigned".
    void Run();
    // A whole run on the calling thread; no events. Exceptions go to the caller after the
    // sink and the chain have been closed (the output is idle again). "Component is Busy"
    // while a run goes on.
    void BlockingRun();
    // End the run. Async: return at once, OnDone follows. Synchronous: wait until the worker has
    // finished (running queued window-thread calls meanwhile when on the window thread); no
    // OnDone and no progress are delivered for that run. Raises when called on the worker.
    void Stop(bool Async = true);
    // Pause: "Input is not assigned." without Input; nothing when idle or already paused;
    // else asks the worker to pause before its next step, waits until it has (at most 5 s, or
    // until the run ends; pumping on the window thread, see WaitPumping) and tells Input
    // (_Pause). Resume: nothing unless paused; tells Input
    // (_Resume) and wakes the worker.
    void Pause();
    void Resume();

    // Display reads, any thread: tosIdle / tosPaused / tosPlaying; 100 x Position / Size
    // rounded (-1 for an unknown size, 0 without Input or for size 0); seconds delivered.
    TOutputStatus Status() const;
    double Progress() const;
    std::int32_t TimeElapsed() const;
    std::int32_t Delay() const;
    void SetDelay(std::int32_t Value);
    TThreadPriority ThreadPriority() const;
    void SetThreadPriority(TThreadPriority Value);
    std::string ExceptionMessage() const;

    // The number of the latest run: 0 before the first Run, then counted up by each Run and
    // BlockingRun. Any thread.
    std::uint32_t RunNumber() const { return FRunNumber.load(); }
    // Inside a handler of this output's events (on the thread that runs it): the run number
    // the event was queued under. Elsewhere RunNumber(). An event is stale (belongs to an
    // earlier run) when EventRun() != RunNumber().
    std::uint32_t EventRun() const { return HandledEventRun(this, RunNumber()); }

    // Handlers; set on the window thread. OnDone, OnProgress and OnThreadException run on the
    // window thread; OnSyncDone runs on the worker when the run is complete.
    TOutputDoneEvent OnDone() const;
    void SetOnDone(TOutputDoneEvent Value);
    TOutputDoneEvent OnSyncDone() const;
    void SetOnSyncDone(TOutputDoneEvent Value);
    TOutputProgressEvent OnProgress() const;
    void SetOnProgress(TOutputProgressEvent Value);
    TThreadExceptionEvent OnThreadException() const;
    void SetOnThreadException(TThreadExceptionEvent Value);

protected:
    friend class TAuThread;
    friend class TEventHandler;

    // Worker hooks (or the BlockingRun caller), no lock held. PrepareSink opens the sink,
    // Inits Input and reads the format. WriteStep moves one portion from Input (GetData or
    // FillBuffer); returns false when the data ended or Abort is set (a step called with Abort
    // only finishes). FinishSink closes the sink and Flushes Input; it is also called after a
    // PrepareSink that failed part-way, so it copes with a partly opened sink. CanOutput is
    // true from the end of PrepareSink until the run completes.
    virtual bool WriteStep(bool Abort) = 0;
    virtual void FinishSink() = 0;
    virtual void PrepareSink() = 0;

    // If Busy: clear CanOutput, FinishSink, clear FStopped and Busy (only Busy when it raises).
    void CompleteRun();
    // The run the worker executes: the run number descendants post their events under.
    std::uint32_t WorkerRun() const { return Thread->CurrentRun.load(); }
    // Stops the run and ends the worker; see the class comment.
    void ShutDown();
    void Notification(TComponent *AComponent, TOperation Operation) override;
    // Deleting an output shuts it down while it is still whole.
    void BeforeDestruction() override { ShutDown(); }

    std::atomic<bool> FStopped{false};
    std::string FExceptionMessage; // guarded by HandlersCS
    std::atomic<bool> CanOutput{false};
    double CurProgr = 0; // worker only
    std::unique_ptr<TAuThread> Thread;
    TAuInput *FInput = nullptr;
    std::atomic<bool> Busy{false};
    std::recursive_mutex RunCS;
    mutable std::mutex HandlersCS; // guards the four handlers and FExceptionMessage
    std::atomic<std::uint32_t> FRunNumber{0}; // written under RunCS

private:
    TOutputDoneEvent FOnDone;
    TOutputDoneEvent FOnSyncDone;
    TOutputProgressEvent FOnProgress;
    TThreadExceptionEvent FOnThreadException;
    bool FShutDown = false;
};

// An output writing to a byte stream. When FStreamAssigned is false and FStream is not null,
// the output created the stream itself and owns it (free with delete).
class TAuStreamedOutput : public TAuOutput {
public:
    explicit TAuStreamedOutput(TComponent *AOwner = nullptr);
    ~TAuStreamedOutput() override;

    TStream *Stream() const { return FStream; }
    // Stores the stream (not owned); FStreamAssigned := Value != nullptr. Not during a run.
    void SetStream(TStream *Value);

protected:
    TStream *FStream = nullptr;
    bool FStreamAssigned = false;
};

class TAuFileOut : public TAuStreamedOutput {
public:
    explicit TAuFileOut(TComponent *AOwner = nullptr);

    std::string FileName() const { return FFileName; }
    void SetFileName(const std::string &Value);
    std::u16string WideFileName() const { return FWideFileName; }
    void SetWideFileName(const std::u16string &Value);
    TFileOutputMode FileMode() const { return FFileMode; }
    // Always leaves foRewrite in this class.
    virtual void SetFileMode(TFileOutputMode Value);
    std::int32_t AccessMask() const { return FAccessMask; }
    void SetAccessMask(std::int32_t Value) { FAccessMask = Value; }
    std::uint16_t ShareMode() const { return FShareMode; }
    void SetShareMode(std::uint16_t Value) { FShareMode = Value; }

protected:
    std::string FFileName;
    std::u16string FWideFileName;
    TFileOutputMode FFileMode = foRewrite;
    std::int32_t FAccessMask = 0;
    std::uint16_t FShareMode = 0;
};

// A file output with three tag sets, created and freed with it. The setters copy the given set
// (Assign).
class TAuTaggedFileOut : public TAuFileOut {
public:
    explicit TAuTaggedFileOut(TComponent *AOwner = nullptr);
    ~TAuTaggedFileOut() override;

    TId3v1Tags *Id3v1Tags() const { return FId3v1Tags.get(); }
    void SetId3v1Tags(const TId3v1Tags *Value);
    TId3v2Tags *Id3v2Tags() const { return FId3v2Tags.get(); }
    void SetId3v2Tags(const TId3v2Tags *Value);
    TAPEv2Tags *APEv2Tags() const { return FAPEv2Tags.get(); }
    void SetAPEv2Tags(const TAPEv2Tags *Value);

protected:
    std::unique_ptr<TId3v1Tags> FId3v1Tags;
    std::unique_ptr<TId3v2Tags> FId3v2Tags;
    std::unique_ptr<TAPEv2Tags> FAPEv2Tags;
};
