// The playlist resolver: each playlist format, unsafe entries, and fetching over real loopback HTTP.
#include "findurl.h"

#include "ScriptedServer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QString>

#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

using testsupport::ScriptedServer;

namespace {

const QString Base = QStringLiteral("http://radio.example:8000/lists/station.pls");

QString url(const QString &text, const QString &address = Base)
{
    const TPlaylistResult r = PlaylistStreamUrl(text, address);
    EXPECT_TRUE(r.Refusal.isEmpty()) << r.Refusal.toStdString();
    return r.Url;
}

QCoreApplication &app()
{
    static int argc = 1;
    static char name[] = "findurl-test";
    static char *argv[] = {name, nullptr};
    static QCoreApplication *a = new QCoreApplication(argc, argv);
    return *a;
}

void pump()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

} // namespace

TEST(Playlist, PlsTakesTheFirstEntryAndStopsAtTheLineEnd)
{
    const QString pls = QStringLiteral("[playlist]\r\nNumberOfEntries=2\r\nFile1=http://a.example/live.mp3\r\n"
                                       "Title1=Station A\r\nLength1=-1\r\nFile2=http://b.example/x\r\nVersion=2\r\n");
    EXPECT_EQ(url(pls), QStringLiteral("http://a.example/live.mp3"));
    // A byte-order mark (read as 8-bit text) and an https entry.
    EXPECT_EQ(url(QStringLiteral("\u00ef\u00bb\u00bf[playlist]\nFile1=https://s.example:8443/aac\nTitle1=x\n")),
              QStringLiteral("https://s.example:8443/aac"));
    // A relative entry is taken against the playlist's own address.
    EXPECT_EQ(url(QStringLiteral("[playlist]\nFile1=../streams/hi.mp3\n")),
              QStringLiteral("http://radio.example:8000/streams/hi.mp3"));
}

TEST(Playlist, M3uSkipsCommentsAndAnHlsPlaylistIsTheStreamItself)
{
    EXPECT_EQ(url(QStringLiteral("#EXTM3U\r\n#EXTINF:-1,Station\r\nhttp://m.example/stream\r\n# trailing comment\r\n")),
              QStringLiteral("http://m.example/stream"));
    // Without the header, a plain list of addresses; the first one plays.
    EXPECT_EQ(url(QStringLiteral("http://one.example/a\nhttp://two.example/b\n")), QStringLiteral("http://one.example/a"));
    EXPECT_EQ(url(QStringLiteral("\u00ef\u00bb\u00bf#EXTM3U\nlive/128.mp3\n")),
              QStringLiteral("http://radio.example:8000/lists/live/128.mp3"));
    const QString hls = QStringLiteral("#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:6\n#EXTINF:6,\nseg1.aac\n");
    EXPECT_EQ(url(hls, QStringLiteral(" http://h.example/live.m3u8 \n")), QStringLiteral("http://h.example/live.m3u8"));
}

TEST(Playlist, XspfAndAsx)
{
    const QString xspf = QStringLiteral(
        "<?xml version=\"1.0\"?>\n<playlist version=\"1\" xmlns=\"http://xspf.org/ns/0/\">\n<trackList>\n"
        "<track><location>file:///music/old.mp3</location></track>\n"
        "<track><location> http://x.example/live?a=1&amp;b=2 </location><title>X</title></track>\n"
        "</trackList></playlist>\n");
    EXPECT_EQ(url(xspf), QStringLiteral("http://x.example/live?a=1&b=2"));

    // Two "<ref " entries: the last one plays.
    const QString asx = QStringLiteral("<ASX version=\"3.0\">\r\n<ENTRY>\r\n<REF HREF=\"http://first.example/s\"/>\r\n"
                                       "<REF HREF=\"http://second.example/s\"/>\r\n</ENTRY>\r\n</ASX>\r\n");
    EXPECT_EQ(url(asx), QStringLiteral("http://second.example/s"));
    // Mentions "asx" but has no entry: the address stays.
    EXPECT_EQ(url(QStringLiteral("this is not an asx file"), QStringLiteral("  http://k.example/s\t")),
              QStringLiteral("http://k.example/s"));
}

TEST(Playlist, OtherTextsTakeTheLastWebAddressUpToItsLineEnd)
{
    EXPECT_EQ(url(QStringLiteral("Listen here: http://a.example/one then http://b.example/two\r\nmore text\r\n")),
              QStringLiteral("http://b.example/two"));
    EXPECT_EQ(url(QStringLiteral("<html><body>No playlist here</body></html>")), Base);
    EXPECT_EQ(url(QString(), QStringLiteral("\x01http://a.example/s ")), QStringLiteral("http://a.example/s"));
}

TEST(Playlist, LocalAndUnsafeEntriesAreRefusedNeverOpened)
{
    for (const QString &text : {QStringLiteral("[playlist]\nFile1=file:///etc/passwd\n"),
                                QStringLiteral("#EXTM3U\nC:\\Music\\song.mp3\n"),
                                QStringLiteral("#EXTM3U\nfile:/home/user/x.mp3\n")}) {
        const TPlaylistResult r = PlaylistStreamUrl(text, Base);
        EXPECT_FALSE(r.Refusal.isEmpty()) << text.toStdString();
        EXPECT_TRUE(r.Url.isEmpty());
    }
    const TPlaylistResult other = PlaylistStreamUrl(QStringLiteral("[playlist]\nFile1=concat:a|b\n"), Base);
    EXPECT_FALSE(other.Refusal.isEmpty());
    // A refused entry before a playable one does not stop the playable one.
    EXPECT_EQ(url(QStringLiteral("#EXTM3U\nfile:///x.mp3\nhttp://ok.example/s\n")), QStringLiteral("http://ok.example/s"));
}

TEST(Playlist, EntriesThatAreNoAddressLeaveTheStationsOwnAddressNeverAnEmptyOne)
{
    // A host of stray bytes cannot be taken against the playlist's address; nothing is played
    // from the entry, and the station's address stays what is played.
    const QString garbage = QStringLiteral("//127.,\u00ff\u00ff0.0.1/a");
    for (const QString &text : {QStringLiteral("[playlist]\nFile1=") + garbage + u'\n',
                                QStringLiteral("<asx><ref href=\"") + garbage + QStringLiteral("\"/></asx>"),
                                QStringLiteral("<playlist xmlns=\"http://xspf.org/ns/0/\"><location>") + garbage +
                                    QStringLiteral("</location></playlist>")})
        EXPECT_EQ(url(text), Base) << text.toStdString();
}

TEST(FetchUrlText, ReadsAPlaylistWithTheAgentNameAndStopsAnEndlessStreamJustPastTheLimit)
{
    app();
    std::mutex cs;
    std::string request;
    ScriptedServer playlist([&](int s, ScriptedServer &) {
        const std::string r = ScriptedServer::readRequest(s);
        {
            std::lock_guard<std::mutex> l(cs);
            request = r;
        }
        ScriptedServer::sendAll(s, "HTTP/1.0 200 OK\r\nContent-Type: audio/x-scpls\r\n\r\n[playlist]\nFile1=http://s.example/x\n");
    });
    QString text;
    EXPECT_TRUE(FetchUrlText(QString::fromStdString(playlist.url("/a.pls")), text, QStringLiteral("fonolux"), 5000, pump));
    EXPECT_EQ(text, QStringLiteral("[playlist]\nFile1=http://s.example/x\n"));
    {
        std::lock_guard<std::mutex> l(cs);
        EXPECT_NE(request.find("User-Agent: fonolux\r\n"), std::string::npos) << request;
    }

    ScriptedServer endless([](int s, ScriptedServer &server) {
        ScriptedServer::readRequest(s);
        ScriptedServer::sendAll(s, "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n");
        const std::string chunk(700, 'Z');
        while (!server.stopping() && ScriptedServer::sendAll(s, chunk))
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    });
    EXPECT_FALSE(FetchUrlText(QString::fromStdString(endless.url()), text, QStringLiteral("fonolux"), 5000, pump));
    EXPECT_GT(text.size(), PlaylistTextLimit);
    EXPECT_LE(text.size(), PlaylistTextLimit + PlaylistBlockSize);
}

TEST(FetchUrlText, AnAnswerAnnouncingAudioIsAStreamAtItsHeadersAndPlaylistTypesAreStillRead)
{
    app();
    EXPECT_TRUE(AnnouncesAudioStream(QStringLiteral("audio/mpeg")));
    EXPECT_TRUE(AnnouncesAudioStream(QStringLiteral("Audio/AAC; charset=binary")));
    EXPECT_TRUE(AnnouncesAudioStream(QStringLiteral("application/ogg")));
    for (const char *playlist : {"audio/x-mpegurl", "audio/mpegurl", "application/vnd.apple.mpegurl", "audio/x-scpls",
                                 "video/x-ms-asf", "audio/x-ms-wax", "application/xspf+xml", "text/html", ""})
        EXPECT_FALSE(AnnouncesAudioStream(QString::fromLatin1(playlist))) << playlist;

    // A slow station: its headers, a few bytes, then nothing for longer than the test waits.
    // Reading 16 000 bytes of it would hold the connect up for the whole time limit.
    ScriptedServer slow([](int s, ScriptedServer &server) {
        ScriptedServer::readRequest(s);
        ScriptedServer::sendAll(s, "HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\nicy-metaint: 16000\r\n\r\nID3");
        while (!server.stopping())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    });
    QString text = QStringLiteral("old");
    QElapsedTimer t;
    t.start();
    EXPECT_FALSE(FetchUrlText(QString::fromStdString(slow.url()), text, QStringLiteral("fonolux"), 4000, pump));
    EXPECT_TRUE(text.isEmpty());
    EXPECT_LT(t.elapsed(), 2000);

    // A playlist served under its own type is read as text, even when it arrives slowly.
    ScriptedServer m3u([](int s, ScriptedServer &) {
        ScriptedServer::readRequest(s);
        ScriptedServer::sendAll(s, "HTTP/1.0 200 OK\r\nContent-Type: audio/x-mpegurl\r\n\r\n#EXTM3U\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ScriptedServer::sendAll(s, "http://s.example/live\n");
    });
    EXPECT_TRUE(FetchUrlText(QString::fromStdString(m3u.url("/a.m3u")), text, QStringLiteral("fonolux"), 4000, pump));
    EXPECT_EQ(text, QStringLiteral("#EXTM3U\nhttp://s.example/live\n"));
}

TEST(FetchUrlText, AnAddressThatCannotBeOpenedGivesAnEmptyTextWithinTheTimeLimit)
{
    app();
    QString text = QStringLiteral("old");
    // Nobody listens on the port of a server that has gone.
    std::string gone;
    {
        ScriptedServer s([](int, ScriptedServer &) {});
        gone = s.url();
    }
    EXPECT_TRUE(FetchUrlText(QString::fromStdString(gone), text, QStringLiteral("fonolux"), 3000, pump));
    EXPECT_TRUE(text.isEmpty());

    ScriptedServer silent([](int, ScriptedServer &server) {
        while (!server.stopping())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    });
    QElapsedTimer t;
    t.start();
    EXPECT_TRUE(FetchUrlText(QString::fromStdString(silent.url()), text, QStringLiteral("fonolux"), 800, pump));
    EXPECT_TRUE(text.isEmpty());
    EXPECT_LT(t.elapsed(), 2500);

    // Not a web address: nothing is fetched.
    EXPECT_TRUE(FetchUrlText(QStringLiteral("file:///etc/passwd"), text, QStringLiteral("fonolux"), 800, pump));
    EXPECT_TRUE(text.isEmpty());
}
