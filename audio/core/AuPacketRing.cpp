// The compressed pre-recording ring's segment files.
#include "AuPacketRing.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

const char *BroadcastExtension(TBroadcastFormat Format)
{
    switch (Format) {
    case TBroadcastFormat::Mp3:
        return "mp3";
    case TBroadcastFormat::Aac:
        return "aac";
    case TBroadcastFormat::Vorbis:
        return "ogg";
    case TBroadcastFormat::Opus:
        return "opus";
    case TBroadcastFormat::None:
        break;
    }
    return "";
}

TPacketRing::~TPacketRing()
{
    std::lock_guard<std::mutex> lock(FLock);
    CloseLocked();
}

void TPacketRing::CloseLocked()
{
    if (!FFile)
        return;
    // fclose flushes: a full disk shows here as well as in a write.
    if (std::fclose(FFile) != 0 && FError.empty())
        FError = "writing " + FPath + ": " + std::strerror(errno);
    FFile = nullptr;
    FBytes = 0;
}

bool TPacketRing::StartSegment(const std::string &Path)
{
    // The new file is opened before the lock is taken, so the reader never waits on the open.
    // O_NOFOLLOW: a link planted at the name is never written through.
    const int fd = ::open(Path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    std::FILE *file = fd >= 0 ? ::fdopen(fd, "wb") : nullptr;
    const int err = errno;
    if (fd >= 0 && !file)
        ::close(fd);
    std::lock_guard<std::mutex> lock(FLock);
    CloseLocked();
    if (!file) {
        FError = "creating " + Path + ": " + std::strerror(err);
        return false;
    }
    FError.clear();
    FFile = file;
    FPath = Path;
    FBytes = 0;
    if (FMarks[1].Path != Path)
        FMarks[0] = std::move(FMarks[1]);
    FMarks[1] = {Path, {TTitleMark{0, FTitle, false}}};
    return true;
}

void TPacketRing::Stop()
{
    std::lock_guard<std::mutex> lock(FLock);
    CloseLocked();
    FPaused = false;
}

void TPacketRing::SetPaused(bool Paused)
{
    std::lock_guard<std::mutex> lock(FLock);
    FPaused = Paused;
}

bool TPacketRing::Running() const
{
    std::lock_guard<std::mutex> lock(FLock);
    return FFile != nullptr;
}

std::uint64_t TPacketRing::SegmentBytes() const
{
    std::lock_guard<std::mutex> lock(FLock);
    return FBytes;
}

std::uint64_t TPacketRing::PacketsSeen() const
{
    std::lock_guard<std::mutex> lock(FLock);
    return FPackets;
}

std::string TPacketRing::Error() const
{
    std::lock_guard<std::mutex> lock(FLock);
    return FError;
}

void TPacketRing::OnPacket(const std::uint8_t *Data, std::size_t Size)
{
    std::lock_guard<std::mutex> lock(FLock);
    ++FPackets;
    if (!FFile || FPaused || Size == 0)
        return;
    if (std::fwrite(Data, 1, Size, FFile) != Size) {
        FError = "writing " + FPath + ": " + std::strerror(errno);
        // A partly written packet would end the stream in a broken frame: the segment ends at
        // the last whole one when the file got that far (a shorter file keeps what it has; the
        // saving side drops a truncated last frame).
        std::fflush(FFile);
        const int fd = ::fileno(FFile);
        const off_t size = ::lseek(fd, 0, SEEK_END);
        if (size > static_cast<off_t>(FBytes) && ::ftruncate(fd, static_cast<off_t>(FBytes)) != 0)
            FError += " (and the segment could not be cut back to its last whole packet)";
        std::fclose(FFile);
        FFile = nullptr;
        FBytes = 0;
        return;
    }
    FBytes += Size;
}

std::vector<TTitleMark> TPacketRing::Marks(const std::string &Path) const
{
    std::lock_guard<std::mutex> lock(FLock);
    for (const SegmentMarks &m : FMarks)
        if (!Path.empty() && m.Path == Path)
            return m.Marks;
    return {};
}

std::string TPacketRing::CurrentTitle() const
{
    std::lock_guard<std::mutex> lock(FLock);
    return FTitle;
}

void TPacketRing::OnStreamTitle(const std::string &Title)
{
    std::lock_guard<std::mutex> lock(FLock);
    if (Title == FTitle)
        return;
    FTitle = Title;
    if (FFile)
        FMarks[1].Marks.push_back(TTitleMark{FBytes, Title, true});
}
