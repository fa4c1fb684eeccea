// Byte streams that file inputs read and file outputs write: an abstract TStream, a memory
// stream, a stream over an open file descriptor and the library's file stream on a wide name.
//
// A stream object is used by one thread at a time (the owner serialises access: a file input
// under its OpenCS and DataCS, an output on its worker). Nothing here is thread-safe by itself.
#pragma once

#include "AuException.h"

#include <cstdint>
#include <string>
#include <vector>

enum TSeekOrigin { soBeginning, soCurrent, soEnd };

// Open modes of TAuFileStream. Bits 0-1 choose the access, bits 4-7 the sharing; fmCreate
// alone creates or truncates the file for reading and writing without sharing.
constexpr std::uint16_t fmCreate = 0xFF00;
// A new file for reading and writing that must not exist yet; a name taken by anything, a
// link included, fails with EEXIST.
constexpr std::uint16_t fmCreateNew = 0xFE00;
constexpr std::uint16_t fmOpenRead = 0x0000;
constexpr std::uint16_t fmOpenWrite = 0x0001;
constexpr std::uint16_t fmOpenReadWrite = 0x0002;
constexpr std::uint16_t fmShareCompat = 0x0000;
constexpr std::uint16_t fmShareExclusive = 0x0010;
constexpr std::uint16_t fmShareDenyWrite = 0x0020;
constexpr std::uint16_t fmShareDenyRead = 0x0030;
constexpr std::uint16_t fmShareDenyNone = 0x0040;

class TStream {
public:
    virtual ~TStream();

    // Copies up to Count bytes into Buffer (owned by the caller) and returns how many were
    // copied; 0 means the end of the stream (or Count <= 0). Raises EAuException on an I/O error.
    virtual std::int64_t Read(void *Buffer, std::int64_t Count) = 0;
    // Writes up to Count bytes from Buffer and returns how many were written (all of them
    // unless the device is full). Raises EAuException on an I/O error or a read-only stream.
    virtual std::int64_t Write(const void *Buffer, std::int64_t Count) = 0;
    // Moves the position and returns the new one. Positions beyond the end are allowed (a
    // write there extends the stream); a negative result position raises EAuException.
    virtual std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin) = 0;
    // Length in bytes. The default seeks to the end and back.
    virtual std::int64_t Size();
    // Truncates or extends the stream.
    virtual void SetSize(std::int64_t NewSize) = 0;

    std::int64_t Position() { return Seek(0, soCurrent); }
    void SetPosition(std::int64_t Pos) { Seek(Pos, soBeginning); }
    // Read/Write that raise EAuException unless exactly Count bytes moved.
    void ReadBuffer(void *Buffer, std::int64_t Count);
    void WriteBuffer(const void *Buffer, std::int64_t Count);
};

// A stream over a growable byte vector it owns.
class TMemoryStream : public TStream {
public:
    TMemoryStream() = default;
    explicit TMemoryStream(std::vector<std::uint8_t> Data) : FData(std::move(Data)) {}

    std::int64_t Read(void *Buffer, std::int64_t Count) override;
    std::int64_t Write(const void *Buffer, std::int64_t Count) override;
    std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin) override;
    std::int64_t Size() override { return static_cast<std::int64_t>(FData.size()); }
    void SetSize(std::int64_t NewSize) override;

    // The bytes; valid until the next write or SetSize.
    const std::vector<std::uint8_t> &Data() const { return FData; }
    void Clear();

private:
    std::vector<std::uint8_t> FData;
    std::int64_t FPos = 0;
};

// A stream over a file descriptor. It does not own the descriptor (TAuFileStream does).
class THandleStream : public TStream {
public:
    explicit THandleStream(int AHandle) : FHandle(AHandle) {}

    std::int64_t Read(void *Buffer, std::int64_t Count) override;
    std::int64_t Write(const void *Buffer, std::int64_t Count) override;
    std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin) override;
    void SetSize(std::int64_t NewSize) override;

    int Handle() const { return FHandle; }

protected:
    int FHandle = -1;
};

// A file opened by a UTF-16 name; owns the descriptor and closes it when destroyed.
//
// Mode fmCreate: create or truncate, read and write, no sharing; fmCreateNew: the same on a
// name that must be free (never following a link), with mode 0666 less the umask. Any other mode opens an
// existing file: access by bits 0-1 (0 read, 1 write, 2 read and write), sharing by bits 4-7
// (0 and 1 no sharing, 2 others may read, 3 others may write, 4 others may do both). Rights is
// accepted and ignored.
//
// Linux has no mandatory sharing modes; they are kept between users of this class (in this or
// another process) with advisory whole-file locks: "no sharing" takes an exclusive lock,
// "others may read" a shared lock, the other two no lock. A conflicting open fails.
// A failed open raises EAuException with the system's text for the error (strerror).
class TAuFileStream : public THandleStream {
public:
    TAuFileStream(const std::u16string &FileName, std::uint16_t Mode, std::uint32_t Rights = 0);
    ~TAuFileStream() override;
    TAuFileStream(const TAuFileStream &) = delete;
    TAuFileStream &operator=(const TAuFileStream &) = delete;
};
