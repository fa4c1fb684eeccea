#include "AuClasses.h"

#include "AuText.h"

#include <exception>

TAudioTap::TAudioTap(TComponent *AOwner) : TAuConverter(AOwner) {}

void TAudioTap::StartRecord()
{
    if (!FRecording.load()) {
        ++FRunNumber;
        FStarting = true;
    }
}

void TAudioTap::PauseRecord()
{
    if (FRecording.load())
        FPaused = true;
}

void TAudioTap::ResumeRecord() { FPaused = false; }

void TAudioTap::StopRecord()
{
    if (FRecording.load())
        FStopping = true;
}

TOutputStatus TAudioTap::Status() const
{
    // The file, not the recording flag: a writer may still be finishing it after the
    // recording ended, and a window that sees tosIdle renames and reads it at once.
    if (!FFileOpen.load())
        return tosIdle;
    return FPaused.load() ? tosPaused : tosPlaying;
}

std::string TAudioTap::FileName()
{
    std::lock_guard<std::mutex> L(NameCS);
    return FFileName;
}

void TAudioTap::SetFileName(const std::string &Value)
{
    std::lock_guard<std::mutex> L(NameCS);
    FFileName = Value;
    FWideFileName = Utf8ToUtf16(Value);
}

std::u16string TAudioTap::WideFileName()
{
    std::lock_guard<std::mutex> L(NameCS);
    return FWideFileName;
}

void TAudioTap::SetWideFileName(const std::u16string &Value)
{
    std::lock_guard<std::mutex> L(NameCS);
    FWideFileName = Value;
    FFileName.clear();
}

std::uint32_t TAudioTap::BitsPerSample()
{
    TAuInput *In = Input();
    return In ? In->BitsPerSample() : 0;
}

std::uint32_t TAudioTap::Channels()
{
    TAuInput *In = Input();
    return In ? In->Channels() : 0;
}

std::uint32_t TAudioTap::SampleRate()
{
    TAuInput *In = Input();
    return In ? In->SampleRate() : 0;
}

void TAudioTap::_Pause()
{
    if (FRecording.load())
        PauseRecord();
    TAuConverter::_Pause();
}

void TAudioTap::_Resume()
{
    TAuConverter::_Resume();
    if (FRecording.load())
        ResumeRecord();
}

void TAudioTap::OpenSource()
{
    if (!FInput)
        throw EAuException("Input not assigned");
    FInput->Init();
    Busy = true;
    FSize = FInput->Size();
    FPosition = 0;
}

void TAudioTap::CloseSource()
{
    // The file is finished even when closing the input fails; that failure is raised after.
    std::exception_ptr InputError;
    if (FInput) {
        try {
            FInput->Flush();
        } catch (...) {
            InputError = std::current_exception();
        }
    }
    if (FRecording.load()) {
        try {
            EndRecording();
        } catch (...) {
            Busy = false;
            throw;
        }
    }
    Busy = false;
    if (InputError)
        std::rethrow_exception(InputError);
}

void TAudioTap::EndRecording()
{
    FRecording = false;
    FStopping = false;
    FPaused = false;
    FStarting = false;
    // Cleared when the close has returned, also when it fails: Status stays busy meanwhile.
    struct TClearOnExit {
        std::atomic<bool> &Flag;
        ~TClearOnExit() { Flag = false; }
    } Clear{FFileOpen};
    CloseTapFile();
}

void TAudioTap::ProduceBlock(void *&Buffer, std::uint32_t &Bytes)
{
    if (!FInput) {
        Buffer = nullptr;
        Bytes = 0;
    } else {
        // The tap's own GetData keeps position and end of data for the pair.
        InputProduceBlock(FInput, Buffer, Bytes);
    }
    if (FRecording.load()) {
        if (Bytes > 0 && !FStopping.load()) {
            if (!FPaused.load())
                WriteTapBlock(Buffer, Bytes);
        } else {
            EndRecording();
        }
    } else if (Bytes > 0 && FStarting.load()) {
        FStarting = false;
        FRecording = true;
        FRecordingRun = FRunNumber.load();
        FFileOpen = true; // a failed open is closed (and this cleared) when the run ends
        OpenTapFile();
        WriteTapBlock(Buffer, Bytes);
    }
}
