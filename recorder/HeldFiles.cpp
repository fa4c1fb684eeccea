// Holding files being recorded, and copying one back out after its name was removed.
#include "HeldFiles.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString systemText(int Err)
{
    return QString::fromLocal8Bit(std::strerror(Err));
}

} // namespace

HeldFiles::~HeldFiles()
{
    clear();
}

void HeldFiles::hold(const QString &Name)
{
    const QByteArray name = QFile::encodeName(Name);
    struct stat st {};
    if (::stat(name.constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return;
    auto it = held_.find(Name);
    if (it != held_.end() && it->second.Dev == st.st_dev && it->second.Ino == st.st_ino)
        return;
    const int fd = ::open(name.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat opened {};
    if (::fstat(fd, &opened) != 0) {
        ::close(fd);
        return;
    }
    if (it != held_.end())
        ::close(it->second.Fd);
    held_[Name] = Held{fd, opened.st_dev, opened.st_ino};
}

bool HeldFiles::restore(const QString &Name, const QString &Copy, QString &Error)
{
    const auto it = held_.find(Name);
    if (it == held_.end())
        return false;
    struct stat st {};
    if (::stat(QFile::encodeName(Name).constData(), &st) == 0 && st.st_dev == it->second.Dev &&
        st.st_ino == it->second.Ino)
        return false; // still where it was: nothing to restore
    const int out = ::open(QFile::encodeName(Copy).constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                           0600);
    if (out < 0) {
        Error = QStringLiteral("Cannot create %1: %2").arg(Copy, systemText(errno));
        return false;
    }
    char buffer[64 * 1024];
    off_t at = 0;
    bool ok = true;
    for (;;) {
        const ssize_t n = ::pread(it->second.Fd, buffer, sizeof buffer, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            Error = QStringLiteral("Cannot read the recording: %1").arg(systemText(errno));
            ok = false;
            break;
        }
        if (n == 0)
            break;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(out, buffer + done, static_cast<std::size_t>(n - done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0) {
                Error = QStringLiteral("Cannot write %1: %2").arg(Copy, systemText(errno));
                ok = false;
                break;
            }
            done += w;
        }
        if (!ok)
            break;
        at += n;
    }
    if (ok && ::fsync(out) != 0) {
        Error = QStringLiteral("Cannot write %1: %2").arg(Copy, systemText(errno));
        ok = false;
    }
    ::close(out);
    if (!ok)
        ::unlink(QFile::encodeName(Copy).constData());
    return ok;
}

void HeldFiles::clear()
{
    for (const auto &[name, held] : held_)
        ::close(held.Fd);
    held_.clear();
}
