#include "AuMp3In.h"

void TMP3In::OpenInputFile()
{
    TPumpingLock lock(OpenCS);
    if (FOpened.load() > 0)
        return;
    TWMIn::OpenInputFile(); // takes the length through TakeLength, with the extra third
}

void TMP3In::TakeLength()
{
    TWMIn::TakeLength();
    const std::int64_t r = FSR / 3;
    FSize += static_cast<std::int64_t>(FBPS / 8) * FChan * r;
    FTotalSamples += r;
}
