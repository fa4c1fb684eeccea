// Station lists in and out: M3U and PLS reading, M3U writing, and adding stations to a genre of
// the station file so that its reader reads each one back as written.
#include "RecorderTestSupport.h"

#include "IniFile.h"
#include "StationLists.h"

namespace {

QString writeFile(const testsupport::TempDir &dir, const char *name, const QByteArray &bytes)
{
    const QString file = QString::fromStdString((dir.path() / name).string());
    QFile f(file);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
    return file;
}

TEST(StationListFiles, M3uAndPlsFilesGiveTheirStationsInOrder)
{
    std::vector<StationEntry> e;
    QString error;
    ASSERT_TRUE(readStationList("\xef\xbb\xbf#EXTM3U\r\n#EXTINF:-1,Jazz \xc3\xa0 la carte\r\nhttp://jazz.example:8000/live\r\n"
                                "# a comment\r\n\r\nhttps://nameless.example/stream.aac\r\n",
                                e, &error))
        << error.toStdString();
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0].Name, QStringLiteral("Jazz \u00e0 la carte"));
    EXPECT_EQ(e[0].Url, QStringLiteral("http://jazz.example:8000/live"));
    EXPECT_EQ(e[1].Name, QStringLiteral("nameless.example")); // named after its host
    EXPECT_EQ(e[1].Url, QStringLiteral("https://nameless.example/stream.aac"));

    // PLS, with its entries numbered out of order and a Latin-1 title.
    ASSERT_TRUE(readStationList("[playlist]\nNumberOfEntries=2\nFile2=http://two.example/\nTitle2=Caf\xe9 Two\n"
                                "File1=http://one.example/\nTitle1=One\nLength1=-1\nVersion=2\n",
                                e, &error));
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0].Name, QStringLiteral("One"));
    EXPECT_EQ(e[1].Name, QStringLiteral("Caf\u00e9 Two"));
    EXPECT_EQ(e[1].Url, QStringLiteral("http://two.example/"));

    // Neither kind: a page, a picture, a text with blanks in its "addresses".
    for (const QByteArray &bad : {QByteArray("<html><body>Hello</body></html>"), QByteArray("\x89PNG\r\n\x1a\n\0\0", 10),
                                  QByteArray("just some words\nand more words\n")}) {
        EXPECT_FALSE(readStationList(bad, e, &error)) << bad.constData();
        EXPECT_EQ(error, QStringLiteral("The file is neither an M3U nor a PLS station list."));
    }
    EXPECT_FALSE(readStationList(QByteArray(StationListSizeLimit + 1, '#'), e, &error));
    EXPECT_TRUE(error.contains(QStringLiteral("too large")));
}

TEST(StationListFiles, AnExportedListReadsBackAsTheSameStations)
{
    const std::vector<StationEntry> in = {{QStringLiteral("Radio, with a comma"), QStringLiteral("http://a.example/x?y=1")},
                                          {QStringLiteral("\u97f3\u697d FM"), QStringLiteral("https://b.example/")},
                                          {QStringLiteral("Broken\nname"), QStringLiteral("http://c.example/")}};
    const QByteArray m3u = writeM3u(in);
    EXPECT_TRUE(m3u.startsWith("#EXTM3U\n#EXTINF:-1,Radio, with a comma\nhttp://a.example/x?y=1\n"));
    std::vector<StationEntry> out;
    QString error;
    ASSERT_TRUE(readStationList(m3u, out, &error));
    ASSERT_EQ(out.size(), 2u); // the name with a line break cannot be written and is left out
    EXPECT_EQ(out[0].Name, in[0].Name);
    EXPECT_EQ(out[0].Url, in[0].Url);
    EXPECT_EQ(out[1].Name, in[1].Name);
    EXPECT_EQ(out[1].Url, in[1].Url);
}

TEST(StationListFiles, HostileNamesAndAddressesNeverLeaveAnUnreadableStationFile)
{
    testsupport::TempDir dir;
    const QString file = writeFile(dir, "stations.ini", "[Jazz]\nSmooth=http://smooth.example/\n");
    const std::vector<StationEntry> entries = {
        {QStringLiteral("Bell\u0007 and\ttab\r\nnext line"), QStringLiteral("http://bell.example/")},
        {QStringLiteral("a=b"), QStringLiteral("http://eq.example/")},
        {QStringLiteral("[Fake section]"), QStringLiteral("http://fake.example/")},
        {QStringLiteral(";comment"), QStringLiteral("http://semi.example/")},
        {QString(5000, u'N'), QStringLiteral("http://long.example/")},
        {QStringLiteral("\u202eevil\u202c"), QStringLiteral("http://bidi.example/")},
        {QStringLiteral("   "), QStringLiteral("http://blank.example/")},
        {QStringLiteral("\"quoted\""), QStringLiteral("http://quote.example/'x'")},
        {QStringLiteral("Smooth"), QStringLiteral("http://other-smooth.example/")}, // the name is taken
        {QStringLiteral("SMOOTH"), QStringLiteral("http://smooth.example/")},       // already there
        {QStringLiteral("Local"), QStringLiteral("file:///etc/passwd")},
        {QStringLiteral("No host dot"), QStringLiteral("http://localhost/x")},
        {QStringLiteral("Control in address"), QStringLiteral("http://x.example/\u0001")},
    };
    const TStationsAdded r = addStationsToGenre(file, QStringLiteral("Jazz"), entries);
    ASSERT_TRUE(r.Error.isEmpty()) << r.Error.toStdString();
    EXPECT_EQ(r.Added, 9);
    EXPECT_EQ(r.AlreadyThere, 1);
    EXPECT_EQ(r.Refused, 3);

    const IniFile ini(file);
    EXPECT_EQ(ini.sections(), QStringList{QStringLiteral("Jazz")});
    const QStringList keys = ini.keys(QStringLiteral("Jazz"));
    ASSERT_EQ(keys.size(), 10);
    EXPECT_EQ(keys.mid(1), r.Names);
    EXPECT_EQ(ini.readString(QStringLiteral("Jazz"), QStringLiteral("Smooth"), QString()), QStringLiteral("http://smooth.example/"));
    EXPECT_EQ(ini.readString(QStringLiteral("Jazz"), QStringLiteral("Smooth (2)"), QString()),
              QStringLiteral("http://other-smooth.example/"));
    EXPECT_TRUE(keys.contains(QStringLiteral("Bell and tab next line")));
    EXPECT_TRUE(keys.contains(QStringLiteral("a-b")));
    EXPECT_TRUE(keys.contains(QStringLiteral("Fake section]")));
    EXPECT_TRUE(keys.contains(QStringLiteral("comment")));
    EXPECT_TRUE(keys.contains(QStringLiteral("evil")));
    EXPECT_TRUE(keys.contains(QStringLiteral("blank.example")));
    for (const QString &k : keys) {
        EXPECT_LE(k.size(), StationNameLimit) << k.toStdString();
        for (QChar c : k)
            EXPECT_GE(c.unicode(), 0x20) << k.toStdString();
    }
    // Every station reads back its own address, the quoted name and the quote-ended address too.
    for (const StationEntry &e : entries) {
        if (!stationEntryUsable(e))
            continue;
        bool found = false;
        for (const QString &k : keys)
            found = found || ini.readString(QStringLiteral("Jazz"), k, QString()) == e.Url;
        EXPECT_TRUE(found) << e.Url.toStdString();
    }
    EXPECT_EQ(ini.readString(QStringLiteral("Jazz"), QStringLiteral("\"quoted\""), QString()),
              QStringLiteral("http://quote.example/'x'"));

    // A genre the file cannot hold is refused before anything is written.
    const QByteArray before = [&] {
        QFile f(file);
        f.open(QIODevice::ReadOnly);
        return f.readAll();
    }();
    for (const QString &g : {QString(), QStringLiteral("Bad]genre"), QStringLiteral("Two\nlines"), QStringLiteral("[x")}) {
        const TStationsAdded bad = addStationsToGenre(file, g, entries);
        EXPECT_FALSE(bad.Error.isEmpty()) << g.toStdString();
        EXPECT_EQ(bad.Added, 0);
    }
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), before);

    // A new genre becomes a section of its own, and exporting it gives the stations back.
    ASSERT_TRUE(addStationsToGenre(file, QStringLiteral("Imported"), {entries[1]}).Error.isEmpty());
    const std::vector<StationEntry> exported = genreStations(file, QStringLiteral("imported"));
    ASSERT_EQ(exported.size(), 1u);
    EXPECT_EQ(exported[0].Name, QStringLiteral("a-b"));
    EXPECT_EQ(exported[0].Url, QStringLiteral("http://eq.example/"));
}

} // namespace
