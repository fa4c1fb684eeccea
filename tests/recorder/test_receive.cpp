// Receiving a real loopback station in the window: format display, sound, stop, pause, the
// failed connects, playlists and the tap error message.
#include "ReceiveTestSupport.h"

#include "AuEvents.h"
#include "ButtonPictures.h"
#include "ScriptedServer.h"
#include "findurl.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QToolButton>

#include <QMessageBox>

#include <atomic>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using testsupport::ScriptedServer;

namespace {

int picture(QAbstractButton *b)
{
    return b->property("picture").toInt();
}

// The idle layout, with status as its status text.
void expectIdleLayout(TForm1 &f, const QString &status = QStringLiteral("Idle"))
{
    EXPECT_EQ(f.RecState, rsIdle);
    EXPECT_EQ(f.Label14->text(), status);
    EXPECT_TRUE(f.BitBtn1->isEnabled());
    EXPECT_EQ(picture(f.BitBtn1), 0);
    EXPECT_EQ(f.BitBtn1->toolTip(), QStringLiteral("Start Receive & Play"));
    EXPECT_TRUE(f.ComboBox1->isEnabled());
    EXPECT_TRUE(f.cbPreRec->isEnabled());
}

} // namespace

TEST(Receive, AMonoStationPlaysItsToneAt32kHzShowsItsOwnFormatAndStops)
{
    testsupport::SourceOptions mono;
    mono.channels = 1;
    mono.sampleRate = 22050;
    mono.bitrateKbps = 64;
    mono.toneHz = 500;
    Station station(mono);
    REQUIRE_STATION(station);
    ReceiveEnv e(true);
    TForm1 &f = *e.form;
    e.tune(station.url(), QStringLiteral("Tones"));

    ASSERT_TRUE(e.receive());
    EXPECT_EQ(f.RecState, rsPlaying);
    EXPECT_EQ(f.Label4->text(), QStringLiteral("22050 Hz"));
    EXPECT_EQ(f.Label8->text(), QStringLiteral("Mono"));
    EXPECT_EQ(f.Label1->text(), QStringLiteral("64 kbps"));
    EXPECT_TRUE(f.marqueeText().startsWith(QStringLiteral("Tones: ")));
    EXPECT_EQ(f.windowTitle(), QStringLiteral("RADIO: ") + f.marqueeText());
    EXPECT_EQ(f.statusPanelText(), station.url());
    EXPECT_EQ(f.edUndRun->text(), QStringLiteral("00"));

    // The first level report gives the playing layout.
    ASSERT_TRUE(e.levelReports(3));
    EXPECT_EQ(f.Label14->text(), QStringLiteral("Playing"));
    EXPECT_TRUE(f.BitBtn1->isEnabled());
    EXPECT_EQ(picture(f.BitBtn1), 2);
    EXPECT_FALSE(f.ComboBox1->isEnabled());
    saveScreenshot(&f, QStringLiteral("receive-playing"));

    ASSERT_TRUE(waitUntil([&] { return e.disk->Played().size() > 32000u * 4u * 3u; }, 15000));
    const std::vector<std::uint8_t> bytes = e.disk->Played();
    // Played as the station's one channel, at the resampler's rate.
    const std::size_t first = testsupport::FirstSound(bytes, 2, 0);
    std::vector<std::int16_t> pcm((bytes.size() - first) / 2);
    std::memcpy(pcm.data(), bytes.data() + first, pcm.size() * 2);
    EXPECT_NEAR(testsupport::ToneHz(pcm, 1, 32000), 500.0, 5.0);

    f.BitBtn1Click();
    expectIdleLayout(f);
    EXPECT_EQ(f.DXAudioOut1->Status(), tosIdle);
}

TEST(Receive, PauseHoldsThePlayClockAndResumeGoesOn)
{
    Station station;
    REQUIRE_STATION(station);
    ReceiveEnv e;
    TForm1 &f = *e.form;
    e.tune(station.url());
    ASSERT_TRUE(e.receive());
    ASSERT_TRUE(e.levelReports(2));

    f.BitBtn2Click();
    EXPECT_EQ(f.RecState, rsPlayPaused);
    EXPECT_EQ(f.Label14->text(), QStringLiteral("Play Paused"));
    EXPECT_EQ(f.BitBtn2->toolTip(), QStringLiteral("Resume Receive & Play"));
    EXPECT_EQ(f.DXAudioOut1->Status(), tosPaused);
    EXPECT_FALSE(f.BitBtn1->isEnabled());
    EXPECT_FALSE(f.PageControl1->isTabEnabled(f.PageControl1->indexOf(f.tsSetUp)));
    const QString held = f.playtime->text();
    QTest::qWait(1500);
    EXPECT_EQ(f.playtime->text(), held);

    f.BitBtn2Click();
    EXPECT_EQ(f.RecState, rsPlaying);
    EXPECT_EQ(f.DXAudioOut1->Status(), tosPlaying);
    EXPECT_EQ(picture(f.BitBtn2), 4);
    ASSERT_TRUE(e.levelReports(2));

    f.BitBtn1Click();
    expectIdleLayout(f);
    // Idle opens the Set Up page again.
    EXPECT_TRUE(f.PageControl1->isTabEnabled(f.PageControl1->indexOf(f.tsSetUp)));
}

TEST(Receive, AnEmptyStationBoxAsksForOne)
{
    ReceiveEnv e;
    e.tune(QString());
    e.form->BitBtn1Click();
    EXPECT_TRUE(e.env.messages.contains(QStringLiteral("Select Station Please")));
    expectIdleLayout(*e.form);
}

TEST(Receive, FailedConnectsEndIdleInTimeWithTheWindowResponsive)
{
    ReceiveEnv e;
    TForm1 &f = *e.form;
    f.strminwait->setText(QStringLiteral("2000"));
    f.applyComponentSettings();

    std::string refused;
    {
        ScriptedServer gone([](int, ScriptedServer &) {});
        refused = gone.url();
    }
    ScriptedServer silent([](int, ScriptedServer &server) {
        while (!server.stopping())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    });
    ScriptedServer garbage([](int s, ScriptedServer &) {
        ScriptedServer::readRequest(s);
        ScriptedServer::sendAll(s, "HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\n\r\n");
        std::string junk(40000, '\0');
        for (std::size_t i = 0; i < junk.size(); ++i)
            junk[i] = static_cast<char>((i * 7919u) >> 3);
        ScriptedServer::sendAll(s, junk);
    });
    ScriptedServer truncated([](int s, ScriptedServer &) {
        ScriptedServer::readRequest(s);
        ScriptedServer::sendAll(s, "HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\n\r\n\xff\xfb\x90\x64");
    });

    // Each failure stays on screen, with its reason in the status bar, until the next connect.
    const std::pair<std::string, const char *> cases[] = {{refused, "refused"},
                                                          {silent.url(), nullptr},
                                                          {garbage.url(), nullptr},
                                                          {truncated.url(), nullptr}};
    for (const auto &[address, reason] : cases) {
        SCOPED_TRACE(address);
        e.tune(QString::fromStdString(address));
        f.setStatusPanelText(QString());
        QElapsedTimer t;
        t.start();
        const qint64 stall = longestStall([&] {
            f.BitBtn1Click();
            waitUntil([&] { return f.RecState == rsIdle && f.BitBtn1->isEnabled(); }, 6000);
            QTest::qWait(100);
        });
        EXPECT_LT(t.elapsed(), 2000 + 1000 + 100 + 500);
        EXPECT_NE(f.Label14->text(), QStringLiteral("Idle"));
        expectIdleLayout(f, f.Label14->text());
        EXPECT_TRUE(f.Label14->text().contains(QStringLiteral("connect"), Qt::CaseInsensitive))
            << f.Label14->text().toStdString();
        EXPECT_FALSE(f.statusPanelText().isEmpty());
        if (reason) {
            EXPECT_TRUE(f.statusPanelText().contains(QString::fromLatin1(reason), Qt::CaseInsensitive))
                << f.statusPanelText().toStdString();
        }
        EXPECT_LT(stall, 100) << "the window stood still while connecting";
    }
    // The layout refreshing itself does not take the failure away.
    f.endis();
    EXPECT_NE(f.Label14->text(), QStringLiteral("Idle"));
    EXPECT_TRUE(e.env.messages.isEmpty()) << e.env.messages.join(u'|').toStdString();
}

TEST(Receive, AStreamThatEndsAndAStallWatchThatGivesUpAreShownWithTheirReason)
{
    Station station;
    REQUIRE_STATION(station);
    DrivenClock clock;
    ReceiveEnv e;
    TForm1 &f = *e.form;
    ASSERT_TRUE(e.play(station.url()));
    EXPECT_EQ(f.Label14->text(), QStringLiteral("Playing"));

    // The source goes: the stream ends and the window says so.
    station.server.killSource(station.mount);
    ASSERT_TRUE(waitUntil([&] { return f.Label14->text() != QStringLiteral("Playing"); }, 8000));
    EXPECT_EQ(f.Label14->text(), QStringLiteral("Stream Ended"));
    EXPECT_TRUE(f.statusPanelText().contains(station.url())) << f.statusPanelText().toStdString();
    EXPECT_EQ(f.RecState, rsPlaying) << "the stall watch restarts it later";

    // 30 s later the stall watch tries again, finds no station and gives up, saying why.
    clock.Offset = 31000;
    ASSERT_TRUE(waitUntil([&] { return f.RecState == rsIdle && f.BitBtn1->isEnabled(); }, 15000))
        << "state " << f.RecState;
    QTest::qWait(200);
    EXPECT_TRUE(f.Label14->text().startsWith(QStringLiteral("Error: "))) << f.Label14->text().toStdString();
    expectIdleLayout(f, f.Label14->text());
    EXPECT_TRUE(f.statusPanelText().contains(QStringLiteral("404"))) << f.statusPanelText().toStdString();
    EXPECT_EQ(f.DXAudioOut1->Status(), tosIdle);
    EXPECT_TRUE(e.env.messages.isEmpty()) << e.env.messages.join(u'|').toStdString();
}

TEST(Receive, APlaylistLeadsToItsStationAndALocalEntryIsRefused)
{
    Station station;
    REQUIRE_STATION(station);
    ReceiveEnv e;
    TForm1 &f = *e.form;
    const std::string pls = "[playlist]\r\nNumberOfEntries=1\r\nFile1=" + station.url().toStdString() +
                            "\r\nTitle1=Tone\r\nLength1=-1\r\nVersion=2\r\n";
    ScriptedServer lists([pls](int s, ScriptedServer &) {
        const std::string request = ScriptedServer::readRequest(s);
        const bool local = request.find("GET /local.pls") != std::string::npos;
        ScriptedServer::sendAll(s, "HTTP/1.0 200 OK\r\nContent-Type: audio/x-scpls\r\n\r\n");
        ScriptedServer::sendAll(s, local ? std::string("[playlist]\nFile1=file:///etc/passwd\n") : pls);
    });

    e.tune(QString::fromStdString(lists.url("/local.pls")));
    f.BitBtn1Click();
    EXPECT_EQ(f.RecState, rsIdle);
    EXPECT_EQ(f.Label14->text(), QStringLiteral("Error: Playlist entry is a local file"));
    EXPECT_TRUE(f.BitBtn1->isEnabled());

    e.tune(QString::fromStdString(lists.url("/station.pls")));
    ASSERT_TRUE(e.receive());
    EXPECT_EQ(QString::fromStdString(f.WMStreamedIn1->FileName()), station.url());
}

// A stopped run's done or failure event that arrives once the next run plays (the event thread
// was late) belongs to the stopped run and changes nothing; the same events of the playing run
// do act.
TEST(Receive, ALateDoneOfTheRunBeforeARestartIsIgnored)
{
    Station station;
    REQUIRE_STATION(station);
    ReceiveEnv e;
    TForm1 &f = *e.form;
    ASSERT_TRUE(e.play(station.url()));
    f.BitBtn1Click();
    ASSERT_EQ(f.RecState, rsIdle);
    ASSERT_TRUE(e.receive());
    ASSERT_TRUE(e.levelReports(3));
    const std::uint32_t run = f.DXAudioOut1->RunNumber();
    ASSERT_GE(run, 2u);
    ASSERT_GT(f.ProgressBar2->value(), f.ProgressBar2->minimum()) << "the tone shows on the meter";
    const QString status = f.statusPanelText();
    {
        TEventRunScope late(f.DXAudioOut1, run - 1);
        f.DXAudioOut1ThreadException(f.DXAudioOut1);
        f.DXAudioOut1Done(f.DXAudioOut1);
    }
    EXPECT_GT(f.ProgressBar2->value(), f.ProgressBar2->minimum());
    EXPECT_EQ(f.Label14->text(), QStringLiteral("Playing"));
    EXPECT_EQ(f.statusPanelText(), status);
    EXPECT_EQ(f.RecState, rsPlaying);
    {
        TEventRunScope current(f.DXAudioOut1, run);
        f.DXAudioOut1Done(f.DXAudioOut1);
    }
    EXPECT_EQ(f.ProgressBar2->value(), f.ProgressBar2->minimum());
    EXPECT_EQ(f.Label14->text(), QStringLiteral("Stream Ended"));
}

// A playlist entry carrying markup that names a local file (a FIFO, which would freeze a reader
// for good): the window shows it as text, encoded, and never opens the file; message boxes too
// show their texts as text.
TEST(Receive, MarkupInAPlaylistEntryShowsAsTextAndReadsNoFile)
{
    ReceiveEnv e;
    TForm1 &f = *e.form;
    const std::string fifo = (e.env.tmp.path() / "fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // Opening the FIFO for writing without blocking succeeds only while someone reads it.
    std::atomic<bool> stop{false}, read{false};
    std::thread watch([&] {
        while (!stop) {
            const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) {
                read = true;
                ::close(fd);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    std::string refused;
    {
        ScriptedServer gone([](int, ScriptedServer &) {});
        refused = gone.url();
    }
    const std::string entry = refused + "x<img src=\"" + fifo + "\">";
    ScriptedServer lists([entry](int s, ScriptedServer &) {
        ScriptedServer::readRequest(s);
        ScriptedServer::sendAll(s, "HTTP/1.0 200 OK\r\nContent-Type: audio/x-scpls\r\n\r\n[playlist]\nFile1=" + entry + "\n");
    });
    EXPECT_EQ(DisplayAddress(QString::fromStdString(entry)).indexOf(QLatin1Char('<')), -1);

    f.show();
    e.tune(QString::fromStdString(lists.url("/list.pls")));
    f.BitBtn1Click();
    ASSERT_TRUE(waitUntil([&] { return f.RecState == rsIdle && f.BitBtn1->isEnabled(); }, 6000));
    f.setStatusPanelText(DisplayAddress(QString::fromStdString(entry)) + QStringLiteral(" <img src=\"") +
                         QString::fromStdString(fifo) + QStringLiteral("\">"));
    f.grab();
    QTest::qWait(100);
    EXPECT_EQ(f.StatusBar1Panel->textFormat(), Qt::PlainText);
    EXPECT_EQ(f.Label14->textFormat(), Qt::PlainText);

    // A message box with the same text, as the real one comes up.
    ui::setMessageSink({});
    Qt::TextFormat boxFormat = Qt::AutoText;
    QTimer::singleShot(200, [&] {
        for (QWidget *w : QApplication::topLevelWidgets())
            if (auto *box = qobject_cast<QMessageBox *>(w); box && box->isVisible()) {
                boxFormat = box->textFormat();
                box->grab();
                box->accept();
            }
    });
    ui::showMessage(&f, QString::fromStdString(entry));
    stop = true;
    watch.join();
    EXPECT_EQ(boxFormat, Qt::PlainText);
    EXPECT_FALSE(read) << "the FIFO named in the markup was opened";
}

TEST(Receive, ATapErrorFromTheWritersThreadShowsItsReasonAndNameAndChangesNothing)
{
    ReceiveEnv e;
    TForm1 &f = *e.form;
    std::thread writer([&] { f.WMATap1OutputError(f.WMATap2, 2); });
    writer.join();
    ASSERT_TRUE(waitUntil([&] { return !e.env.messages.isEmpty(); }, 2000));
    EXPECT_EQ(e.env.messages, QStringList{QStringLiteral("Error#2 WMATap2")});
    EXPECT_EQ(f.RecState, rsIdle);
}

TEST(Receive, TheWindowClosesCleanlyDuringASlowConnect)
{
    ReceiveEnv e;
    TForm1 &f = *e.form;
    f.strminwait->setText(QStringLiteral("3000"));
    f.applyComponentSettings();
    f.show();
    ScriptedServer silent([](int, ScriptedServer &server) {
        while (!server.stopping())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    });
    e.tune(QString::fromStdString(silent.url()));
    QTimer::singleShot(400, &f, [&] { f.close(); });
    QElapsedTimer t;
    t.start();
    f.BitBtn1Click();
    EXPECT_LT(t.elapsed(), 3000 + 1000);
    EXPECT_FALSE(f.isVisible());
    EXPECT_EQ(f.RecState, rsClosing);
    EXPECT_EQ(f.DXAudioOut1->Status(), tosIdle);
    // Nothing of the abandoned connect acts afterwards.
    QTest::qWait(300);
    EXPECT_EQ(f.RecState, rsClosing);
}
