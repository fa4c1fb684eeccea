// Saving a clip in the trimmer's window with the real encoder, read back with ffprobe, ffmpeg
// and mpg123 and by walking the clip's frame headers; the failures a user meets (full disk, a
// folder that is not one, no encoder library) and saving onto the open file itself.
#include "TrimTestSupport.h"

#include "TrimClip.h"
#include "TrimStore.h"

#include "AuLame.h"
#include "AuMp3In.h"
#include "lame.h"

#include <QFileDialog>
#include <QLineEdit>
#include <QSlider>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

// Source files, each made the first time a test asks for it (encoding is the slow part).
struct Files {
    testsupport::TempDir dir;
    QString path(const char *Name) const { return QString::fromStdString((dir / Name).string()); }
    // Three seconds of a tone at 192 kbit/s, so that a clip at 128 kbit/s is told apart from a
    // copy.
    QString tone3() const
    {
        static const QString f = [this] {
            const QString p = path("tone3.mp3");
            EXPECT_TRUE(pcmToMp3(testsupport::sinePcm16(44100, 2, 3 * 44100), 44100, 2, p, "-b:a 192k"));
            return p;
        }();
        return f;
    }
    QString tone3at128() const
    {
        static const QString f = [this] {
            const QString p = path("tone3at128.mp3");
            EXPECT_TRUE(toneMp3(p, 3.0));
            return p;
        }();
        return f;
    }
    QString tone30() const
    {
        static const QString f = [this] {
            const QString p = path("tone30.mp3");
            EXPECT_TRUE(toneMp3(p, 30.0));
            return p;
        }();
        return f;
    }
    // Two seconds of silence, then two of a tone: where a clip's sound begins shows where its
    // stretch began.
    QString gap4() const
    {
        static const QString f = [this] {
            const QString p = path("gap4.mp3");
            std::vector<std::int16_t> pcm(2 * 44100 * 2, 0);
            const auto tone = testsupport::sinePcm16(44100, 2, 2 * 44100);
            pcm.insert(pcm.end(), tone.begin(), tone.end());
            EXPECT_TRUE(pcmToMp3(pcm, 44100, 2, p));
            return p;
        }();
        return f;
    }
};

Files &files()
{
    static Files *f = new Files;
    return *f;
}

// Every MPEG audio frame of an MP3 file: its bit rate and where its main data begins (0 for
// every frame when the encoder keeps no bit reservoir).
struct FrameWalk {
    int frames = 0;
    int otherRate = 0;       // frames not at 128 kbit/s
    int reservoirFrames = 0; // frames whose main data begins in an earlier frame
    bool broken = false;
};

FrameWalk walkFrames(const fs::path &File)
{
    const std::vector<std::uint8_t> b = testsupport::readFile(File);
    FrameWalk w;
    std::size_t i = 0;
    if (b.size() >= 10 && b[0] == 'I' && b[1] == 'D' && b[2] == '3')
        i = 10 + ((std::size_t(b[6] & 0x7F) << 21) | (std::size_t(b[7] & 0x7F) << 14) |
                  (std::size_t(b[8] & 0x7F) << 7) | std::size_t(b[9] & 0x7F));
    static const unsigned kbps[] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0};
    static const unsigned rates[] = {44100, 48000, 32000, 0};
    while (i + 4 <= b.size()) {
        if (b.size() - i == 128 && b[i] == 'T' && b[i + 1] == 'A' && b[i + 2] == 'G')
            break; // the ID3v1 block
        // MPEG-1 layer III only (what the encoder writes for 44100 Hz).
        if (b[i] != 0xFF || (b[i + 1] & 0xFE) != 0xFA || kbps[b[i + 2] >> 4] == 0 || rates[(b[i + 2] >> 2) & 3] == 0) {
            w.broken = true;
            break;
        }
        const unsigned rate = kbps[b[i + 2] >> 4];
        const std::size_t len = 144 * rate * 1000 / rates[(b[i + 2] >> 2) & 3] + ((b[i + 2] >> 1) & 1);
        const std::size_t side = i + 4 + ((b[i + 1] & 1) ? 0 : 2);
        if (side + 2 > b.size()) {
            w.broken = true;
            break;
        }
        const unsigned mainDataBegin = (unsigned(b[side]) << 1) | (b[side + 1] >> 7);
        ++w.frames;
        w.otherRate += rate != 128;
        w.reservoirFrames += mainDataBegin != 0;
        i += len;
    }
    return w;
}

// Files in Dir (names), to see that nothing half-written or hidden is left behind.
QStringList filesIn(const fs::path &Dir)
{
    QStringList names;
    for (const auto &e : fs::directory_iterator(Dir))
        names << QString::fromStdString(e.path().filename().string());
    names.sort();
    return names;
}

// Decoded sample frames of File by our own decoder (the count a clip of the whole is compared
// with).
long long decodedFrames(const QString &File)
{
    TMP3In in;
    in.SetHighPrecision(true);
    in.SetFileName(File.toStdString());
    in.Init();
    std::vector<std::uint8_t> block(65536);
    long long bytes = 0;
    for (;;) {
        bool eof = false;
        const std::uint32_t n = in.FillBuffer(block.data(), static_cast<std::uint32_t>(block.size()), eof);
        bytes += n;
        if (n == 0 || eof)
            break;
    }
    in.Flush();
    return bytes / 4;
}

// A shown window on File whose save dialog answers Target.
struct Saver {
    TrimEnv env;
    TForm1 f;
    Saver(const QString &File, const QString &Target) : f({File})
    {
        env.answer = Target;
        f.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&f));
    }
    // Drags a bar of the band (its edge at bitmap column From) by the mouse to column To.
    void dragBar(double From, double To, int Inwards)
    {
        dragBandBar(f.Image1, From, To, Inwards);
    }
    // The window is open for the next action: not saving, toolbar in its stopped mode.
    void expectUnlocked()
    {
        EXPECT_FALSE(f.SavingClip);
        EXPECT_TRUE(f.BitBtn1->isEnabled());
        EXPECT_TRUE(f.btnOpen->isEnabled());
        EXPECT_TRUE(f.btnSave->isEnabled());
        EXPECT_TRUE(f.btnPlay->isEnabled());
        EXPECT_TRUE(f.svolume->isEnabled());
        EXPECT_FALSE(f.btnStop->isEnabled());
        // No hourglass (the pointer shape a bar under the mouse asked for may stay).
        const QCursor *c = QApplication::overrideCursor();
        EXPECT_TRUE(!c || c->shape() != Qt::WaitCursor);
    }
};

} // namespace

TEST(TrimClip, BoundWritesEndWhenTheValueHoldsAndGiveUpOnADecoderThatRefusesIt)
{
    std::int64_t stored = -1;
    int writes = 0, pumps = 0;
    const auto read = [&] { return stored; };
    const auto pump = [&] { ++pumps; };
    EXPECT_TRUE(WriteUntilReadBack(495000, [&](std::int64_t v) { ++writes, stored = v; }, read, pump));
    EXPECT_EQ(writes, 1);
    EXPECT_EQ(pumps, 1);
    // Already there: nothing is written.
    EXPECT_TRUE(WriteUntilReadBack(495000, [&](std::int64_t) { ++writes; }, read, pump));
    EXPECT_EQ(writes, 1);
    // Never taken: a bounded number of attempts, each followed by processing events.
    writes = pumps = 0;
    EXPECT_FALSE(WriteUntilReadBack(7, [&](std::int64_t) { ++writes; }, read, pump, 5));
    EXPECT_EQ(writes, 5);
    EXPECT_EQ(pumps, 5);
}

TEST(TrimClip, AFinishedClipReplacesItsTargetAndAFailedOneLeavesNothing)
{
    testsupport::TempDir dir;
    const QString target = QString::fromStdString((dir / "clip.mp3").string());
    const QString part = ClipPartFileName(target, 0xC0FFEEu);
    EXPECT_EQ(QFileInfo(part).absolutePath(), QFileInfo(target).absolutePath());
    EXPECT_TRUE(QFileInfo(part).fileName().startsWith(QStringLiteral(".clip.mp3.")));
    EXPECT_NE(part, ClipPartFileName(target, 0xC0FFEFu));

    const auto write = [](const QString &name, const char *text) {
        std::ofstream(name.toStdString(), std::ios::binary) << text;
    };
    write(target, "the old file");
    write(part, "the new clip");
    QString error;
    ASSERT_TRUE(PutClipInPlace(part, target, error)) << error.toStdString();
    EXPECT_EQ(testsupport::readFile(target.toStdString()).size(), std::strlen("the new clip"));
    EXPECT_EQ(filesIn(dir.path()), QStringList{QStringLiteral("clip.mp3")});

    // A private file stays private when a clip replaces it.
    QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner);
    write(part, "a private clip");
    ASSERT_TRUE(PutClipInPlace(part, target, error)) << error.toStdString();
    EXPECT_EQ(fs::status(target.toStdString()).permissions(), fs::perms::owner_read | fs::perms::owner_write);

    // Into a folder that is not there: the clip goes, the old file stays.
    write(part, "another clip");
    const QString nowhere = QString::fromStdString((dir / "missing" / "clip.mp3").string());
    EXPECT_FALSE(PutClipInPlace(part, nowhere, error));
    EXPECT_TRUE(error.contains(nowhere));
    EXPECT_EQ(filesIn(dir.path()), QStringList{QStringLiteral("clip.mp3")});
}

// The whole picture selected writes the whole file again, at a constant 128 kbit/s with no
// bit reservoir, as long as the source within one MP3 frame plus the encoder's delay.
TEST(TrimSave, WholeSelectionWritesTheWholeFileAgainAt128kConstantRate)
{
    REQUIRE_PEERS("ffprobe", "mpg123");
    testsupport::TempDir out;
    const QString clip = QString::fromStdString((out / "whole.mp3").string());
    Saver s(files().tone3(), clip);
    ASSERT_TRUE(s.f.btnSave->isEnabled());
    s.f.btnSave->click();
    EXPECT_EQ(s.env.dialogs, QList<TTrimFileDialog::Kind>{TTrimFileDialog::Save});
    EXPECT_TRUE(s.env.messages.isEmpty()) << s.env.messages.join(u'\n').toStdString();
    s.expectUnlocked();
    EXPECT_EQ(filesIn(out.path()), QStringList{QStringLiteral("whole.mp3")});

    const auto info = testsupport::probe(clip.toStdString());
    EXPECT_EQ(info.at("stream.codec_name"), "mp3");
    EXPECT_EQ(info.at("stream.bit_rate"), "128000");
    EXPECT_EQ(info.at("stream.sample_rate"), "44100");
    EXPECT_EQ(info.at("stream.channels"), "2");
    const FrameWalk w = walkFrames(clip.toStdString());
    EXPECT_FALSE(w.broken);
    EXPECT_GT(w.frames, 100);
    EXPECT_EQ(w.otherRate, 0);
    EXPECT_EQ(w.reservoirFrames, 0);

    const long long source = decodedFrames(files().tone3());
    const long long got = testsupport::mpg123DecodedFrames(clip.toStdString(), 2);
    EXPECT_GE(got, source - 1152);
    EXPECT_LE(got, source + 1152 + 1105);
}

// A stretch chosen with both bars: the clip is as long as the stretch (within one frame plus
// the encoder's delay) and its sound begins where the source's does within the stretch.
TEST(TrimSave, PartialSelectionWritesTheStretch)
{
    REQUIRE_PEERS("ffmpeg", "mpg123");
    testsupport::TempDir out;
    const QString clip = QString::fromStdString((out / "part.mp3").string());
    Saver s(files().gap4(), clip);
    const std::int64_t T = s.f.MP3In1->TotalSamples();
    // The start at about 1.5 s, the end at about 3.5 s.
    const double c1 = 1.5 * 44100 * 1920 / (static_cast<double>(T) * 0.99);
    const double c2 = 3.5 * 44100 * 1920 / static_cast<double>(T);
    s.dragBar(0, c1, 1);
    s.dragBar(1920, c2, -1);
    ASSERT_NEAR(static_cast<double>(s.f.SelStart), c1, 2);
    ASSERT_NEAR(static_cast<double>(s.f.SelEnd), c2, 2);
    const long long start = std::llrint(static_cast<double>(T) * static_cast<double>(s.f.PlayStart) * 0.99 / 1920);
    const long long end = std::llrint(static_cast<double>(T) * static_cast<double>(s.f.PlayEnd) / 1920);

    s.f.btnSave->click();
    EXPECT_TRUE(s.env.messages.isEmpty()) << s.env.messages.join(u'\n').toStdString();
    s.expectUnlocked();
    EXPECT_EQ(s.f.PlayStart, s.f.SelStart);

    const long long got = testsupport::mpg123DecodedFrames(clip.toStdString(), 2);
    EXPECT_GE(got, end - start - 1152);
    EXPECT_LE(got, end - start + 1152 + 1105);
    const auto source = testsupport::decodeOnsets(files().gap4().toStdString(), 2, {0});
    const auto clipped = testsupport::decodeOnsets(clip.toStdString(), 2, {0});
    ASSERT_GT(source.Onsets.at(0), 0);
    ASSERT_GE(clipped.Onsets.at(0), 0);
    EXPECT_NEAR(static_cast<double>(clipped.Onsets.at(0)), static_cast<double>(source.Onsets.at(0) - start), 1105 + 100);
    EXPECT_EQ(walkFrames(clip.toStdString()).reservoirFrames, 0);
}

// Cancelling the dialog changes nothing but resetting the decoder.
TEST(TrimSave, CancellingTheDialogChangesNothing)
{
    testsupport::TempDir out;
    Saver s(files().tone3(), QString());
    s.dragBar(0, 480, 1);
    const long double start = s.f.SelStart;
    const QStringList before = filesIn(fs::path(files().tone3().toStdString()).parent_path());
    s.f.btnSave->click();
    EXPECT_EQ(s.env.dialogs.size(), 1);
    EXPECT_FALSE(s.f.MP3In1->IsBusy());
    EXPECT_EQ(s.f.SelStart, start);
    EXPECT_EQ(s.f.PlayStart, start);
    EXPECT_EQ(filesIn(fs::path(files().tone3().toStdString()).parent_path()), before);
    EXPECT_TRUE(s.env.messages.isEmpty());
    s.expectUnlocked();
}

// Closing the window while a clip is written waits for it: the clip is complete.
TEST(TrimSave, ClosingDuringASaveWaitsForTheCompleteClip)
{
    REQUIRE_PEERS("mpg123");
    // Every 5 ms: the close comes while the encoder runs. Every pass of the event loop: the
    // close comes while the save is still being set up, before the encoder has started.
    for (const int interval : {5, 0}) {
        SCOPED_TRACE(interval);
        testsupport::TempDir out;
        const QString clip = QString::fromStdString((out / "long.mp3").string());
        Saver s(files().tone30(), clip);
        bool closeAsked = false;
        QTimer closer;
        QObject::connect(&closer, &QTimer::timeout, [&] {
            if (s.f.SavingClip && !closeAsked) {
                closeAsked = true;
                s.f.close();
            }
        });
        closer.start(interval);
        s.f.btnSave->click();
        closer.stop();
        EXPECT_TRUE(closeAsked);
        EXPECT_FALSE(s.f.isVisible());
        EXPECT_TRUE(s.env.messages.isEmpty()) << s.env.messages.join(u'\n').toStdString();
        EXPECT_EQ(filesIn(out.path()), QStringList{QStringLiteral("long.mp3")});
        const long long got = testsupport::mpg123DecodedFrames(clip.toStdString(), 2);
        EXPECT_GE(got, 30 * 44100 - 1152);
        TTrimStore store(TForm1::RegistryKey());
        EXPECT_GT(store.ReadDateTime(QStringLiteral("Snipolux"), QStringLiteral("LastRun"), 0), 40000);
    }
}

// The open file chosen as the clip's name: it becomes the clip, and the window goes on with
// what it had read.
TEST(TrimSave, SavingOntoTheOpenFileReplacesItWithTheClip)
{
    REQUIRE_PEERS("mpg123");
    testsupport::TempDir dir;
    const QString file = QString::fromStdString((dir / "song.mp3").string());
    fs::copy_file(files().tone3().toStdString(), file.toStdString());
    Saver s(file, file);
    s.dragBar(0, 960, 1);
    s.f.btnSave->click();
    EXPECT_TRUE(s.env.messages.isEmpty()) << s.env.messages.join(u'\n').toStdString();
    s.expectUnlocked();
    EXPECT_EQ(filesIn(dir.path()), QStringList{QStringLiteral("song.mp3")});
    const long long got = testsupport::mpg123DecodedFrames(file.toStdString(), 2);
    EXPECT_NEAR(static_cast<double>(got), 3 * 44100 * 0.5, 0.05 * 3 * 44100);
    EXPECT_EQ(walkFrames(file.toStdString()).otherRate, 0);
}

// A disk that fills up: the encoder's message, the window unlocked, no partial file, and the
// source (saved onto itself) untouched. A folder that is a file: the same.
TEST(TrimSave, AFailingWriteLeavesTheSourceAndNoPartialFile)
{
    testsupport::TempDir dir;
    testsupport::SmallDisk disk(dir.path());
    if (!disk.mounted())
        GTEST_SKIP() << disk.error();
    const QString file = QString::fromStdString((disk / "song.mp3").string());
    // 48 KB: it fits on the 64 KiB disk, but not twice.
    fs::copy_file(files().tone3at128().toStdString(), file.toStdString());
    const std::vector<std::uint8_t> original = testsupport::readFile(file.toStdString());
    ASSERT_GT(original.size(), 40000u);
    {
        Saver s(file, file);
        s.f.btnSave->click();
        EXPECT_EQ(s.env.messages, QStringList{QStringLiteral("Error writing down mp3 file")});
        s.expectUnlocked();
    }
    EXPECT_EQ(filesIn(disk.path()), QStringList{QStringLiteral("song.mp3")});
    EXPECT_EQ(testsupport::readFile(file.toStdString()), original);

    std::ofstream((dir / "plain").string()) << "not a folder";
    Saver s(files().tone3(), QString::fromStdString((dir / "plain" / "clip.mp3").string()));
    s.f.btnSave->click();
    ASSERT_EQ(s.env.messages.size(), 1);
    EXPECT_FALSE(s.env.messages.constFirst().isEmpty());
    s.expectUnlocked();
    EXPECT_TRUE(fs::is_regular_file(dir / "plain"));
}

// Without the encoder library the user is told so by the encoder, and nothing is written. The
// library stays loaded once loaded, so this runs in a process of its own that never loads it.
TEST(TrimSave, WithoutTheEncoderLibraryTheUserIsToldAndNothingIsWritten)
{
    const char *chosen = std::getenv("FONOLUX_LAME_LIBRARY");
    if (!chosen || std::string(chosen) != "libnothing-here.so") {
        int rc = -1;
        const std::string out = testsupport::runCommand(
            "FONOLUX_LAME_LIBRARY=libnothing-here.so /proc/" + std::to_string(getpid()) +
                "/exe --gtest_filter=TrimSave.WithoutTheEncoderLibraryTheUserIsToldAndNothingIsWritten 2>&1",
            &rc);
        EXPECT_EQ(rc, 0) << out;
        EXPECT_NE(out.find("[  PASSED  ] 1 test"), std::string::npos) << out;
        return;
    }
    ASSERT_FALSE(LameLibraryLoaded());
    testsupport::TempDir out;
    Saver s(files().tone3(), QString::fromStdString((out / "clip.mp3").string()));
    s.f.btnSave->click();
    EXPECT_EQ(s.env.messages, QStringList{QStringLiteral("libmp3lame.so.0 library could not be loaded.")});
    s.expectUnlocked();
    EXPECT_TRUE(filesIn(out.path()).isEmpty());
}

// The save dialog itself (Qt's own): a name typed without an extension gets ".mp3", and the
// clip is written under it.
TEST(TrimSave, TheSaveDialogTakesATypedNameAndAddsTheExtension)
{
    testsupport::TempDir out;
    Saver s(files().tone3(), QString());
    TTrimFileDialog::ExecuteHook = {};
    const QString typed = QString::fromStdString((out / "typed").string());
    bool answered = false;
    QTimer typist;
    QObject::connect(&typist, &QTimer::timeout, [&] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog || answered)
            return;
        auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        if (!name)
            return;
        answered = true;
        name->setText(typed);
        QTest::keyClick(name, Qt::Key_Return);
    });
    typist.start(20);
    s.f.btnSave->click();
    typist.stop();
    EXPECT_TRUE(answered);
    EXPECT_TRUE(s.env.messages.isEmpty()) << s.env.messages.join(u'\n').toStdString();
    EXPECT_EQ(filesIn(out.path()), QStringList{QStringLiteral("typed.mp3")});
    EXPECT_EQ(walkFrames(out / "typed.mp3").otherRate, 0);
    s.expectUnlocked();
}
