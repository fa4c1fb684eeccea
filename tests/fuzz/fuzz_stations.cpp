// A hostile station list and a hostile new station: the list is read as the genre and station
// boxes read it, the station is added as the Add Station page adds it, and the list is read
// again. An accepted station must read back exactly by its genre and name, and every other
// station must keep its address; a refused one must leave the file as it was.
//
// Input: genre NUL name NUL address NUL file contents (missing parts are empty).
#include "IniFile.h"
#include "StreamUrl.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

QString TempFile()
{
    // tmpfs when there is one: the writer syncs every replacement, which a disk makes slow.
    static QTemporaryDir dir(QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm/fonolux-fuzz-XXXXXX")
                                                                     : QDir::tempPath() + QStringLiteral("/fonolux-fuzz-XXXXXX"));
    return dir.filePath(QStringLiteral("stations.ini"));
}

QByteArray ReadAll(const QString &name)
{
    QFile f(name);
    if (!f.open(QIODevice::ReadOnly))
        std::abort();
    return f.readAll();
}

struct Station {
    QString genre, name, url;
};

// Every station the boxes would offer, with the address StationUrl gives for it.
std::vector<Station> List(const IniFile &ini)
{
    std::vector<Station> out;
    for (const QString &g : ini.sections())
        for (const QString &n : ini.keys(g))
            out.push_back({g, n, ini.readString(g, n, QString())});
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *Data, size_t Size)
{
    const QByteArray all(reinterpret_cast<const char *>(Data), static_cast<qsizetype>(Size));
    QList<QByteArray> parts = all.split('\0');
    while (parts.size() < 4)
        parts.append(QByteArray());
    const QString genre = QString::fromUtf8(parts[0]);
    const QString name = QString::fromUtf8(parts[1]);
    const QString url = QString::fromUtf8(parts[2]);
    const QByteArray contents = parts.mid(3).join('\0');

    const QString file = TempFile();
    {
        QFile f(file);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            std::abort();
        f.write(contents);
    }
    const std::vector<Station> before = List(IniFile(file));
    for (const Station &s : before)
        if (IsStreamUrl(s.url) && !s.url.contains(QLatin1String("://")))
            std::abort(); // the editor's check took a text without a scheme for an address

    IniFile ini(file);
    const bool added = ini.writeString(genre, name, url);
    if (!added) {
        if (ReadAll(file) != contents)
            std::abort(); // a refused station changed the list
        return 0;
    }
    const IniFile again(file);
    if (again.readString(genre, name, QStringLiteral("\x01missing")) != url)
        std::abort(); // the station added is not the station read back
    const std::vector<Station> after = List(again);
    // The stations before keep their order and addresses; the one written may have replaced
    // one of them, and a new one may follow in its genre.
    size_t j = 0;
    for (const Station &s : before) {
        while (j < after.size() && !(after[j].genre.compare(s.genre, Qt::CaseInsensitive) == 0 &&
                                     after[j].name.compare(s.name, Qt::CaseInsensitive) == 0))
            ++j;
        if (j == after.size())
            std::abort(); // a station was lost
        const bool same = s.genre.compare(genre.trimmed(), Qt::CaseInsensitive) == 0 &&
                          s.name.compare(name.trimmed(), Qt::CaseInsensitive) == 0;
        if (!same && after[j].url != s.url)
            std::abort(); // another station's address changed
        ++j;
    }
    if (after.size() != before.size() && after.size() != before.size() + 1)
        std::abort();
    return 0;
}
