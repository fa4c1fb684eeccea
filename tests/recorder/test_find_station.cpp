// The Find Station page against a loopback stand-in of the station directory: searching a page
// at a time, staying responsive and cancelling by typing, keeping the last results offline,
// playing a result through the receive path (and counting it), keeping it in a genre so that
// it plays from the station boxes after a reload, and station lists in and out.
#include "ReceiveTestSupport.h"

#include "DirectoryTestServer.h"
#include "IniFile.h"
#include "StationLists.h"

#include <QPushButton>
#include <QTreeWidget>

namespace {

// The directory servers a test uses, forgotten when it ends.
struct DirectoryServers {
    explicit DirectoryServers(const QStringList &bases) { StationDirectory::setServersForTests(bases); }
    ~DirectoryServers()
    {
        StationDirectory::setServersForTests({});
        StationDirectory::setRequestTimeLimitForTests(0);
    }
};

// The control of the window with this accessible name.
template <class T>
T *control(QWidget *root, const QString &accessibleName)
{
    for (T *w : root->findChildren<T *>())
        if (w->accessibleName() == accessibleName)
            return w;
    ADD_FAILURE() << "no control named " << accessibleName.toStdString();
    return nullptr;
}

QPushButton *button(TForm1 &f, const char *name)
{
    return control<QPushButton>(f.tsFindStn, QString::fromLatin1(name));
}

QTreeWidget *results(TForm1 &f)
{
    return control<QTreeWidget>(f.tsFindStn, QStringLiteral("Stations found"));
}

QString status(TForm1 &f)
{
    return control<QLabel>(f.tsFindStn, QStringLiteral("Find Station messages"))->text();
}

std::vector<QJsonObject> numberedStations(int n)
{
    std::vector<QJsonObject> out;
    for (int i = 0; i < n; ++i)
        out.push_back(DirectoryTestServer::station(QStringLiteral("uuid-%1").arg(i), QStringLiteral("Station %1").arg(i, 2, 10, QLatin1Char('0')),
                                                   QStringLiteral("http://s%1.example/live").arg(i), 100 - i));
    return out;
}

void openFindPage(TForm1 &f)
{
    f.show();
    f.PageControl1->setCurrentWidget(f.tsFindStn);
    QApplication::processEvents();
}

TEST(FindStation, ResultsComeAPageAtATimeAndStayReadableWhenNoServerAnswers)
{
    DirectoryTestServer server(numberedStations(30));
    DirectoryServers servers({server.base()});
    FormEnv env;
    TForm1 f;
    openFindPage(f);
    QTest::keyClicks(control<QLineEdit>(f.tsFindStn, QStringLiteral("Station name to find")), QStringLiteral("Station"));
    button(f, "Search the station directory")->click();
    ASSERT_TRUE(waitUntil([&] { return results(f)->topLevelItemCount() == 25; }, 5000)) << status(f).toStdString();
    EXPECT_EQ(results(f)->topLevelItem(0)->text(0), QStringLiteral("Station 00"));
    EXPECT_EQ(results(f)->topLevelItem(0)->text(1), QStringLiteral("DE"));
    EXPECT_EQ(results(f)->topLevelItem(0)->text(2), QStringLiteral("MP3"));
    EXPECT_EQ(results(f)->topLevelItem(0)->text(3), QStringLiteral("128"));
    EXPECT_EQ(results(f)->topLevelItem(0)->text(4), QStringLiteral("pop"));
    EXPECT_EQ(control<QLabel>(f.tsFindStn, QStringLiteral("Page of stations shown"))->text(), QStringLiteral("Page 1"));
    EXPECT_FALSE(button(f, "Previous page of stations")->isEnabled());
    ASSERT_TRUE(button(f, "Next page of stations")->isEnabled());
    saveScreenshot(&f, QStringLiteral("find-station-results"));

    button(f, "Next page of stations")->click();
    ASSERT_TRUE(waitUntil([&] { return results(f)->topLevelItemCount() == 5; }, 5000));
    EXPECT_EQ(results(f)->topLevelItem(0)->text(0), QStringLiteral("Station 25"));
    EXPECT_EQ(control<QLabel>(f.tsFindStn, QStringLiteral("Page of stations shown"))->text(), QStringLiteral("Page 2"));
    EXPECT_FALSE(button(f, "Next page of stations")->isEnabled());
    EXPECT_TRUE(button(f, "Previous page of stations")->isEnabled());
    const auto searches = server.requestsTo(QStringLiteral("/json/stations/search"));
    ASSERT_EQ(searches.size(), 2u);
    EXPECT_EQ(searches[1].Query.queryItemValue(QStringLiteral("offset")), QStringLiteral("25"));
    EXPECT_EQ(searches[1].Query.queryItemValue(QStringLiteral("name")), QStringLiteral("Station"));

    // The network goes: a clear message, and the list keeps what it showed.
    StationDirectory::setServersForTests({DirectoryTestServer::deadBase()});
    button(f, "Search the station directory")->click();
    ASSERT_TRUE(waitUntil([&] { return status(f).startsWith(QStringLiteral("No station directory server answered")); }, 5000))
        << status(f).toStdString();
    EXPECT_TRUE(status(f).endsWith(QStringLiteral("The last results stay in the list.")));
    ASSERT_EQ(results(f)->topLevelItemCount(), 5);
    EXPECT_EQ(results(f)->topLevelItem(4)->text(0), QStringLiteral("Station 29"));
    EXPECT_TRUE(button(f, "Previous page of stations")->isEnabled());
    saveScreenshot(&f, QStringLiteral("find-station-offline"));
}

TEST(FindStation, TheWindowStaysResponsiveAndTypingOnCancelsTheSearch)
{
    DirectoryTestServer slow(numberedStations(3), DirectoryTestServer::Mode::Slow);
    DirectoryServers servers({slow.base()});
    FormEnv env;
    TForm1 f;
    openFindPage(f);
    const qint64 longest = longestStall([&] {
        button(f, "Search the station directory")->click();
        EXPECT_EQ(status(f), QStringLiteral("Searching..."));
        EXPECT_TRUE(waitUntil([&] { return !slow.requests().empty(); }, 5000));
        QTest::qWait(700);
    });
    EXPECT_LT(longest, 250) << "the window thread waited on the network";
    ASSERT_TRUE(f.directory->searching());

    QTest::keyClicks(control<QLineEdit>(f.tsFindStn, QStringLiteral("Tag to find")), QStringLiteral("j"));
    EXPECT_FALSE(f.directory->searching());
    EXPECT_TRUE(status(f).startsWith(QStringLiteral("Search cancelled."))) << status(f).toStdString();
    QTest::qWait(500);
    EXPECT_EQ(results(f)->topLevelItemCount(), 0);
    EXPECT_TRUE(status(f).startsWith(QStringLiteral("Search cancelled.")));

    // A country that is no two-letter code is explained, and nothing is asked.
    QTest::keyClicks(control<QLineEdit>(f.tsFindStn, QStringLiteral("Country code to find")), QStringLiteral("1"));
    button(f, "Search the station directory")->click();
    EXPECT_TRUE(status(f).startsWith(QStringLiteral("A country is given by its two-letter code")));
    EXPECT_EQ(slow.requests().size(), 1u);
}

TEST(FindStation, APlayedResultIsCountedAndPlaysAndOnceKeptPlaysFromTheStationBoxesAfterAReload)
{
    Station station;
    REQUIRE_STATION(station);
    DirectoryTestServer server({DirectoryTestServer::station(QStringLiteral("9617a958-0601-11e8-ae97-52543be04c81"),
                                                             QStringLiteral("Loopback\u0007 Tones\u202e"), station.url(), 5),
                                DirectoryTestServer::station(QStringLiteral("broken-1"), QStringLiteral("Broken One"),
                                                             QStringLiteral("http://broken.example/"), 9, 128,
                                                             QStringLiteral("MP3"), QStringLiteral("DE"),
                                                             QStringLiteral("pop"), false)});
    DirectoryServers servers({server.base()});
    ReceiveEnv e;
    TForm1 &f = *e.form;
    openFindPage(f);
    button(f, "Search the station directory")->click();
    ASSERT_TRUE(waitUntil([&] { return results(f)->topLevelItemCount() == 1; }, 5000)) << status(f).toStdString();
    EXPECT_EQ(results(f)->topLevelItem(0)->text(0), QStringLiteral("Loopback Tones")) << "broken ones stay hidden";

    // Broken stations when asked for, marked as such.
    control<QCheckBox>(f.tsFindStn, QStringLiteral("Show broken stations"))->click();
    button(f, "Search the station directory")->click();
    ASSERT_TRUE(waitUntil([&] { return results(f)->topLevelItemCount() == 2; }, 5000));
    EXPECT_EQ(results(f)->topLevelItem(0)->text(0), QStringLiteral("Broken One (broken)"));
    EXPECT_EQ(server.requests().back().Query.queryItemValue(QStringLiteral("hidebroken")), QStringLiteral("false"));

    results(f)->setCurrentItem(results(f)->topLevelItem(1));
    ASSERT_TRUE(button(f, "Play the chosen station")->isEnabled());
    button(f, "Play the chosen station")->click();
    ASSERT_TRUE(waitUntil([&] { return f.RecState != rsIdle; }, 20000)) << f.Label14->text().toStdString();
    EXPECT_EQ(f.PageControl1->currentWidget(), f.TabSheet1);
    EXPECT_EQ(f.ComboBox1->currentText(), station.url());
    EXPECT_EQ(f.currentStreamUrl(), station.url());
    ASSERT_TRUE(waitUntil([&] { return !server.requestsTo(QStringLiteral("/json/url/")).empty(); }, 5000));
    EXPECT_EQ(server.requestsTo(QStringLiteral("/json/url/")).front().Path,
              QStringLiteral("/json/url/9617a958-0601-11e8-ae97-52543be04c81"));
    ASSERT_TRUE(e.levelReports(2));

    // Kept while it plays: the station boxes keep what plays, the genre is there at once.
    f.PageControl1->setCurrentWidget(f.tsFindStn);
    QComboBox *genre = control<QComboBox>(f.tsFindStn, QStringLiteral("Genre to keep stations in"));
    genre->setEditText(QStringLiteral("From the directory"));
    button(f, "Add the chosen station to the genre")->click();
    EXPECT_EQ(status(f), QStringLiteral("Added \"Loopback Tones\" to the genre \"From the directory\"."));
    EXPECT_EQ(f.ComboBox1->currentText(), station.url());
    EXPECT_NE(f.cbgnr->findText(QStringLiteral("From the directory")), -1);
    // Once more: it is there already, and the file holds it once.
    button(f, "Add the chosen station to the genre")->click();
    EXPECT_EQ(status(f), QStringLiteral("\"Loopback Tones\" is in the genre \"From the directory\" already."));
    EXPECT_EQ(IniFile(f.stationsFileName()).keys(QStringLiteral("From the directory")),
              QStringList{QStringLiteral("Loopback Tones")});
    f.BitBtn1Click();
    ASSERT_EQ(f.RecState, rsIdle);

    // After a reload the station is one of the list's and plays from the boxes.
    f.Reload1Click();
    const int g = f.cbgnr->findText(QStringLiteral("From the directory"));
    ASSERT_NE(g, -1);
    f.cbgnr->setCurrentIndex(g);
    f.cbgnrChange();
    ASSERT_EQ(f.ComboBox1->currentText(), QStringLiteral("Loopback Tones"));
    EXPECT_EQ(f.StationUrl(QStringLiteral("From the directory"), QStringLiteral("Loopback Tones")), station.url());
    ASSERT_TRUE(e.receive());
    ASSERT_TRUE(e.levelReports(2));
    EXPECT_EQ(f.currentStreamUrl(), station.url());
    EXPECT_TRUE(f.marqueeText().startsWith(QStringLiteral("From the directory: ")));
}

TEST(FindStation, AGenreIsImportedFromAndExportedToStationListFiles)
{
    FormEnv env;
    env.writeData(QStringLiteral("stations.ini"), "[Jazz]\nSmooth=http://smooth.example/live\n");
    TForm1 f;
    openFindPage(f);
    QComboBox *genre = control<QComboBox>(f.tsFindStn, QStringLiteral("Genre to keep stations in"));
    EXPECT_EQ(genre->currentText(), QStringLiteral("Jazz"));

    const QString list = env.home() + QStringLiteral("/list.pls");
    {
        QFile out(list);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write("[playlist]\nFile1=http://one.example/a\nTitle1=One=1\nFile2=file:///etc/passwd\nTitle2=Local\n"
                  "File3=https://three.example:8443/b\nTitle3=[Three]\nNumberOfEntries=3\n");
    }
    f.importDialogHook = [&] { return list; };
    genre->setEditText(QStringLiteral("Imported"));
    button(f, "Import a station list into the genre")->click();
    EXPECT_EQ(status(f), QStringLiteral("Imported 2 stations into \"Imported\". 1 entries were left out: their "
                                        "addresses are no stream addresses."));
    EXPECT_NE(f.cbgnr->findText(QStringLiteral("Imported")), -1);
    const IniFile ini(f.stationsFileName());
    EXPECT_EQ(ini.keys(QStringLiteral("Imported")), (QStringList{QStringLiteral("One-1"), QStringLiteral("Three]")}));
    EXPECT_EQ(ini.readString(QStringLiteral("Imported"), QStringLiteral("Three]"), QString()),
              QStringLiteral("https://three.example:8443/b"));

    // A file that is no station list: a message, and the station file stays as it was.
    const QByteArray before = env.readData(QStringLiteral("stations.ini"));
    const QString page = env.home() + QStringLiteral("/page.html");
    {
        QFile out(page);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write("<html><body>no stations here</body></html>");
    }
    f.importDialogHook = [&] { return page; };
    button(f, "Import a station list into the genre")->click();
    EXPECT_EQ(status(f), QStringLiteral("Nothing was imported from \"page.html\". The file is neither an M3U nor a PLS station list."));
    EXPECT_EQ(env.readData(QStringLiteral("stations.ini")), before);

    const QString exported = env.home() + QStringLiteral("/imported.m3u");
    f.exportDialogHook = [&] { return exported; };
    button(f, "Export the genre as a station list")->click();
    EXPECT_TRUE(status(f).startsWith(QStringLiteral("Exported 2 stations of \"Imported\""))) << status(f).toStdString();
    QFile in(exported);
    ASSERT_TRUE(in.open(QIODevice::ReadOnly));
    EXPECT_EQ(in.readAll(), QByteArray("#EXTM3U\n#EXTINF:-1,One-1\nhttp://one.example/a\n"
                                       "#EXTINF:-1,Three]\nhttps://three.example:8443/b\n"));

    genre->setEditText(QStringLiteral("Nothing here"));
    button(f, "Export the genre as a station list")->click();
    EXPECT_EQ(status(f), QStringLiteral("The genre \"Nothing here\" holds no stations to export."));
}

} // namespace
