// Station lists in and out of "stations.ini": M3U and PLS reading, M3U writing, adding to a genre.
#include "StationLists.h"

#include "IniFile.h"
#include "StationDirectory.h"
#include "StreamUrl.h"

#include <QRegularExpression>
#include <QSet>
#include <QStringDecoder>
#include <QStringList>
#include <QUrl>

#include <map>

namespace {

QString decodeListText(const QByteArray &data)
{
    QByteArray bytes = data;
    if (bytes.startsWith("\xef\xbb\xbf"))
        bytes.remove(0, 3);
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    const QString text = utf8(bytes);
    if (!utf8.hasError())
        return text;
    return QString::fromLatin1(bytes);
}

QString nameFor(const QString &name, const QString &url)
{
    const QString n = cleanStationText(name, StationNameLimit);
    return n.isEmpty() ? cleanStationText(QUrl(url).host(), StationNameLimit) : n;
}

} // namespace

bool readStationList(const QByteArray &data, std::vector<StationEntry> &entries, QString *error)
{
    entries.clear();
    auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    if (data.size() > StationListSizeLimit)
        return fail(QStringLiteral("The file is larger than %1 KB, too large for a station list.")
                        .arg(StationListSizeLimit / 1024));
    QString text = decodeListText(data);
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(u'\r', u'\n');
    const QStringList lines = text.split(u'\n');

    // PLS: "FileN=" entries, named by the "TitleN=" of the same number.
    static const QRegularExpression plsLine(QStringLiteral("^\\s*(File|Title)(\\d+)\\s*=(.*)$"),
                                            QRegularExpression::CaseInsensitiveOption);
    std::map<int, StationEntry> pls;
    bool isPls = false;
    for (const QString &l : lines) {
        const auto m = plsLine.match(l);
        if (!m.hasMatch())
            continue;
        const int n = m.captured(2).left(9).toInt();
        if (m.captured(1).compare(QLatin1String("File"), Qt::CaseInsensitive) == 0) {
            pls[n].Url = m.captured(3).trimmed();
            isPls = true;
        } else {
            pls[n].Name = m.captured(3);
        }
    }
    if (isPls) {
        for (auto &[n, e] : pls)
            if (!e.Url.isEmpty())
                entries.push_back({nameFor(e.Name, e.Url), e.Url});
        return true;
    }

    // M3U: every line that is neither blank nor a comment is an entry.
    const bool header = !lines.isEmpty() && lines[0].trimmed().startsWith(QLatin1String("#EXTM3U"), Qt::CaseInsensitive);
    QString pendingName;
    bool any = false;
    for (const QString &raw : lines) {
        const QString l = raw.trimmed();
        if (l.isEmpty())
            continue;
        if (l.startsWith(QLatin1String("#EXTINF:"), Qt::CaseInsensitive)) {
            const qsizetype comma = l.indexOf(u',');
            pendingName = comma >= 0 ? l.mid(comma + 1) : QString();
            continue;
        }
        if (l.startsWith(u'#'))
            continue;
        entries.push_back({nameFor(pendingName, l), l});
        pendingName.clear();
        any = true;
    }
    // Without the header only a list whose entries all look like addresses is taken as one.
    if (any && !header) {
        for (const StationEntry &e : entries)
            if (!QUrl(e.Url).isValid() || QUrl(e.Url).scheme().isEmpty() || e.Url.contains(u' ')) {
                entries.clear();
                return fail(QStringLiteral("The file is neither an M3U nor a PLS station list."));
            }
    }
    if (!any && !header)
        return fail(QStringLiteral("The file is neither an M3U nor a PLS station list."));
    return true;
}

QByteArray writeM3u(const std::vector<StationEntry> &entries)
{
    QByteArray out = "#EXTM3U\n";
    auto hasBreak = [](const QString &s) { return s.contains(u'\n') || s.contains(u'\r'); };
    for (const StationEntry &e : entries) {
        if (hasBreak(e.Name) || hasBreak(e.Url) || e.Url.trimmed().isEmpty())
            continue;
        out += "#EXTINF:-1," + e.Name.toUtf8() + '\n' + e.Url.trimmed().toUtf8() + '\n';
    }
    return out;
}

bool stationEntryUsable(const StationEntry &entry)
{
    return usableStationUrl(entry.Url) && IsStreamUrl(entry.Url);
}

QString stationKeyName(const QString &name, const QString &url)
{
    QString key = cleanStationText(name, StationNameLimit);
    key.replace(u'=', u'-');
    while (!key.isEmpty() && (key[0] == u'[' || key[0] == u';' || key[0] == u' '))
        key.remove(0, 1);
    if (key.isEmpty()) {
        key = cleanStationText(QUrl(url).host(), StationNameLimit);
        key.replace(u'=', u'-');
    }
    if (key.isEmpty() || key[0] == u'[' || key[0] == u';')
        key = QStringLiteral("Station");
    return key;
}

QString genreNameProblem(const QString &genre)
{
    const QString g = genre.trimmed();
    if (g.isEmpty())
        return QStringLiteral("Choose or type the genre first.");
    if (g.contains(u']') || g.startsWith(u'[') || cleanStationText(g, 1000) != g || g.size() > StationNameLimit)
        return QStringLiteral("A genre name cannot hold \"[\" at its start, \"]\", control characters or more "
                              "than %1 characters.")
            .arg(StationNameLimit);
    return {};
}

TStationsAdded addStationsToGenre(const QString &fileName, const QString &genre,
                                  const std::vector<StationEntry> &entries)
{
    TStationsAdded r;
    r.Error = genreNameProblem(genre);
    if (!r.Error.isEmpty())
        return r;
    IniFile ini(fileName);
    if (!ini.readError().isEmpty()) {
        r.Error = ini.readError();
        return r;
    }
    ini.setAutoFlush(false);
    // Names in use in the genre, compared as the file compares them.
    QSet<QString> used;
    for (const QString &k : ini.keys(genre))
        used.insert(k.toLower());
    std::vector<StationEntry> written;
    for (const StationEntry &e : entries) {
        if (!stationEntryUsable(e)) {
            ++r.Refused;
            continue;
        }
        const QString base = stationKeyName(e.Name, e.Url);
        QString key = base;
        bool there = false;
        for (int n = 2; used.contains(key.toLower()); ++n) {
            if (ini.value(genre, key) == e.Url) {
                there = true;
                break;
            }
            key = base + QStringLiteral(" (%1)").arg(n);
        }
        if (there) {
            ++r.AlreadyThere;
            continue;
        }
        if (!ini.writeString(genre, key, e.Url)) {
            r.Error = ini.errorString();
            return r; // nothing was flushed: the file is unchanged
        }
        used.insert(key.toLower());
        written.push_back({key, e.Url});
    }
    if (written.empty())
        return r;
    if (!ini.flush()) {
        r.Error = QStringLiteral("The station file could not be written. ") + ini.errorString();
        return r;
    }
    // What the reader makes of the file now is what counts.
    const IniFile check(fileName);
    for (const StationEntry &w : written) {
        if (check.value(genre, w.Name) != w.Url) {
            r.Error = QStringLiteral("The station \"%1\" does not read back from the station file as written.")
                          .arg(w.Name);
            return r;
        }
    }
    r.Added = static_cast<int>(written.size());
    for (const StationEntry &w : written)
        r.Names << w.Name;
    return r;
}

std::vector<StationEntry> genreStations(const QString &fileName, const QString &genre)
{
    const IniFile ini(fileName);
    std::vector<StationEntry> out;
    for (const QString &k : ini.keys(genre))
        out.push_back({k, ini.readString(genre, k, QString())});
    return out;
}
