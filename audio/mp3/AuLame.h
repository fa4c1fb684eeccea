// TMP3Out: the pipeline output that encodes 16-bit PCM from its Input into an MP3 file with
// the LAME encoder (through the stream interface of lame.h), ends the file with a 128-byte
// ID3v1 block, lets the encoder write its VBR header and writes ID3v2 tags through TagLib's C
// binding (libtag_c.so.0, loaded with dlopen when present; FONOLUX_TAGLIB_LIBRARY overrides
// the name).
//
// Threads: properties are set on the window thread between runs and take effect at the next
// run. PrepareSink, WriteStep and FinishSink run on the output's worker (or on the caller of
// BlockingRun). The library loaders run in the constructor (window thread), the encoder's
// again at the start of a run; each takes its own process-wide lock, so outputs created on
// different threads load a library once. TagLib calls are made under that lock as well.
//
// Buffers: Buffer (Channels × one encoder chunk of 16-bit values, in bytes) and mp3buf (the
// size the encoder asks for) are owned by the output, allocated by PrepareSink and freed by
// FinishSink. Encoded bytes go from mp3buf straight to the file.
//
// Failures end the run through the output's thread-exception path (Input is flushed in every
// case). A named file is written to a new hidden file beside it (".<name>.<tag>.part", never
// through a link) and renamed over the name only when the MP3 is complete (synced, with the
// replaced file's permission bits): a failed run (a full disk) removes the hidden file and
// leaves a file that was at the name as it was. A failed ID3v2 tag write after a complete MP3
// still puts the MP3 in place and then fails the run with its message (TagsFailed tells the
// two apart). A stream assigned from outside is left as it is.
#pragma once

#include "AuClasses.h"
#include "lame.h"

#include <cstdint>
#include <string>
#include <vector>

enum TMP3BitRate : std::uint8_t {
    mbrAuto, mbr32, mbr40, mbr48, mbr56, mbr64, mbr80, mbr96, mbr112, mbr128, mbr144, mbr160, mbr192,
    mbr224, mbr256, mbr320
};
enum TMP3Mode : std::uint8_t { mmStereo, mmJointStereo, mmDual, mmMono };
enum TMP3Quality : std::uint8_t {
    mp3ql0, mp3ql1, mp3ql2, mp3ql3, mp3ql4, mp3ql5, mp3ql6, mp3ql7, mp3ql8, mp3ql9
};

// Kilobits per second of a TMP3BitRate (mbrAuto: 0, none given).
std::uint32_t MP3BitRateKbps(TMP3BitRate Value);

// The TagLib loader: loads the library if it is not loaded yet (under the process-wide lock).
// A failure leaves it unloaded and is retried at the next call. True when loaded.
bool LoadTagLib();
bool TagLibLoaded();

// The 128-byte ID3v1 block TMP3Out writes: "TAG", title, artist and album (30 bytes each),
// the year as four digits when it has exactly four, the comment (30 bytes), a 0 byte. Text is
// converted from UTF-8 to Latin-1, the block's encoding (characters beyond it become '?'),
// and cut to its field's length.
std::vector<std::uint8_t> MakeId3v1Block(const TId3v1Tags &Tags);

class TMP3Out : public TAuTaggedFileOut {
public:
    explicit TMP3Out(TComponent *AOwner = nullptr);
    ~TMP3Out() override;

    TMP3BitRate BitRate() const { return FBitRate; }
    void SetBitRate(TMP3BitRate Value) { FBitRate = Value; }
    TMP3Quality VBRQuality() const { return FVBRQuality; }
    void SetVBRQuality(TMP3Quality Value) { FVBRQuality = Value; }
    bool Copyright() const { return FCopyright != 0; }
    void SetCopyright(bool Value) { FCopyright = Value ? -1 : 0; }
    bool Original() const { return FOriginal != 0; }
    void SetOriginal(bool Value) { FOriginal = Value ? -1 : 0; }
    bool EnableVBR() const { return FEnableVBR != 0; }
    void SetEnableVBR(bool Value) { FEnableVBR = Value ? -1 : 0; }
    bool CRC() const { return FCRC != 0; }
    void SetCRC(bool Value) { FCRC = Value ? -1 : 0; }
    TMP3Mode Mode() const { return FMode; }
    void SetMode(TMP3Mode Value) { FMode = Value; }
    TMP3BitRate AverageBitrate() const { return FAverageBitrate; }
    void SetAverageBitrate(TMP3BitRate Value) { FAverageBitrate = Value; }
    TMP3BitRate MaximumBitrate() const { return FMaximumBitrate; }
    void SetMaximumBitrate(TMP3BitRate Value) { FMaximumBitrate = Value; }
    bool EnableBitReservoir() const { return FEnableBitReservoir; }
    void SetEnableBitReservoir(bool Value) { FEnableBitReservoir = Value; }
    bool StrictISO() const { return FStrictISO; }
    void SetStrictISO(bool Value) { FStrictISO = Value; }

    // After a run that ended with an exception: true when only the ID3v2 tags failed, so the
    // file at FileName is a complete MP3 without them. Read on the window thread after the run.
    bool TagsFailed() const { return FTagsFailed; }

protected:
    // Loads the encoder ("libmp3lame.so.0 library could not be loaded." when it cannot),
    // creates the file unless a stream is assigned ("File name is not assigned." without a
    // name), Inits Input, checks that it delivers 16-bit mono or stereo PCM, fills Config and
    // opens the encoder stream ("LAME Error: " + code when refused), allocates the buffers.
    void PrepareSink() override;
    // One chunk: FillBuffer, encode, write ("Error writing down mp3 file" on a short write).
    bool WriteStep(bool Abort) override;
    // Last frames, ID3v1 block, closing, VBR header (EnableVBR with a FileName), ID3v2 tags
    // (FileName set and TagLib loaded: "Failed to write tags", "Failed to save tags").
    void FinishSink() override;

    // Fills Config for an input of Channels and SampleRate from the properties.
    void FillConfig(std::uint32_t Channels, std::uint32_t SampleRate);

    std::vector<std::uint8_t> Buffer; // the PCM work buffer (16-bit samples)
    std::uint32_t BufferSize = 0;     // bytes of Buffer one step fills
    TMP3BitRate FBitRate = mbr128;
    BE_CONFIG Config{};
    std::uint32_t _Stream = 0;        // the encoder stream; 0 = none open
    std::vector<std::uint8_t> mp3buf;
    std::uint32_t mp3buf_size = 0;
    TMP3Quality FVBRQuality = mp3ql0;
    std::int32_t FCopyright = 0;
    std::int32_t FOriginal = -1;
    std::int32_t FEnableVBR = 0;
    std::int32_t FCRC = 0;
    TMP3Mode FMode = mmStereo;
    TMP3BitRate FAverageBitrate = mbrAuto;
    TMP3BitRate FMaximumBitrate = mbrAuto;
    bool FEnableBitReservoir = false;
    bool FStrictISO = false;

private:
    // Writes Bytes of Data to the stream; a short or failed write marks the run's file as
    // failed and raises "Error writing down mp3 file".
    void WriteOut(const void *Data, std::uint32_t Bytes);
    // Ends the encoder stream, closes (and, after a failure, removes) the file, frees buffers.
    void ReleaseRun(bool Failed);
    void WriteId3v2Tags(const std::string &FileName);

    std::uint32_t FInputChannels = 0;
    bool FDownmix = false;       // Mode mmMono on a stereo input: mixed down before encoding
    bool FWriteFailed = false;   // a write of this run failed
    bool FOwnFile = false;       // this run created FStream as FPartName
    bool FTagsFailed = false;    // the last run's MP3 is complete; only its ID3v2 tags failed
    std::string FPartName;       // the hidden file this run writes, until it is put in place
};
