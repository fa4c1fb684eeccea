// The MP3 file input: a TWMIn that expects a third of a second more audio than the header's
// duration says, so that the end of the file is never cut off (the data then ends when the
// decoder has no more). Threads and blocks as TWMIn.
#pragma once

#include "AuMedia.h"

class TMP3In : public TWMIn {
public:
    using TWMIn::TWMIn;

protected:
    void OpenInputFile() override;
    void TakeLength() override;
    // Read as MP3 only, whatever the data looks like.
    const char *FileFormats() const override { return "mp3"; }
};
