// Inputs driven directly (no output thread): the block protocol, size trimming, selections,
// seeking, looping, buffer filling, input swapping and the file stream.
#include "PipelineTestKit.h"
#include "TestSupport.h"
#include "AuText.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace testkit;

namespace {

// Pulls everything from In (already open) with GetData in requests of Ask bytes.
std::vector<std::uint8_t> Drain(TAuInput &In, std::uint32_t Ask = 4096, int MaxCalls = 100000)
{
    std::vector<std::uint8_t> Out;
    for (int I = 0; I < MaxCalls; ++I) {
        void *P = nullptr;
        std::uint32_t N = Ask;
        In.GetData(P, N);
        EXPECT_LE(N, Ask);
        if (N == 0)
            break;
        const auto *B = static_cast<const std::uint8_t *>(P);
        Out.insert(Out.end(), B, B + N);
    }
    return Out;
}

constexpr std::uint32_t Frame = 4; // 16-bit stereo

} // namespace

TEST(ConverterLatch, OvershootingProducerIsCutAtSizeAndLatches)
{
    TComponent Owner;
    auto *Src = new TByteSource(&Owner, 10000, 4096);
    auto *Conv = new TPassConverter(&Owner);
    Conv->SizeOverride = 7000; // its producer delivers 3000 bytes more than it reports
    Conv->SetInput(Src);
    Conv->Init();
    const auto Got = Drain(*Conv, 3000);
    EXPECT_EQ(Got.size(), 7000u);
    // The converter's own position keeps the overshoot of the last block.
    EXPECT_EQ(Conv->Position(), 9000);
    const int ProducedBefore = Src->Produced.load();
    void *P = nullptr;
    std::uint32_t N = 4096;
    Conv->GetData(P, N);
    EXPECT_EQ(N, 0u);
    Conv->GetData(P, N = 4096);
    EXPECT_EQ(N, 0u);
    EXPECT_EQ(Src->Produced.load(), ProducedBefore) << "latched converter must not call up the chain";
    EXPECT_EQ(Got, PatternBytes(0, 7000));
    Conv->Flush();
    EXPECT_FALSE(Conv->IsBusy());
    EXPECT_FALSE(Src->IsBusy());
    EXPECT_EQ(Src->Closes.load(), 1);
}

TEST(ConverterLatch, InitClearsTheLatchAndAFailedOpenLatchesWithTheSameMessage)
{
    TComponent Owner;
    auto *Src = new TByteSource(&Owner, 8000);
    auto *Conv = new TPassConverter(&Owner);
    Conv->SetInput(Src);
    Conv->Init();
    EXPECT_EQ(Drain(*Conv).size(), 8000u);
    Conv->Flush();
    Conv->Init(); // a second run starts over
    EXPECT_EQ(Drain(*Conv), PatternBytes(0, 8000));
    Conv->Flush();

    Src->FailOpen = "device gone";
    try {
        Conv->Init();
        FAIL() << "Init must raise";
    } catch (const EAuException &E) {
        EXPECT_STREQ(E.what(), "device gone");
    }
    void *P = nullptr;
    std::uint32_t N = 100;
    Conv->GetData(P, N);
    EXPECT_EQ(N, 0u);

    auto *Lonely = new TPassConverter(&Owner);
    EXPECT_THROW(Lonely->Init(), EAuException);
    EXPECT_EQ(Lonely->BitsPerSample(), 0u);
}

TEST(ConverterFormat, BitSevenIsPassedOnlyWhenFloatIsRequested)
{
    TComponent Owner;
    auto *Src = new TByteSource(&Owner, 100, 4096, 32 | 128, 1, 8000);
    auto *Conv = new TPassConverter(&Owner);
    Conv->SetInput(Src);
    EXPECT_EQ(Conv->BitsPerSample(), 32u);
    Conv->SetRequestFloat(true);
    EXPECT_EQ(Conv->BitsPerSample(), 160u);
    EXPECT_EQ(Conv->Channels(), 1u);
    EXPECT_EQ(Conv->SampleRate(), 8000u);
}

TEST(StreamedInputSize, BlocksEndExactlyAtSizeAndPositionStopsThere)
{
    TComponent Owner;
    auto *Src = new TByteSource(&Owner, 10000, 4096);
    Src->Overshoot = 1000;
    Src->Init();
    const auto Got = Drain(*Src, 4096);
    EXPECT_EQ(Got, PatternBytes(0, 10000));
    EXPECT_EQ(Src->Position(), 10000);
    Src->Flush();
}

class RawFileTest : public ::testing::Test {
protected:
    // 5000 frames of 16-bit stereo at 8000 Hz.
    std::vector<std::uint8_t> Pcm = PatternBytes(0, 5000 * Frame);
    TMemoryStream Mem{MakeRawPcm(8000, 2, 16, Pcm)};
    TComponent Owner;
    TRawFileIn *In = new TRawFileIn(&Owner, 1000);

    void SetUp() override { In->SetStream(&Mem); }
};

TEST_F(RawFileTest, WholeFileAndFormatGettersOpenTheFile)
{
    EXPECT_EQ(In->OpenedCount(), 0);
    EXPECT_EQ(In->BitsPerSample(), 16u);
    EXPECT_GT(In->OpenedCount(), 0) << "reading the format opens the file";
    EXPECT_EQ(In->Channels(), 2u);
    EXPECT_EQ(In->SampleRate(), 8000u);
    EXPECT_EQ(In->TotalSamples(), 5000);
    EXPECT_EQ(In->TotalTime(), 1u); // 0.625 s rounds to 1
    EXPECT_TRUE(In->Valid());
    In->Init();
    EXPECT_EQ(In->Size(), 5000 * Frame);
    EXPECT_EQ(Drain(*In, 777), Pcm);
    In->Flush();
    EXPECT_EQ(In->OpenedCount(), 0) << "the end of a run closes the file";
}

TEST_F(RawFileTest, SelectionOfThousandFramesThenResetAfterTheRun)
{
    In->SetStartSample(1000);
    In->SetEndSample(1999);
    In->Init();
    EXPECT_EQ(In->Size(), 1000 * Frame);
    const auto Got = Drain(*In, 4096);
    EXPECT_EQ(Got, PatternBytes(1000 * Frame, 1000 * Frame));
    In->Flush();
    EXPECT_EQ(In->StartSample(), 0);
    EXPECT_EQ(In->EndSample(), -1);
    // The next run is the whole file again.
    In->Init();
    EXPECT_EQ(Drain(*In).size(), Pcm.size());
    In->Flush();
}

TEST_F(RawFileTest, EndFrameBeyondTheFileMeansToTheEnd)
{
    In->SetStartSample(4000);
    In->SetEndSample(999999);
    In->Init();
    EXPECT_EQ(In->EndSample(), -1);
    EXPECT_EQ(Drain(*In), PatternBytes(4000 * Frame, 1000 * Frame));
    In->Flush();
}

TEST_F(RawFileTest, SetStartAndEndTimeInSeconds)
{
    EXPECT_FALSE(In->SetStartTime(0, 1)) << "8000 frames is beyond 5000";
    // 0.625 s file: use a longer one.
    std::vector<std::uint8_t> Long = PatternBytes(0, 8000 * 3 * Frame);
    TMemoryStream M2(MakeRawPcm(8000, 2, 16, Long));
    In->SetStream(&M2);
    EXPECT_TRUE(In->SetStartTime(0, 1));
    EXPECT_TRUE(In->SetEndTime(0, 2));
    In->Init();
    EXPECT_EQ(Drain(*In), PatternBytes(8000 * Frame, 8001 * Frame)); // end frame inclusive
    In->Flush();
}

TEST_F(RawFileTest, SeekClosedPresetsTheStartSeekOpenIsRelativeToTheSelection)
{
    // Closed: only presets the start frame and clears the end frame.
    In->SetEndSample(4000);
    EXPECT_TRUE(In->Seek(3000));
    EXPECT_EQ(In->StartSample(), 3000);
    EXPECT_EQ(In->EndSample(), -1);
    In->Init();
    EXPECT_EQ(Drain(*In), PatternBytes(3000 * Frame, 2000 * Frame));
    In->Flush();

    // Open, with a selection from frame 1000: Seek(500) lands on frame 1500.
    In->SetStartSample(1000);
    In->SetEndSample(3999);
    In->Init();
    EXPECT_TRUE(In->Seek(500));
    EXPECT_EQ(In->Position(), 500 * Frame);
    const auto Got = Drain(*In);
    EXPECT_EQ(Got, PatternBytes(1500 * Frame, 2500 * Frame));
    In->Flush();

    // Beyond the length: refused.
    EXPECT_FALSE(In->Seek(In->TotalSamples() + 1));

    // Before the first frame: refused, closed (the preset stays) and open (the place stays).
    EXPECT_TRUE(In->Seek(200));
    EXPECT_FALSE(In->Seek(-1));
    EXPECT_EQ(In->StartSample(), 200);
    In->Init();
    Drain(*In, 400, 1);
    EXPECT_FALSE(In->Seek(-300));
    EXPECT_EQ(In->Position(), 400);
    EXPECT_EQ(Drain(*In, 400, 1), PatternBytes(200 * Frame + 400, 400));
    In->Flush();
}

TEST_F(RawFileTest, JumpByPerMilleClampsToTheSelection)
{
    In->SetStartSample(1000);
    In->SetEndSample(2999); // 2000 frames
    In->Init();
    Drain(*In, 400, 5); // somewhere inside
    In->_Jump(-2000);
    EXPECT_EQ(In->Position(), 0);
    EXPECT_EQ(Drain(*In, 4096, 1), PatternBytes(1000 * Frame, 1000)); // first 1000 bytes of the selection
    In->_Jump(2000);
    EXPECT_EQ(In->Position(), 2000 * Frame);
    void *P = nullptr;
    std::uint32_t N = 4096;
    In->GetData(P, N);
    EXPECT_EQ(N, 0u) << "a jump to the end leaves nothing to read";
    In->Flush();
}

TEST(LongFile, JumpBeyondTwoToTheThirtyOneFramesDoesNotWrap)
{
    // 8-bit mono, 2^33 frames (about 12 days at 8000 Hz): only the length is big.
    class THugeStream : public TMemoryStream {
    public:
        using TMemoryStream::TMemoryStream;
        std::int64_t Size() override { return 12 + (std::int64_t{1} << 33); }
    };
    THugeStream Huge(MakeRawPcm(8000, 1, 8, {}));
    TRawFileIn In;
    In.SetStream(&Huge);
    In.Init();
    In._Jump(500);
    EXPECT_EQ(In.Position(), std::int64_t{1} << 32);
    In._Jump(250);
    EXPECT_EQ(In.Position(), std::int64_t{3} << 31);
    In.Flush();
}

TEST_F(RawFileTest, FileWithoutAudioReportsADummyFormatAndNoData)
{
    TMemoryStream Junk(std::vector<std::uint8_t>(100, 0x55));
    In->SetStream(&Junk);
    EXPECT_FALSE(In->Valid());
    In->Init();
    EXPECT_EQ(In->SampleRate(), 8000u);
    EXPECT_EQ(In->BitsPerSample(), 8u);
    EXPECT_EQ(In->Channels(), 1u);
    EXPECT_EQ(In->Size(), 0);
    EXPECT_TRUE(Drain(*In).empty());
    In->Flush();
}

namespace {

// A memory stream whose rewind fails once Fail is set (as a stream on a device that went away).
class TFailingRewindStream : public TMemoryStream {
public:
    using TMemoryStream::TMemoryStream;
    bool Fail = false;
    std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin) override
    {
        if (Fail && Origin == soBeginning && Offset == 0)
            throw EAuException("rewind failed");
        return TMemoryStream::Seek(Offset, Origin);
    }
};

} // namespace

TEST_F(RawFileTest, AFailedOpenOrCloseLeavesTheInputClosedForTheNextRun)
{
    testsupport::TempDir Dir;
    TRawFileIn ByName;
    ByName.SetFileName((Dir / "missing.raw").string());
    EXPECT_THROW(ByName.Init(), EAuException);
    EXPECT_FALSE(ByName.IsBusy());
    // The next file opens; it is not refused as busy.
    TMemoryStream Good(MakeRawPcm(8000, 2, 16, Pcm));
    ByName.SetStream(&Good);
    ByName.Init();
    EXPECT_EQ(Drain(ByName), Pcm);
    ByName.Flush();

    TFailingRewindStream Flaky(MakeRawPcm(8000, 2, 16, Pcm));
    In->SetStream(&Flaky);
    In->SetStartSample(1000);
    In->SetEndSample(1999);
    In->Init();
    Flaky.Fail = true;
    try {
        In->Flush();
        FAIL() << "the closing failure reaches the caller";
    } catch (const EAuException &E) {
        EXPECT_STREQ(E.what(), "rewind failed");
    }
    EXPECT_FALSE(In->IsBusy());
    EXPECT_EQ(In->StartSample(), 0);
    EXPECT_EQ(In->EndSample(), -1);
    Flaky.Fail = false;
    In->Init();
    EXPECT_EQ(Drain(*In), Pcm) << "the next run is the whole file";
    In->Flush();
}

TEST_F(RawFileTest, OpeningTwiceAndWithoutNameRaiseTheirMessages)
{
    In->Init();
    try {
        In->Init();
        FAIL();
    } catch (const EAuException &E) {
        EXPECT_STREQ(E.what(), "The component is Busy");
    }
    In->Flush();
    TRawFileIn Nameless;
    try {
        Nameless.Init();
        FAIL();
    } catch (const EAuException &E) {
        EXPECT_STREQ(E.what(), "The file name is not assigned");
    }
}

TEST_F(RawFileTest, LoopReplacesTheEndBlockWithTheFirstBlockAfterTheRewind)
{
    In->SetStartSample(100);
    In->SetEndSample(349); // 250 frames = 1000 bytes
    In->SetLoop(true);
    In->Init();
    std::vector<std::uint8_t> Got;
    for (int I = 0; I < 8; ++I) { // 8 requests of 300 bytes: never an end of data
        void *P = nullptr;
        std::uint32_t N = 300;
        In->GetData(P, N);
        ASSERT_GT(N, 0u);
        Got.insert(Got.end(), static_cast<std::uint8_t *>(P), static_cast<std::uint8_t *>(P) + N);
    }
    const auto Sel = PatternBytes(100 * Frame, 1000);
    // 300, 300, 300, then the 100-byte end block is replaced by the first 300 after the rewind.
    std::vector<std::uint8_t> Expect;
    Expect.insert(Expect.end(), Sel.begin(), Sel.begin() + 900);
    Expect.insert(Expect.end(), Sel.begin(), Sel.begin() + 900);
    Expect.insert(Expect.end(), Sel.begin(), Sel.begin() + 600);
    EXPECT_EQ(Got, Expect);
    In->Flush();
}

TEST_F(RawFileTest, FileByNameThroughTheFileStreamAndItsErrors)
{
    testsupport::TempDir Dir;
    const auto Path = Dir / "t\xC3\xA9st.raw"; // a non-ASCII name
    {
        std::ofstream F(Path, std::ios::binary);
        const auto Bytes = MakeRawPcm(8000, 2, 16, Pcm);
        F.write(reinterpret_cast<const char *>(Bytes.data()), static_cast<std::streamsize>(Bytes.size()));
    }
    TRawFileIn ByName;
    ByName.SetFileName(Path.string());
    EXPECT_EQ(ByName.WideFileName(), Utf8ToUtf16(Path.string()));
    ByName.Init();
    EXPECT_EQ(Drain(ByName), Pcm);
    ByName.Flush();

    ByName.SetFileName((Dir / "missing.raw").string());
    try {
        ByName.Init();
        FAIL();
    } catch (const EAuException &E) {
        EXPECT_STREQ(E.what(), "No such file or directory");
    }
}

TEST(FillBuffer, ZeroSizeReportsEofAndBlocksAreJoined)
{
    TComponent Owner;
    auto *Src = new TByteSource(&Owner, 10000, 700);
    Src->Init();
    std::vector<std::uint8_t> Buf(4000);
    bool Eof = false;
    EXPECT_EQ(Src->FillBuffer(Buf.data(), 0, Eof), 0u);
    EXPECT_TRUE(Eof);
    EXPECT_EQ(Src->CopyData(Buf.data(), 0), 0u);
    EXPECT_EQ(Src->CopyData(Buf.data(), -5), 0u);
    EXPECT_EQ(Src->Position(), 0) << "a zero-sized fill reads nothing";
    EXPECT_EQ(Src->FillBuffer(Buf.data(), 4000, Eof), 4000u);
    EXPECT_FALSE(Eof);
    EXPECT_EQ(Buf, PatternBytes(0, 4000));
    EXPECT_EQ(Src->FillBuffer(Buf.data(), 4000, Eof), 4000u);
    EXPECT_EQ(Src->FillBuffer(Buf.data(), 4000, Eof), 2000u);
    EXPECT_TRUE(Eof);
    EXPECT_EQ(std::vector<std::uint8_t>(Buf.begin(), Buf.begin() + 2000), PatternBytes(8000, 2000));
    EXPECT_EQ(Src->CopyData(Buf.data(), 100), 0u);
    Src->Flush();
}

TEST(FillBuffer, UnprotectedBypassesTheLatchAndCountsThePosition)
{
    TComponent Owner;
    auto *Src = new TByteSource(&Owner, 3000, 1000);
    Src->Overshoot = 10; // the producer runs 10 bytes past Size
    Src->Init();
    std::vector<std::uint8_t> Buf(5000);
    bool Eof = false;
    EXPECT_EQ(Src->FillBufferUnprotected(nullptr, 100, Eof), 0u);
    // No size trimming: every byte the producer makes arrives, and the position counts them.
    EXPECT_EQ(Src->FillBufferUnprotected(Buf.data(), 5000, Eof), 3010u);
    EXPECT_TRUE(Eof);
    EXPECT_EQ(Src->Position(), 3010);
    EXPECT_EQ(std::vector<std::uint8_t>(Buf.begin(), Buf.begin() + 3010), PatternBytes(0, 3010));
    // Through GetData the same producer is cut at Size.
    Src->Flush();
    Src->Init();
    EXPECT_EQ(Drain(*Src, 4096), PatternBytes(0, 3000));
    Src->Flush();
}

TEST(ConverterInput, SwappedDuringARunClosesTheOldAndOpensTheNew)
{
    TComponent Owner;
    auto *A = new TByteSource(&Owner, 100000, 1000);
    auto *B = new TByteSource(&Owner, 100000, 1000);
    auto *Conv = new TPassConverter(&Owner);
    Conv->SetInput(A);
    Conv->Init();
    Drain(*Conv, 1000, 3);
    EXPECT_TRUE(A->IsBusy());
    Conv->SetInput(B);
    EXPECT_FALSE(A->IsBusy());
    EXPECT_EQ(A->Closes.load(), 1);
    EXPECT_TRUE(B->IsBusy());
    EXPECT_EQ(Drain(*Conv, 1000, 1), PatternBytes(0, 1000)) << "the next block comes from the new input";
    Conv->SetInput(Conv); // ignored
    EXPECT_EQ(Conv->Input(), B);
    Conv->Flush();
    EXPECT_FALSE(B->IsBusy());
}

TEST(ConverterInput, TheNewInputIsOpenedEvenWhenTheOldOneFailsToClose)
{
    TComponent Owner;
    auto *A = new TByteSource(&Owner, 100000, 1000);
    auto *B = new TByteSource(&Owner, 100000, 1000);
    auto *Conv = new TPassConverter(&Owner);
    Conv->SetInput(A);
    Conv->Init();
    Drain(*Conv, 1000, 2);
    A->FailClose = "close failed";
    try {
        Conv->SetInput(B);
        FAIL() << "the closing failure reaches the caller";
    } catch (const EAuException &E) {
        EXPECT_STREQ(E.what(), "close failed");
    }
    EXPECT_EQ(Conv->Input(), B);
    EXPECT_TRUE(B->IsBusy());
    EXPECT_EQ(Drain(*Conv, 1000, 1), PatternBytes(0, 1000)) << "the run goes on from the new input";
    Conv->Flush();
    EXPECT_FALSE(B->IsBusy());
}

TEST(ComponentNotification, DestroyedInputIsDroppedByItsConsumers)
{
    TComponent Owner;
    auto *Src = new TByteSource(&Owner, 100);
    auto *Conv = new TPassConverter(&Owner);
    auto *Out = new TCollectOut(&Owner);
    Conv->SetInput(Src);
    Out->SetInput(Conv);
    EXPECT_EQ(Owner.ComponentCount(), 3);
    delete Src;
    EXPECT_EQ(Conv->Input(), nullptr);
    EXPECT_EQ(Owner.ComponentCount(), 2);
    delete Conv;
    EXPECT_EQ(Out->Input(), nullptr);
    Out->SetName("Out1");
    Out->SetTag(2);
    EXPECT_EQ(Owner.Components(0)->Name(), "Out1");
    EXPECT_EQ(Owner.Components(0)->Tag(), 2);
}

TEST(Streams, MemoryStreamReadWriteSeek)
{
    TMemoryStream M;
    const auto D = PatternBytes(0, 100);
    M.WriteBuffer(D.data(), 100);
    EXPECT_EQ(M.Size(), 100);
    M.SetPosition(90);
    std::uint8_t B[20];
    EXPECT_EQ(M.Read(B, 20), 10);
    EXPECT_EQ(M.Read(B, 20), 0);
    EXPECT_THROW(M.ReadBuffer(B, 1), EAuException);
    EXPECT_EQ(M.Seek(-10, soEnd), 90);
    EXPECT_THROW(M.Seek(-1, soBeginning), EAuException);
    M.SetSize(50);
    EXPECT_EQ(M.Position(), 50);
}

TEST(Streams, FileStreamModesAndSharing)
{
    testsupport::TempDir Dir;
    const std::u16string Name = Utf8ToUtf16((Dir / "f.bin").string());
    {
        TAuFileStream W(Name, fmCreate);
        const auto D = PatternBytes(0, 1000);
        W.WriteBuffer(D.data(), 1000);
        // Created without sharing: nobody else may open it meanwhile.
        EXPECT_THROW(TAuFileStream(Name, fmOpenRead | fmShareDenyWrite), EAuException);
        EXPECT_EQ(W.Size(), 1000);
    }
    {
        TAuFileStream R1(Name, fmOpenRead | fmShareDenyWrite);
        TAuFileStream R2(Name, fmOpenRead | fmShareDenyWrite); // two readers share
        EXPECT_EQ(R1.Size(), 1000);
        std::vector<std::uint8_t> B(1000);
        R2.ReadBuffer(B.data(), 1000);
        EXPECT_EQ(B, PatternBytes(0, 1000));
        // A create while readers hold it fails and leaves the file intact.
        EXPECT_THROW(TAuFileStream(Name, fmCreate), EAuException);
        EXPECT_EQ(R1.Size(), 1000);
        EXPECT_THROW(R1.Write(B.data(), 1), EAuException) << "read-only access";
    }
    {
        TAuFileStream C(Name, fmCreate); // truncates
        EXPECT_EQ(C.Size(), 0);
    }
    try {
        TAuFileStream Missing(Utf8ToUtf16((Dir / "nope").string()), fmOpenRead);
        FAIL();
    } catch (const EAuException &E) {
        EXPECT_STREQ(E.what(), "No such file or directory");
    }
}
