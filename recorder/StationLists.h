// Station lists in and out of "stations.ini": reading M3U and PLS files, writing a genre as an
// M3U file, and adding stations to a genre so that the station file's reader reads every one
// back exactly as it was written. Plain functions; GUI thread or any one thread.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <vector>

struct StationEntry {
    QString Name;
    QString Url;
};

// Largest station list file read; a bigger one is refused whole.
constexpr qint64 StationListSizeLimit = 1024 * 1024;

// The stations of an M3U/M3U8 file (an "#EXTINF:" line names the entry after it) or a PLS file
// ("FileN=" with "TitleN="), in file order, from UTF-8 or, when that is invalid, Latin-1 text.
// Names are cleaned (cleanStationText); an entry without a name is named after its address's
// host. Entries are taken as they stand, unchecked (see stationEntryUsable). False, with
// *error set for the user, when data is neither kind of list or is larger than
// StationListSizeLimit.
bool readStationList(const QByteArray &data, std::vector<StationEntry> &entries, QString *error);

// An M3U file ("#EXTM3U", then "#EXTINF:-1,<name>" and the address for each entry), UTF-8,
// LF line ends. Entries whose name or address holds a line break are left out.
QByteArray writeM3u(const std::vector<StationEntry> &entries);

// True when the entry's address may go into the station file: an http(s) address that passes
// the station editor's address check.
bool stationEntryUsable(const StationEntry &entry);

// The key a station of that name gets in "stations.ini": the cleaned name with "=" made "-",
// leading "[" and ";" removed; the address's host when nothing is left.
QString stationKeyName(const QString &name, const QString &url);

// Empty when genre can be a section of the station file; otherwise why not, for the user.
QString genreNameProblem(const QString &genre);

struct TStationsAdded {
    int Added = 0;         // new keys written
    int AlreadyThere = 0;  // a station of that name and address was in the genre already
    int Refused = 0;       // addresses that failed stationEntryUsable
    QStringList Names;     // the keys written, in order
    QString Error;         // non-empty: nothing was written, and why
};

// Adds the usable entries to the genre (a new section when it does not exist) in one
// replacement of the file. A name already used in the genre (letter case aside) for another
// address gets " (2)", " (3)", ... so no station is overwritten. Afterwards the file is read
// anew and every written key must read back its address; otherwise Error says so.
TStationsAdded addStationsToGenre(const QString &fileName, const QString &genre,
                                  const std::vector<StationEntry> &entries);

// The stations of a genre of the station file, in file order.
std::vector<StationEntry> genreStations(const QString &fileName, const QString &genre);
