// What the broadcast savers of the media layer share: the owner of an FFmpeg output context,
// the hidden file a recording is written to before it is put in place, the container's tags,
// and the error text of a failed step.
//
// Internal to the media layer: this header brings in FFmpeg's. Any thread; one saver per
// object.
#pragma once

#include "AuPacketRing.h"
#include "FFmpegUtil.h"

#include <memory>
#include <string>

namespace bmux {

// An output context with its file: the file closed, then the context freed (with its streams,
// metadata and chapters).
struct OutputDeleter {
    void operator()(AVFormatContext *c) const;
};
using FormatOutput = std::unique_ptr<AVFormatContext, OutputDeleter>;

// Throws EAuException "Could not save the recording (<Doing>): <FFmpeg's text>" when Rc < 0.
void Check(int Rc, const std::string &Doing);

// The hidden file beside Target (a fresh random name) that the recording is written to;
// removed when the object goes away unless Place put it over Target.
class TPartFile {
public:
    explicit TPartFile(const std::string &Target);
    ~TPartFile();
    TPartFile(const TPartFile &) = delete;
    TPartFile &operator=(const TPartFile &) = delete;
    const std::string &Path() const { return FPath; }
    // Syncs the finished file and renames it over Target; throws EAuException when it cannot.
    void Place();

private:
    std::string FTarget, FPath;
    bool FPlaced = false;
};

// An output context for the muxer named Format writing to Part's file (opened).
FormatOutput OpenOutput(const char *Format, const TPartFile &Part, const std::string &What);

// Tags as the container's metadata: title, artist, album, comment (with " (partial song)"
// for a partial song), date.
void SetTags(AVDictionary **Metadata, const TBroadcastTags &Tags);

} // namespace bmux
