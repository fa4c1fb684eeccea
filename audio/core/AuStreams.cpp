#include "AuStreams.h"

#include "AuText.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

[[noreturn]] void RaiseErrno(int Err) { throw EAuException(std::strerror(Err)); }

} // namespace

TStream::~TStream() = default;

std::int64_t TStream::Size()
{
    const std::int64_t Pos = Seek(0, soCurrent);
    const std::int64_t End = Seek(0, soEnd);
    Seek(Pos, soBeginning);
    return End;
}

void TStream::ReadBuffer(void *Buffer, std::int64_t Count)
{
    auto *P = static_cast<std::uint8_t *>(Buffer);
    while (Count > 0) {
        const std::int64_t N = Read(P, Count);
        if (N <= 0)
            throw EAuException("Stream read error");
        P += N;
        Count -= N;
    }
}

void TStream::WriteBuffer(const void *Buffer, std::int64_t Count)
{
    auto *P = static_cast<const std::uint8_t *>(Buffer);
    while (Count > 0) {
        const std::int64_t N = Write(P, Count);
        if (N <= 0)
            throw EAuException("Stream write error");
        P += N;
        Count -= N;
    }
}

std::int64_t TMemoryStream::Read(void *Buffer, std::int64_t Count)
{
    const auto Len = static_cast<std::int64_t>(FData.size());
    if (Count <= 0 || FPos >= Len)
        return 0;
    const std::int64_t N = std::min(Count, Len - FPos);
    std::memcpy(Buffer, FData.data() + FPos, static_cast<std::size_t>(N));
    FPos += N;
    return N;
}

std::int64_t TMemoryStream::Write(const void *Buffer, std::int64_t Count)
{
    if (Count <= 0)
        return 0;
    const std::int64_t End = FPos + Count;
    if (End > static_cast<std::int64_t>(FData.size()))
        FData.resize(static_cast<std::size_t>(End));
    std::memcpy(FData.data() + FPos, Buffer, static_cast<std::size_t>(Count));
    FPos = End;
    return Count;
}

std::int64_t TMemoryStream::Seek(std::int64_t Offset, TSeekOrigin Origin)
{
    std::int64_t Base = 0;
    if (Origin == soCurrent)
        Base = FPos;
    else if (Origin == soEnd)
        Base = static_cast<std::int64_t>(FData.size());
    if (Base + Offset < 0)
        throw EAuException("Invalid stream position");
    FPos = Base + Offset;
    return FPos;
}

void TMemoryStream::SetSize(std::int64_t NewSize)
{
    if (NewSize < 0)
        throw EAuException("Invalid stream size");
    FData.resize(static_cast<std::size_t>(NewSize));
    FPos = std::min(FPos, NewSize);
}

void TMemoryStream::Clear()
{
    FData.clear();
    FPos = 0;
}

std::int64_t THandleStream::Read(void *Buffer, std::int64_t Count)
{
    if (Count <= 0)
        return 0;
    for (;;) {
        const ssize_t N = ::read(FHandle, Buffer, static_cast<std::size_t>(Count));
        if (N >= 0)
            return N;
        if (errno != EINTR)
            RaiseErrno(errno);
    }
}

std::int64_t THandleStream::Write(const void *Buffer, std::int64_t Count)
{
    if (Count <= 0)
        return 0;
    for (;;) {
        const ssize_t N = ::write(FHandle, Buffer, static_cast<std::size_t>(Count));
        if (N >= 0)
            return N;
        if (errno != EINTR)
            RaiseErrno(errno);
    }
}

std::int64_t THandleStream::Seek(std::int64_t Offset, TSeekOrigin Origin)
{
    const int Whence = Origin == soBeginning ? SEEK_SET : Origin == soCurrent ? SEEK_CUR : SEEK_END;
    const off_t R = ::lseek(FHandle, static_cast<off_t>(Offset), Whence);
    if (R < 0)
        RaiseErrno(errno);
    return R;
}

void THandleStream::SetSize(std::int64_t NewSize)
{
    if (::ftruncate(FHandle, static_cast<off_t>(NewSize)) != 0)
        RaiseErrno(errno);
    if (Position() > NewSize)
        Seek(NewSize, soBeginning);
}

TAuFileStream::TAuFileStream(const std::u16string &FileName, std::uint16_t Mode, std::uint32_t)
    : THandleStream(-1)
{
    const std::string Name = Utf16ToUtf8(FileName);
    int Flags = O_CLOEXEC;
    int Lock = 0; // flock operation, 0 = none
    bool Truncate = false;
    if (Mode == fmCreate) {
        Flags |= O_RDWR | O_CREAT;
        Truncate = true;
        Lock = LOCK_EX;
    } else if (Mode == fmCreateNew) {
        Flags |= O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW;
        Lock = LOCK_EX;
    } else {
        switch (Mode & 3) {
        case 0: Flags |= O_RDONLY; break;
        case 1: Flags |= O_WRONLY; break;
        default: Flags |= O_RDWR; break;
        }
        switch ((Mode >> 4) & 0xF) {
        case 0:
        case 1: Lock = LOCK_EX; break;
        case 2: Lock = LOCK_SH; break;
        default: Lock = 0; break;
        }
    }
    const int Fd = ::open(Name.c_str(), Flags, 0666);
    if (Fd < 0)
        RaiseErrno(errno);
    // Lock before truncating, so a create that conflicts with another user leaves the file
    // untouched, as a refused open would.
    if (Lock != 0 && ::flock(Fd, Lock | LOCK_NB) != 0) {
        const int Err = errno;
        ::close(Fd);
        RaiseErrno(Err == EWOULDBLOCK ? EBUSY : Err);
    }
    if (Truncate && ::ftruncate(Fd, 0) != 0) {
        const int Err = errno;
        ::close(Fd);
        RaiseErrno(Err);
    }
    FHandle = Fd;
}

TAuFileStream::~TAuFileStream()
{
    if (FHandle >= 0)
        ::close(FHandle);
}
