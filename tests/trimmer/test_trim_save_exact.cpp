// Saving a clip without re-encoding from the trimmer's window: the key and the button, the
// clip's samples against FFmpeg's decode of the source, the source's bit rate kept, saving
// over the open file, and a failure leaving nothing behind.
#include "TrimTestSupport.h"

#include "AuMp3In.h"

#include <QAccessible>
#include <QTest>
#include <QToolButton>

#include <cmath>
#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

std::vector<float> ffmpegFloats(const QString &File)
{
    int rc = 0;
    const std::string out = testsupport::runCommand(
        "ffmpeg -v error -i " + testsupport::shellQuote(File.toStdString()) + " -f f32le -c:a pcm_f32le - 2>/dev/null",
        &rc);
    std::vector<float> v(out.size() / sizeof(float));
    std::memcpy(v.data(), out.data(), v.size() * sizeof(float));
    return v;
}

QStringList filesIn(const fs::path &Dir)
{
    QStringList names;
    for (const auto &e : fs::directory_iterator(Dir))
        names << QString::fromStdString(e.path().filename().string());
    names.sort();
    return names;
}

// Four seconds of a tone with noise bursts at 192 kbit/s (the bit reservoir in use), made once.
QString source192(const testsupport::TempDir &Dir)
{
    const QString p = QString::fromStdString((Dir / "source.mp3").string());
    const auto tone = testsupport::sinePcm16(44100, 2, 4 * 44100);
    std::vector<std::int16_t> pcm(tone);
    std::uint32_t seed = 1;
    for (std::size_t i = 0; i < pcm.size(); ++i) {
        seed = seed * 1664525u + 1013904223u;
        if ((i / 8000) % 3 == 0)
            pcm[i] = static_cast<std::int16_t>(pcm[i] / 2 + static_cast<std::int16_t>(seed >> 20) - 2048);
    }
    EXPECT_TRUE(pcmToMp3(pcm, 44100, 2, p, "-b:a 192k"));
    return p;
}

struct Window {
    TrimEnv env;
    TForm1 f;
    explicit Window(const QString &File) : f({File})
    {
        f.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&f));
    }
    void dragBar(double From, double To, int Inwards)
    {
        dragBandBar(f.Image1, From, To, Inwards);
    }
    void expectUnlocked()
    {
        EXPECT_FALSE(f.SavingClip);
        for (QToolButton *b : {f.BitBtn1, f.btnOpen, f.btnSave, f.btnSaveExact, f.btnPlay})
            EXPECT_TRUE(b->isEnabled()) << b->objectName().toStdString();
        const QCursor *c = QApplication::overrideCursor();
        EXPECT_TRUE(!c || c->shape() != Qt::WaitCursor);
    }
};

} // namespace

// The marked stretch through Ctrl+Shift+S: FFmpeg decodes the clip to exactly the source's
// samples of that stretch, and the clip keeps the source's 192 kbit/s.
TEST(TrimSaveExact, KeySavesTheMarkedStretchSampleForSample)
{
    REQUIRE_PEERS("ffmpeg", "ffprobe");
    testsupport::TempDir dir;
    const QString file = source192(dir);
    const std::vector<float> whole = ffmpegFloats(file);
    testsupport::TempDir out;
    const QString clip = QString::fromStdString((out / "clip.mp3").string());
    Window w(file);
    w.env.answer = clip;
    EXPECT_EQ(QAccessible::queryAccessibleInterface(w.f.btnSaveExact)->text(QAccessible::Name),
              QStringLiteral("Save Clip Without Re-encoding"));
    // The picture's columns stand for the decoder's estimate of the length, as for the
    // re-encoding save; the stretch is then clamped to the file's real end.
    const std::int64_t T = w.f.MP3In1->TotalSamples();
    ASSERT_GE(static_cast<std::size_t>(T) * 2, whole.size());
    w.dragBar(0, 1920 * 0.3, 1);
    w.dragBar(1920, 1920 * 0.7, -1);
    const long long start = std::llrint(static_cast<double>(T) * static_cast<double>(w.f.PlayStart) * 0.99 / 1920);
    const long long end = std::llrint(static_cast<double>(T) * static_cast<double>(w.f.PlayEnd) / 1920);
    ASSERT_GT(start, 44100);
    ASSERT_LT(end * 2, static_cast<long long>(whole.size()) - 44100);

    // As the window system delivers it, so that the shortcut applies; the button is clicked
    // the animated way, about 100 ms later.
    w.f.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w.f));
    QTest::keyClick(w.f.windowHandle(), Qt::Key_S, Qt::ControlModifier | Qt::ShiftModifier);
    ASSERT_TRUE(spinUntil([&] { return !w.env.dialogs.isEmpty(); }, 5000));
    EXPECT_EQ(w.env.dialogs, QList<TTrimFileDialog::Kind>{TTrimFileDialog::Save});
    EXPECT_TRUE(w.env.messages.isEmpty()) << w.env.messages.join(u'\n').toStdString();
    w.expectUnlocked();
    EXPECT_EQ(filesIn(out.path()), QStringList{QStringLiteral("clip.mp3")});

    const std::vector<float> got = ffmpegFloats(clip);
    ASSERT_EQ(static_cast<long long>(got.size()), (end - start) * 2);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), whole.begin() + start * 2));
    EXPECT_EQ(testsupport::probe(clip.toStdString()).at("stream.bit_rate"), "192000");
}

// The open file itself may be the target: it is replaced in one step, and the window keeps
// playing from its own copy in memory.
TEST(TrimSaveExact, SavingOverTheOpenFileReplacesIt)
{
    REQUIRE_PEERS("ffmpeg");
    testsupport::TempDir dir;
    const QString file = source192(dir);
    const std::size_t before = testsupport::readFile(file.toStdString()).size();
    Window w(file);
    w.env.answer = file;
    w.dragBar(1920, 1920 * 0.5, -1);
    w.f.btnSaveExact->click();
    EXPECT_TRUE(w.env.messages.isEmpty()) << w.env.messages.join(u'\n').toStdString();
    w.expectUnlocked();
    EXPECT_EQ(filesIn(dir.path()).filter(QStringLiteral(".part")), QStringList());
    const std::size_t after = testsupport::readFile(file.toStdString()).size();
    EXPECT_LT(after, before * 6 / 10);
    EXPECT_GT(after, before * 4 / 10);
}

// A clip that cannot be written says why, naming the chosen file, and leaves nothing.
TEST(TrimSaveExact, FailuresSayWhyAndLeaveNothing)
{
    REQUIRE_PEERS("ffmpeg");
    testsupport::TempDir dir;
    const QString file = source192(dir);
    Window w(file);
    const QString nowhere = QString::fromStdString((dir / "missing" / "clip.mp3").string());
    w.env.answer = nowhere;
    w.f.btnSaveExact->click();
    ASSERT_EQ(w.env.messages.size(), 1);
    EXPECT_TRUE(w.env.messages[0].contains(nowhere)) << w.env.messages[0].toStdString();
    w.expectUnlocked();
    EXPECT_EQ(filesIn(dir.path()), QStringList{QStringLiteral("source.mp3")});
}
