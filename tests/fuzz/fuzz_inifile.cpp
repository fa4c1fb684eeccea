// Hostile settings and station files: read, write every key back, read again. The same
// sections and keys must come back in the same order with the same values, and every station
// address the list yields goes through the stream-address check.
#include "IniFile.h"
#include "StreamUrl.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

namespace {

QString TempFile()
{
    // tmpfs when there is one: the writer syncs every replacement, which a disk makes slow.
    static QTemporaryDir dir(QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm/fonolux-fuzz-XXXXXX")
                                                                     : QDir::tempPath() + QStringLiteral("/fonolux-fuzz-XXXXXX"));
    return dir.filePath(QStringLiteral("fuzz.ini"));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *Data, size_t Size)
{
    const QString name = TempFile();
    {
        QFile f(name);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            std::abort();
        f.write(reinterpret_cast<const char *>(Data), static_cast<qint64>(Size));
    }
    IniFile first(name);
    const QStringList sections = first.sections();
    std::vector<QStringList> keys;
    std::vector<std::vector<QString>> values;
    for (const QString &s : sections) {
        keys.push_back(first.keys(s));
        values.emplace_back();
        for (const QString &k : keys.back()) {
            values.back().push_back(first.readString(s, k, QString()));
            (void)IsStreamUrl(values.back().back()); // as the station editor checks an address
            (void)first.readInteger(s, k, -1);
        }
    }
    // Write every value back as it was read; names the writer refuses are left as they are.
    first.setAutoFlush(false);
    for (qsizetype i = 0; i < sections.size(); ++i)
        for (qsizetype j = 0; j < keys[static_cast<size_t>(i)].size(); ++j)
            (void)first.writeString(sections[i], keys[static_cast<size_t>(i)][j],
                                    values[static_cast<size_t>(i)][static_cast<size_t>(j)]);
    if (!first.flush())
        return 0; // nothing written: nothing to compare
    const IniFile second(name);
    if (second.sections() != sections)
        std::abort();
    for (qsizetype i = 0; i < sections.size(); ++i) {
        const QString &s = sections[i];
        const QStringList &k = keys[static_cast<size_t>(i)];
        if (second.keys(s) != k)
            std::abort();
        for (qsizetype j = 0; j < k.size(); ++j)
            if (second.readString(s, k[j], QString()) != values[static_cast<size_t>(i)][static_cast<size_t>(j)])
                std::abort();
    }
    return 0;
}
