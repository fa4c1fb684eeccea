// The trimmer's window with real MP3 files: opening from the command line, the dialog and a
// drop, the waveform in the picture's pixels, the frame size, files that cannot be opened, and
// the window state kept between runs.
#include "DateTimeValue.h"
#include "TrimTestSupport.h"

#include "TrimStore.h"

#include "AuMp3In.h"
#include "ScriptedServer.h"

#include <QDropEvent>
#include <QFrame>
#include <QMimeData>
#include <QSlider>
#include <QTest>
#include <QToolBar>
#include <QToolButton>
#include <QUrl>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <thread>

namespace {

// Files made once for the whole program (encoding is the slow part).
struct Files {
    testsupport::TempDir dir;
    QString tone3, toneMono, silence2, short1, tone22k;
    Files()
    {
        const auto p = [this](const char *n) { return QString::fromStdString((dir / n).string()); };
        tone3 = p("tone3.mp3");
        toneMono = p("mono.mp3");
        silence2 = p("silence.mp3");
        short1 = p("short.mp3");
        tone22k = p("tone22k.mp3");
        EXPECT_TRUE(toneMp3(tone3, 3.0));
        EXPECT_TRUE(toneMp3(toneMono, 3.0, 44100, 1));
        EXPECT_TRUE(silenceMp3(silence2, 2.0));
        EXPECT_TRUE(toneMp3(short1, 1.0));
        EXPECT_TRUE(toneMp3(tone22k, 2.5, 22050, 1));
    }
};

Files &files()
{
    static Files *f = new Files;
    return *f;
}

bool sameValues(const std::vector<TWaveEntry> &a, const std::vector<TWaveEntry> &b, std::size_t from, std::size_t to)
{
    for (std::size_t i = from; i < to; ++i)
        if (a[i] != b[i])
            return false;
    return true;
}

// Sends a drop of Files on Target with the given proposed action; returns the action the
// window answered with.
Qt::DropAction drop(QWidget *Target, const QStringList &Paths, Qt::DropAction Proposed)
{
    QMimeData data;
    QList<QUrl> urls;
    for (const QString &p : Paths)
        urls << QUrl::fromLocalFile(p);
    data.setUrls(urls);
    const QPointF at(30, 20);
    QDragEnterEvent enter(at.toPoint(), Qt::CopyAction | Qt::MoveAction | Qt::LinkAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(Target, &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent ev(at, Proposed, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(Target, &ev);
    return ev.dropAction();
}

bool playEnabledOnly(TForm1 &f)
{
    return f.btnPlay->isEnabled() && f.btnSave->isEnabled() && f.btnOpen->isEnabled() && !f.btnStop->isEnabled();
}

} // namespace

TEST(TrimWindow, CommandLineOpensAnMp3OfAnyCaseAndNothingElse)
{
    TrimEnv env;
    const QString upper = env.path("LOUD.MP3");
    std::filesystem::copy_file(files().tone3.toStdString(), upper.toStdString());
    {
        TForm1 f({upper});
        EXPECT_EQ(f.windowTitle(), QStringLiteral("Snipolux - LOUD.MP3"));
        EXPECT_TRUE(playEnabledOnly(f));
        EXPECT_EQ(f.OpenDialog1.FileName, upper);
        EXPECT_EQ(f.FrameBytes, 4);
        // A loud tone: the two values lie far apart around the middle.
        EXPECT_GT(f.values[100][1] - f.values[100][0], 20);
        EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    }
    // After "--" the next argument is the file, even one that begins with '-'.
    const QString dashed = env.path("-dashed.mp3");
    std::filesystem::copy_file(files().tone3.toStdString(), dashed.toStdString());
    {
        TForm1 f({QStringLiteral("--"), dashed});
        EXPECT_EQ(f.windowTitle(), QStringLiteral("Snipolux - -dashed.mp3"));
        EXPECT_EQ(f.OpenedFile(), dashed);
    }
    const QString wav = env.path("song.wav");
    std::filesystem::copy_file(files().tone3.toStdString(), wav.toStdString());
    for (const QStringList &args : {QStringList{wav}, QStringList{QString()}, QStringList{}}) {
        TForm1 f(args);
        EXPECT_EQ(f.windowTitle(), QStringLiteral("Snipolux"));
        EXPECT_FALSE(f.btnPlay->isEnabled());
        EXPECT_FALSE(f.btnSave->isEnabled());
        EXPECT_TRUE(f.btnOpen->isEnabled());
        EXPECT_FALSE(f.btnrstspd->isEnabled());
        EXPECT_TRUE(f.OpenedFile().isEmpty());
    }
    EXPECT_TRUE(env.messages.isEmpty());
}

TEST(TrimWindow, AnMp3OfManyGigabytesIsRefusedWithAMessage)
{
    TrimEnv env;
    // A real MP3 at its start, then nothing (a sparse file takes no room on the disk).
    const QString big = env.path("big.mp3");
    std::filesystem::copy_file(files().tone3.toStdString(), big.toStdString());
    std::filesystem::resize_file(big.toStdString(), std::uintmax_t(5) << 30);
    TForm1 f({big});
    EXPECT_TRUE(f.OpenedFile().isEmpty());
    EXPECT_FALSE(f.btnPlay->isEnabled());
    ASSERT_EQ(env.messages.size(), 1);
    EXPECT_TRUE(env.messages.first().contains(QStringLiteral("too large (5120 MB"))) << env.messages.first().toStdString();
    EXPECT_EQ(f.windowTitle(), QStringLiteral("Snipolux"));
}

TEST(TrimWindow, ToneIsDrawnColumnByColumnWithTheLineEndsOfItsValues)
{
    TrimEnv env;
    TForm1 f({files().toneMono});
    ASSERT_EQ(f.FrameBytes, 2); // 16-bit mono
    const QImage &bm = f.Image1->Bitmap;
    ASSERT_EQ(bm.width(), 1920);
    ASSERT_EQ(bm.height(), 82);
    ASSERT_EQ(f.Image1->height(), 80);

    // The same file decoded by ffmpeg to 8-bit mono and spread over the columns by the same
    // rule: every filled column agrees within the two decoders' rounding (a sample rounded to
    // 127 by one and 128 by the other moves about 1.7 from one value to the other).
    const std::string u8 = env.path("peer.u8").toStdString();
    int rc = -1;
    testsupport::runCommand("ffmpeg -nostdin -loglevel error -y -i " + testsupport::shellQuote(files().toneMono.toStdString()) +
                                " -f u8 -ac 1 " + testsupport::shellQuote(u8),
                            &rc);
    ASSERT_EQ(rc, 0);
    std::ifstream in(u8, std::ios::binary);
    const std::vector<std::uint8_t> peer((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GT(peer.size(), 100000u);
    std::vector<TWaveEntry> expected(1920);
    TWaveAccumulator acc(expected, f.MP3In1->TotalSamples(), 1920);
    acc.Add(peer.data(), peer.size());
    ASSERT_GT(acc.Columns(), 1600u);
    for (std::size_t i = 0; i + 2 < acc.Columns(); ++i) {
        EXPECT_NEAR(f.values[i][0], expected[i][0], 6) << i;
        EXPECT_NEAR(f.values[i][1], expected[i][1], 6) << i;
        EXPECT_NEAR(f.values[i][0] + f.values[i][1], expected[i][0] + expected[i][1], 2) << i;
    }
    // A loud tone: the two values lie far apart, symmetric around the middle value 64.
    EXPECT_GT(f.values[900][1] - f.values[900][0], 40);
    EXPECT_NEAR(f.values[900][1] + f.values[900][0], 128, 8);
    // Beyond the decoded audio the columns stay empty.
    EXPECT_EQ(f.values[1900], (TWaveEntry{0, 0}));

    // The pixels: grey from R(lo/48 × 80) − 65 to R(hi/48 × 80) − 65 (clipped to the 82 rows),
    // black above and below.
    for (int i : {10, 333, 900, 1234, 1700}) {
        const auto e = f.values[static_cast<std::size_t>(i)];
        const int a = static_cast<int>(std::lround(e[0] / 48.0 * 80)) - 65;
        const int b = static_cast<int>(std::lround(e[1] / 48.0 * 80)) - 65;
        const int y0 = std::max(std::min(a, b), 0), y1 = std::min(std::max(a, b), 81);
        ASSERT_LE(y0, y1) << i;
        for (int y = 0; y < 82; ++y)
            EXPECT_EQ(bm.pixel(i, y), y >= y0 && y <= y1 ? 0xFF7F7F7Fu : 0xFF000000u) << i << ' ' << y;
    }
    EXPECT_EQ(bm.pixel(1900, 41), 0xFF000000u);
    f.show();
    screenshot(f, QStringLiteral("trimmer-tone"));
}

TEST(TrimWindow, SilenceFillsWholeColumnsAndAShorterFileKeepsTheOldColumnsBeyondIt)
{
    TrimEnv env;
    TForm1 f({files().tone3});
    const std::vector<TWaveEntry> tone = f.values;

    env.answer = files().silence2;
    f.Button1Click();
    EXPECT_EQ(f.windowTitle(), QStringLiteral("Snipolux - silence.mp3"));
    // Two seconds of 2⅓ fill about 1645 columns; each is (0, 128), a line over the whole height.
    EXPECT_EQ(f.values[0], (TWaveEntry{0, 128}));
    EXPECT_EQ(f.values[1500], (TWaveEntry{0, 128}));
    for (int y = 0; y < 82; ++y)
        EXPECT_EQ(f.Image1->Bitmap.pixel(700, y), 0xFF7F7F7Fu) << y;
    // The columns the silence did not reach keep the tone's values.
    EXPECT_TRUE(sameValues(f.values, tone, 1680, 1920));
    EXPECT_NE(f.values[1680], (TWaveEntry{0, 128}));
}

TEST(TrimWindow, FrameBytesIsFourForALongStereoFileAndLessUnderTwoSeconds)
{
    TrimEnv env;
    TForm1 f({files().tone3});
    EXPECT_EQ(f.FrameBytes, 4);
    env.answer = files().short1;
    f.Button1Click();
    EXPECT_LE(f.FrameBytes, 3);
    env.answer = files().tone22k; // 22050 Hz mono, 2.5 s
    f.Button1Click();
    EXPECT_EQ(f.FrameBytes, 2);
    EXPECT_EQ(f.MP3In1->SampleRate(), 22050u);
}

TEST(TrimWindow, OpeningResetsTheSelectionAndTheDialogSetsItsCaption)
{
    TrimEnv env;
    env.answer = files().tone3;
    TForm1 f;
    f.SelStart = 300;
    f.SelEnd = 700;
    f.PlayStart = 300;
    f.PlayEnd = 700;
    f.SetBandLocation(TFloatRect{300, -39, 700, 121});
    f.Button1Click();
    EXPECT_EQ(f.windowTitle(), QStringLiteral("Snipolux - tone3.mp3"));
    EXPECT_EQ(f.SelStart, 0);
    EXPECT_EQ(f.SelEnd, 1920);
    EXPECT_EQ(f.PlayStart, 0);
    EXPECT_EQ(f.PlayEnd, 1920);
    EXPECT_EQ(f.BandLocation(), (TFloatRect{0, -39, 1920, 121}));

    // Again with a file open: the selection is reset once more, the new file is decoded.
    f.SelStart = 100;
    f.SetBandLocation(TFloatRect{100, -39, 1920, 121});
    env.answer = files().short1;
    f.Button1Click();
    EXPECT_EQ(f.SelStart, 0);
    EXPECT_EQ(f.BandLocation().Left, 0);
    EXPECT_EQ(f.OpenedFile(), files().short1);
    EXPECT_NEAR(static_cast<double>(f.MP3In1->TotalSamples()), 44100 * 4 / 3.0, 2000);

    // Cancelling the dialog changes nothing and leaves the normal pointer.
    env.answer.clear();
    f.Button1Click();
    EXPECT_EQ(f.OpenedFile(), files().short1);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(env.dialogs.size(), 3);
}

TEST(TrimWindow, DropOpensTheFirstFileAndAnswersAMoveWithNoEffect)
{
    TrimEnv env;
    TForm1 f;
    EXPECT_EQ(drop(f.Image1, {files().tone3, files().short1}, Qt::MoveAction), Qt::IgnoreAction);
    EXPECT_EQ(f.windowTitle(), QStringLiteral("Snipolux - tone3.mp3"));
    EXPECT_EQ(f.OpenDialog1.FileName, files().tone3);
    EXPECT_EQ(f.FrameBytes, 4);
    EXPECT_TRUE(playEnabledOnly(f));
    // The dropped file stays where it was.
    EXPECT_TRUE(QFile::exists(files().tone3));

    // A copy on the toolbar is answered as a copy.
    EXPECT_EQ(drop(f.ToolBar1, {files().short1}, Qt::CopyAction), Qt::CopyAction);
    EXPECT_EQ(f.windowTitle(), QStringLiteral("Snipolux - short.mp3"));

    // Another type: the message on the picture, the open file stays.
    const QString wav = env.path("x.wav");
    std::filesystem::copy_file(files().tone3.toStdString(), wav.toStdString());
    drop(f.Image1, {wav}, Qt::CopyAction);
    EXPECT_EQ(f.Image1->SurfaceText(), QStringLiteral("Error: Only MP3 files accepted"));
    EXPECT_EQ(f.OpenedFile(), files().short1);
    EXPECT_EQ(f.windowTitle(), QStringLiteral("Snipolux - short.mp3"));
    f.show();
    screenshot(f, QStringLiteral("trimmer-drop-refused"));
    EXPECT_TRUE(env.messages.isEmpty());
}

TEST(TrimWindow, FilesThatCannotBeOpenedAreReportedAndTheOpenFileStays)
{
    TrimEnv env;
    TForm1 f({files().tone3});
    const std::vector<TWaveEntry> before = f.values;
    const QString title = f.windowTitle();

    const auto write = [&](const char *name, const std::string &bytes) {
        const QString p = env.path(name);
        std::ofstream(p.toStdString(), std::ios::binary) << bytes;
        return p;
    };
    const auto mp3 = testsupport::readFile(files().tone3.toStdString());
    const QString empty = write("empty.mp3", "");
    const QString text = write("text.mp3", std::string(5000, 'a') + "not audio at all\n");
    const QString cut = write("cut.mp3", std::string(mp3.begin(), mp3.begin() + 300));
    const QString missing = env.path("missing.mp3");
    const QString unreadable = env.path("folder.mp3");
    std::filesystem::create_directory(unreadable.toStdString());

    int expected = 0;
    for (const QString &bad : {empty, text, cut, missing, unreadable}) {
        env.answer = bad;
        f.Button1Click();
        ++expected;
        ASSERT_EQ(env.messages.size(), expected) << bad.toStdString();
        EXPECT_TRUE(env.messages.last().contains(QFileInfo(bad).fileName())) << env.messages.last().toStdString();
        EXPECT_EQ(QApplication::overrideCursor(), nullptr);
        EXPECT_EQ(f.OpenedFile(), files().tone3);
        EXPECT_EQ(f.windowTitle(), title);
        EXPECT_TRUE(sameValues(f.values, before, 0, 1920));
        EXPECT_TRUE(playEnabledOnly(f));
    }
    // The same by a drop.
    drop(f.Image1, {text}, Qt::CopyAction);
    EXPECT_EQ(env.messages.size(), expected + 1);
    EXPECT_EQ(f.OpenedFile(), files().tone3);
    // The open file still decodes in full.
    EXPECT_TRUE(f.MP3In1->Valid());
    EXPECT_NEAR(static_cast<double>(f.MP3In1->TotalSamples()), 44100 * 10 / 3.0, 2000);

    // A truncated but decodable file opens with what it holds.
    const QString half = write("half.mp3", std::string(mp3.begin(), mp3.begin() + static_cast<long>(mp3.size() / 2)));
    env.answer = half;
    f.Button1Click();
    EXPECT_EQ(f.OpenedFile(), half);
    EXPECT_EQ(env.messages.size(), expected + 1);

    // At start from the command line: a message and a window without a file.
    TForm1 g({text});
    EXPECT_EQ(g.windowTitle(), QStringLiteral("Snipolux"));
    EXPECT_FALSE(g.btnPlay->isEnabled());
    EXPECT_EQ(env.messages.size(), expected + 2);
}

TEST(TrimWindow, WindowStateAndVolumeAreKeptBetweenRuns)
{
    TrimEnv env;
    {
        TForm1 f;
        EXPECT_EQ(f.svolume->value(), -2500);
        f.show();
        f.setGeometry(120, 90, 700, 260);
        f.svolume->setValue(-1234);
        f.close();
    }
    const QString key = TForm1::RegistryKey();
    EXPECT_EQ(key, QStringLiteral("Software\\Snipolux"));
    TTrimStore store(key);
    EXPECT_EQ(store.ReadInteger(QStringLiteral("Form1"), QStringLiteral("Width"), 0), 700);
    EXPECT_EQ(store.ReadInteger(QStringLiteral("Set"), QStringLiteral("volume"), 0), -1234);
    const double now = DateTimeValue::now().days();
    EXPECT_NEAR(store.ReadDateTime(QStringLiteral("Snipolux"), QStringLiteral("LastRun"), 0), now, 1.0 / 24 / 60);

    TForm1 g;
    EXPECT_EQ(g.svolume->value(), -1234);
    EXPECT_EQ(g.geometry().width(), 700);
    EXPECT_EQ(g.geometry().height(), 260);
    EXPECT_EQ(g.geometry().left(), 120);
    EXPECT_EQ(g.geometry().top(), 90);
}

TEST(TrimWindow, LayoutAndToolbarModes)
{
    TrimEnv env;
    TForm1 f;
    f.show();
    EXPECT_EQ(f.ToolBar1->height(), 35);
    EXPECT_EQ(f.btnOpen->size(), QSize(31, 30));
    EXPECT_EQ(f.btnOpen->iconSize(), QSize(24, 24));
    EXPECT_EQ(f.Panel1->height(), 84);
    EXPECT_EQ(f.Panel2->height(), 82);
    EXPECT_EQ(f.WebBrowser1->height(), 119);
    EXPECT_EQ(f.btnSave->toolTip(), QStringLiteral("Save cliped "));
    EXPECT_TRUE(f.btnPause->isCheckable());
    EXPECT_EQ(f.sSpeed->minimum(), 50);
    EXPECT_EQ(f.sSpeed->maximum(), 150);
    EXPECT_EQ(f.svolume->minimum(), -3000);

    struct Row {
        TToolbarMode mode;
        bool play, pause, stop, save, marks, open, speed;
    };
    for (const Row r : {Row{tmNoFile, 0, 0, 0, 0, 0, 1, 0}, Row{tmPlaying, 0, 1, 1, 0, 1, 0, 0},
                        Row{tmPaused, 0, 1, 0, 0, 1, 0, 0}, Row{tmFileOpen, 1, 0, 0, 1, 0, 1, 1}}) {
        f.SetButtons(r.mode);
        EXPECT_EQ(f.btnPlay->isEnabled(), r.play) << r.mode;
        EXPECT_EQ(f.btnPause->isEnabled(), r.pause) << r.mode;
        EXPECT_EQ(f.btnStop->isEnabled(), r.stop) << r.mode;
        EXPECT_EQ(f.btnSave->isEnabled(), r.save) << r.mode;
        EXPECT_EQ(f.btnSetRight->isEnabled(), r.marks) << r.mode;
        EXPECT_EQ(f.btnSetLeft->isEnabled(), r.marks) << r.mode;
        EXPECT_EQ(f.btnOpen->isEnabled(), r.open) << r.mode;
        EXPECT_EQ(f.btnrstspd->isEnabled(), r.speed) << r.mode;
        EXPECT_EQ(f.sSpeed->isEnabled(), r.speed) << r.mode;
    }
    // Any other mode changes nothing.
    f.SetButtons(static_cast<TToolbarMode>(4));
    EXPECT_TRUE(f.btnPlay->isEnabled());
}

// The keys of every desktop program: Ctrl+O asks for a file, Ctrl+S asks for the clip's name
// only when a file is open, Ctrl+Q closes the window.
TEST(TrimWindow, CtrlOOpensCtrlSSavesOnlyWithAFileAndCtrlQCloses)
{
    TrimEnv env;
    TForm1 f;
    f.show();
    f.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
    // Pressed as the window system delivers keys, so that shortcuts apply; a shortcut clicks
    // its button the animated way, so clicked() comes about 100 ms later.
    const auto press = [&](Qt::Key key) {
        QTest::keyClick(f.windowHandle(), key, Qt::ControlModifier);
        QTest::qWait(200);
    };

    press(Qt::Key_S);
    EXPECT_TRUE(env.dialogs.isEmpty()) << "nothing to save yet";

    env.answer = files().tone3;
    press(Qt::Key_O);
    ASSERT_EQ(env.dialogs.size(), 1);
    EXPECT_EQ(env.dialogs.last(), TTrimFileDialog::Open);
    EXPECT_EQ(f.OpenedFile(), files().tone3);

    env.answer.clear();
    press(Qt::Key_S);
    ASSERT_EQ(env.dialogs.size(), 2);
    EXPECT_EQ(env.dialogs.last(), TTrimFileDialog::Save);

    press(Qt::Key_Q);
    EXPECT_TRUE(spinUntil([&] { return !f.isVisible(); }, 5000));
}

// A streaming manifest behind an ID3 tag, named ".mp3", naming an address on a server that never
// answers; two MP3 frame headers in a comment make it look like MP3 at a glance. At start the
// window comes up with a message and without a file, and nothing connects. (Were the file to
// make the decoder fetch the address, a watchdog closes the server's connections after a
// minute, so the fault shows as a failure rather than a hang.)
TEST(TrimWindow, AFileThatNamesAddressesIsReportedWithoutConnecting)
{
    TrimEnv env;
    auto server = std::make_unique<testsupport::ScriptedServer>([](int, testsupport::ScriptedServer &Server) {
        while (!Server.stopping())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    });
    const QString crafted = env.path("manifest.mp3");
    // MPEG-1 layer III, 128 kbit/s, 44.1 kHz, no padding; Latin-1 text without NUL or "--".
    std::string frame(417, 'U');
    frame.replace(0, 4, "\xFF\xFB\x90\x44");
    std::ofstream(crafted.toStdString(), std::ios::binary)
        << std::string("ID3\x04\0\0\0\0\0\0", 10)
        << "<?xml version=\"1.0\" encoding=\"iso-8859-1\"?>\n<MPD xmlns=\"urn:mpeg:dash:schema:mpd:2011\" "
           "type=\"static\" mediaPresentationDuration=\"PT10S\" minBufferTime=\"PT1S\" "
           "profiles=\"urn:mpeg:dash:profile:isoff-on-demand:2011\">\n<!--"
        << frame << frame
        << "-->\n<Period><AdaptationSet mimeType=\"audio/mp4\"><Representation id=\"a\" bandwidth=\"128000\" "
           "codecs=\"mp4a.40.2\">\n<BaseURL>"
        << server->url("/a.mp4")
        << "</BaseURL><SegmentBase indexRange=\"0-100\"/></Representation></AdaptationSet></Period></MPD>\n";

    std::promise<void> opened;
    int connections = -1;
    std::thread watchdog([&, done = opened.get_future()] {
        if (done.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
            connections = server->connections();
            server.reset();
        }
    });
    {
        TForm1 g({crafted});
        opened.set_value();
        watchdog.join();
        EXPECT_EQ(g.windowTitle(), QStringLiteral("Snipolux"));
        EXPECT_FALSE(g.btnPlay->isEnabled());
        ASSERT_EQ(env.messages.size(), 1);
        EXPECT_TRUE(env.messages.last().contains(QStringLiteral("manifest.mp3"))) << env.messages.last().toStdString();
        EXPECT_TRUE(env.messages.last().contains(QStringLiteral("not an MP3 file"))) << env.messages.last().toStdString();
    }
    ASSERT_TRUE(server) << "opening waited on the network";
    connections = server->connections();
    EXPECT_EQ(connections, 0) << "the file made the decoder connect";
}
