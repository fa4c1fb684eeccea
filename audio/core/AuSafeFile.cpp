// Hidden part files and putting them in place of their target.
#include "AuSafeFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string Base36(std::uint64_t Value)
{
    static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string out;
    do {
        out.insert(out.begin(), digits[Value % 36]);
        Value /= 36;
    } while (Value != 0);
    return out;
}

std::string FolderOf(const std::string &File)
{
    const std::size_t slash = File.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : File.substr(0, slash);
}

std::string Reason(const std::string &What, int Err)
{
    return What + ": " + std::strerror(Err);
}

} // namespace

bool ReplaceableTarget(const std::string &Target, std::string &Error)
{
    struct stat st {};
    if (::lstat(Target.c_str(), &st) != 0 || S_ISREG(st.st_mode) || S_ISLNK(st.st_mode))
        return true;
    Error = "Cannot write \"" + Target + "\": it is not a regular file";
    return false;
}

std::string HiddenPartName(const std::string &Target, std::uint64_t Tag)
{
    const std::size_t slash = Target.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : Target.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? Target : Target.substr(slash + 1);
    return folder + "." + name + "." + Base36(Tag) + ".part";
}

bool ReplaceByPart(const std::string &Part, const std::string &Target, std::string &Error)
{
    if (!ReplaceableTarget(Target, Error))
        return false;
    const int fd = ::open(Part.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        Error = Reason("Cannot write \"" + Target + "\"", errno);
        return false;
    }
    // A replaced file keeps who may read it (a private recording stays private).
    struct stat target {};
    if (::stat(Target.c_str(), &target) == 0 && S_ISREG(target.st_mode))
        ::fchmod(fd, target.st_mode & 07777);
    // The contents reach the disk before the name does, so a crash cannot leave an empty file
    // where the old one was.
    if (::fsync(fd) != 0) {
        Error = Reason("Cannot write \"" + Target + "\"", errno);
        ::close(fd);
        return false;
    }
    ::close(fd);
    if (std::rename(Part.c_str(), Target.c_str()) != 0) {
        Error = Reason("Cannot write \"" + Target + "\"", errno);
        return false;
    }
    // Make the rename itself durable; failing to sync a folder loses nothing already written.
    const int dfd = ::open(FolderOf(Target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}
