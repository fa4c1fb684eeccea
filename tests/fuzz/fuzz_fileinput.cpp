// The WMA and MP3 file inputs reading arbitrary bytes from a memory stream: open, read
// everything, seek into the middle, read again, close. Any failure must be an EAuException or
// a clean end of data, never a crash, a hang or a read out of bounds; a run never delivers more
// than the input says it holds, and a second run reads the same. A file is local: opening a
// network socket (a playlist or manifest in the data naming an address) aborts the run.
#include "AuException.h"
#include "AuMedia.h"
#include "AuMp3In.h"
#include "AuStreams.h"

#include <dlfcn.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

// These replace the C library's for the whole process (the harness exports them, so FFmpeg's
// calls land here): an Internet socket or connection is a failure, anything else goes through.
extern "C" int socket(int Domain, int Type, int Protocol)
{
    if (Domain == AF_INET || Domain == AF_INET6) {
        std::fprintf(stderr, "fuzz_fileinput: the file input opened a network socket\n");
        std::abort();
    }
    using TSocket = int (*)(int, int, int);
    static const auto real = reinterpret_cast<TSocket>(dlsym(RTLD_NEXT, "socket"));
    return real(Domain, Type, Protocol);
}

extern "C" int connect(int Fd, const struct sockaddr *Address, socklen_t Length)
{
    if (Address && (Address->sa_family == AF_INET || Address->sa_family == AF_INET6)) {
        std::fprintf(stderr, "fuzz_fileinput: the file input connected to a network address\n");
        std::abort();
    }
    using TConnect = int (*)(int, const struct sockaddr *, socklen_t);
    static const auto real = reinterpret_cast<TConnect>(dlsym(RTLD_NEXT, "connect"));
    return real(Fd, Address, Length);
}

namespace {

// Pulls at most Limit bytes; the sum of the block sizes.
std::uint64_t Pull(TAuInput &In, std::uint64_t Limit)
{
    std::uint64_t total = 0;
    while (total < Limit) {
        void *buf = nullptr;
        std::uint32_t n = 8192;
        In.GetData(buf, n);
        if (n == 0)
            break;
        total += n;
    }
    return total;
}

void Exercise(TWMIn &In)
{
    try {
        if (!In.Valid())
            return;
        // Bound the work per input: a hostile header may claim hours of audio.
        const std::uint64_t limit = 4u << 20;
        In.Init();
        const std::uint64_t first = Pull(In, limit);
        In.Flush();
        In.Init();
        const std::uint64_t again = Pull(In, limit);
        if (In.TotalSamples() > 1)
            In.Seek(In.TotalSamples() / 2);
        (void)Pull(In, limit);
        In.Flush();
        if (first != again)
            std::abort(); // two runs over the same bytes must deliver the same amount
    } catch (const EAuException &) {
        // A clear error is the expected outcome for most inputs.
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *Data, size_t Size)
{
    if (Size < 1)
        return 0;
    TMemoryStream memory(std::vector<std::uint8_t>(Data + 1, Data + Size));
    if (Data[0] & 1) {
        TMP3In in;
        in.SetStream(&memory);
        Exercise(in);
        in.SetStream(nullptr);
    } else {
        TWMIn in;
        in.SetStream(&memory);
        Exercise(in);
        in.SetStream(nullptr);
    }
    return 0;
}
