// Playing in the trimmer's window through SDL's disk driver: the bytes the device played are
// compared with the decoder's own output of the same file, so a stretch that starts or ends
// in the wrong place, a lost or repeated block, a wrong speed or volume all show.
#include "TrimTestSupport.h"

#include "DiskAudio.h"
#include "TrimStore.h"

#include "AuMp3In.h"
#include "AuSoundOut.h"

#include <QSlider>
#include <QTest>
#include <QToolButton>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>

using testsupport::DiskAudio;

namespace {

using Bytes = std::vector<std::uint8_t>;

// Noise never repeats, so a piece of it is found in one place only.
bool noiseMp3(const QString &Mp3, double Seconds, unsigned Rate = 44100)
{
    std::vector<std::int16_t> pcm(static_cast<std::size_t>(Seconds * Rate) * 2);
    std::uint32_t x = 12345;
    for (auto &v : pcm) {
        x = x * 1664525u + 1013904223u;
        v = static_cast<std::int16_t>(static_cast<int>(x >> 16) % 16001 - 8000);
    }
    return pcmToMp3(pcm, Rate, 2, Mp3);
}

// Noise files, each made the first time a test asks for it.
QString noiseFile(double Seconds)
{
    static testsupport::TempDir *dir = new testsupport::TempDir;
    const QString p = QString::fromStdString((*dir / ("noise" + std::to_string(int(Seconds)) + ".mp3")).string());
    if (!QFile::exists(p)) {
        EXPECT_TRUE(noiseMp3(p, Seconds));
    }
    return p;
}

// The whole file as the decoder delivers it, read in one run from the first frame.
Bytes decodeWhole(const QString &Mp3)
{
    TMP3In in;
    in.SetHighPrecision(true);
    in.SetOutputChannels(cnMonoOrStereo);
    in.SetFileName(Mp3.toStdString());
    Bytes out;
    in.Init();
    std::vector<std::uint8_t> block(65536);
    for (;;) {
        bool eof = false;
        const std::uint32_t n = in.FillBuffer(block.data(), static_cast<std::uint32_t>(block.size()), eof);
        out.insert(out.end(), block.begin(), block.begin() + n);
        if (n == 0 || eof)
            break;
    }
    in.Flush();
    return out;
}

// Where frame Frame of the decoded file lies in the played bytes: a piece of 2048 frames from
// there is looked up in Played. -1 when it is not there.
long playedOffsetOf(const Bytes &Played, const Bytes &Whole, long Frame)
{
    const std::size_t at = static_cast<std::size_t>(Frame) * 4;
    if (at + 2048 * 4 > Whole.size())
        return -1;
    const auto probeEnd = Whole.begin() + static_cast<long>(at + 2048 * 4);
    const auto it = std::search(Played.begin(), Played.end(),
                                std::boyer_moore_horspool_searcher(Whole.begin() + static_cast<long>(at), probeEnd));
    return it == Played.end() ? -1 : static_cast<long>(it - Played.begin());
}

bool allZero(const Bytes &b, std::size_t from, std::size_t to)
{
    return std::all_of(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(to),
                       [](std::uint8_t v) { return v == 0; });
}

double rms(const Bytes &b, std::size_t fromByte, std::size_t toByte)
{
    double sum = 0;
    std::size_t n = 0;
    for (std::size_t i = fromByte; i + 2 <= toByte; i += 2, ++n) {
        std::int16_t v;
        std::memcpy(&v, &b[i], 2);
        sum += double(v) * v;
    }
    return n ? std::sqrt(sum / double(n)) : 0;
}

// A window on File, shown, with the volume at full level (the played bytes are then the
// decoded ones) unless Volume says otherwise.
struct Player {
    TrimEnv env;
    testsupport::TempDir dir;
    DiskAudio disk;
    TForm1 f;
    explicit Player(const QString &File, int Volume = 0) : disk(dir / "played.raw"), f({File})
    {
        f.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&f));
        f.svolume->setValue(Volume);
    }
    Bytes played() const { return disk.Played(); }
    bool idle() const { return f.DXAudioOut1->Status() == tosIdle; }
    // Runs events until the device has played Frames frames after Offset bytes of silence.
    bool waitPlayed(std::size_t Bytes, int TimeoutMs = 15000)
    {
        return spinUntil([&] { return disk.Played().size() >= Bytes; }, TimeoutMs);
    }
    // The colour of column c of the picture on its drawn line.
    QRgb column(int c) const
    {
        const auto [y0, y1] = WaveLineEnds(f.values[static_cast<std::size_t>(c)], f.Image1->height());
        const int y = std::clamp((y0 + y1) / 2, 0, f.Image1->Bitmap.height() - 1);
        return f.Image1->Bitmap.pixel(c, y);
    }
    // Drags the band's left bar by the mouse to bitmap column Column.
    void dragLeftBarTo(double Column)
    {
        TLayeredImage *img = f.Image1;
        const double midY = img->Bitmap.height() / 2.0;
        const QPoint from = img->BitmapToControl(QPointF(f.BandLocation().Left, midY)).toPoint() + QPoint(1, 0);
        const QPoint to = img->BitmapToControl(QPointF(Column, midY)).toPoint() + QPoint(1, 0);
        QTest::mouseMove(img, from);
        QTest::mousePress(img, Qt::LeftButton, {}, from);
        QTest::mouseMove(img, QPoint((from.x() + to.x()) / 2, to.y()));
        QTest::mouseMove(img, to);
        QTest::mouseRelease(img, Qt::LeftButton, {}, to);
    }
};

constexpr QRgb Green = 0xFF00FF00, Grey = 0xFF7F7F7F;

} // namespace

// The whole picture selected plays the whole file, byte for byte, and nothing else; the played
// part turns green while it plays and grey again at the end.
TEST(TrimPlay, WholeSelectionPlaysTheWholeFileAndColoursThePlayedPart)
{
    const Bytes whole = decodeWhole(noiseFile(3));
    ASSERT_GT(whole.size(), 44100u * 4);
    Player p(noiseFile(3));
    ASSERT_EQ(p.f.FrameBytes, 4);

    p.f.btnPlay->click();
    EXPECT_FALSE(p.f.btnPlay->isEnabled());
    EXPECT_TRUE(p.f.btnStop->isEnabled());
    EXPECT_FALSE(p.f.btnSave->isEnabled());
    EXPECT_FALSE(p.f.sSpeed->isEnabled());
    // About half way (the device also played some silence before the sound).
    ASSERT_TRUE(p.waitPlayed(whole.size() / 2 + 44100));
    spinUntil([] { return false; }, 120); // a timer tick redraws
    EXPECT_EQ(p.column(5), Green);
    EXPECT_EQ(p.column(1600), Grey); // the last third of a second has no column
    screenshot(p.f, QStringLiteral("trimmer-playing"));

    ASSERT_TRUE(spinUntil([&] { return p.idle() && p.f.btnPlay->isEnabled(); }));
    EXPECT_EQ(p.column(5), Grey);
    EXPECT_TRUE(p.f.btnSave->isEnabled());

    const Bytes played = p.played();
    const long at = playedOffsetOf(played, whole, 5000);
    ASSERT_GE(at, 5000 * 4) << "the middle of the file was not played";
    const std::size_t first = static_cast<std::size_t>(at - 5000 * 4);
    ASSERT_LE(first + whole.size(), played.size()) << "the end of the file was not played";
    EXPECT_EQ(std::memcmp(played.data() + first, whole.data(), whole.size()), 0);
    EXPECT_TRUE(allZero(played, 0, first)) << "something was played before the file";
    EXPECT_TRUE(allZero(played, first + whole.size(), played.size())) << "something was played after the file";
    EXPECT_TRUE(p.env.messages.isEmpty()) << p.env.messages.join(u'\n').toStdString();
}

// The left bar dragged to the middle: playback starts at 99 % of the middle's share. Paused
// and then stopped, the next play starts there again and the pause button stays down.
TEST(TrimPlay, DraggedStartPlaysFromItsShareAndPauseThenStopStartsThereAgain)
{
    const Bytes whole = decodeWhole(noiseFile(3));
    Player p(noiseFile(3));
    p.dragLeftBarTo(960);
    ASSERT_NEAR(static_cast<double>(p.f.SelStart), 960, 2);
    EXPECT_EQ(p.f.PlayStart, p.f.SelStart);
    EXPECT_EQ(p.f.PlayEnd, 1920);
    const std::int64_t T = p.f.MP3In1->TotalSamples();
    const long start = static_cast<long>(std::nearbyint(static_cast<double>(T) * static_cast<double>(p.f.SelStart) * 0.99 / 1920));
    if (p.f.SelStart == 960) {
        EXPECT_EQ(start, std::lrint(static_cast<double>(T) * 0.495));
    }

    const auto expectStartsAt = [&](const char *run) {
        SCOPED_TRACE(run);
        const Bytes played = p.played();
        const long at = playedOffsetOf(played, whole, start + 5000);
        ASSERT_GE(at, 0) << "the stretch's start was not played";
        const std::size_t first = static_cast<std::size_t>(at - 5000 * 4);
        EXPECT_TRUE(allZero(played, 0, first)) << "something before the stretch was played";
        // From the fourth MP3 frame on a decode from a seek equals a continuous one.
        const std::size_t skip = 4 * 1152 * 4;
        EXPECT_EQ(std::memcmp(played.data() + first + skip, whole.data() + start * 4 + skip, 5000 * 4 - skip), 0);
    };

    p.f.btnPlay->click();
    ASSERT_TRUE(p.waitPlayed(44100 * 4));
    p.f.btnPause->click();
    EXPECT_TRUE(p.f.btnPause->isChecked());
    EXPECT_EQ(p.f.DXAudioOut1->Status(), tosPaused);
    EXPECT_FALSE(p.f.btnStop->isEnabled()); // paused: Stop is not offered...
    p.f.Button4Click();                     // ...but stopping from the pause still works
    EXPECT_TRUE(p.idle());
    EXPECT_TRUE(p.f.btnPlay->isEnabled());
    EXPECT_TRUE(p.f.btnPause->isChecked());
    EXPECT_EQ(p.f.PlayStart, p.f.SelStart);
    expectStartsAt("first run");

    // The next run's device starts the file anew; until it does, the old bytes must not count.
    std::filesystem::remove(p.disk.File());
    p.f.btnPlay->click();
    EXPECT_EQ(p.f.DXAudioOut1->Status(), tosPlaying);
    ASSERT_TRUE(p.waitPlayed(44100 * 4));
    expectStartsAt("after pause and stop");
    EXPECT_TRUE(p.f.btnPause->isChecked());
    p.f.btnStop->click();
    EXPECT_TRUE(p.idle());
}

// Speed 150 set while stopped plays a 44100 Hz file at 66150 Hz (the buffer of 200 ms then
// holds 13230 frames); the reset button returns the slider to 100 and the factor to 1.0.
TEST(TrimPlay, SpeedSetWhileStoppedActsOnTheNextPlaybackAndResetReturnsToNormal)
{
    Player p(noiseFile(2));
    p.f.sSpeed->setValue(150);
    EXPECT_FLOAT_EQ(p.f.DXAudioOut1->SpeedFactor(), 1.5f);
    p.f.btnPlay->click();
    ASSERT_TRUE(p.waitPlayed(1));
    EXPECT_EQ(p.f.DXAudioOut1->FramesInBuffer(), 66150u * 200 / 1000);
    p.f.btnStop->click();

    p.f.btnrstspd->click();
    EXPECT_EQ(p.f.sSpeed->value(), 100);
    EXPECT_FLOAT_EQ(p.f.DXAudioOut1->SpeedFactor(), 1.0f);
    p.f.btnPlay->click();
    ASSERT_TRUE(spinUntil([&] { return p.f.DXAudioOut1->FramesInBuffer() != 66150u * 200 / 1000; }, 5000));
    EXPECT_EQ(p.f.DXAudioOut1->FramesInBuffer(), 44100u * 200 / 1000);
    p.f.btnStop->click();
}

// The volume slider acts during playback (the played level rises when it is moved up), and
// its position is stored when the window closes.
TEST(TrimPlay, VolumeActsDuringPlaybackAndIsStoredAtClose)
{
    const Bytes whole = decodeWhole(noiseFile(2));
    Player p(noiseFile(2), -2500);
    p.f.btnPlay->click();
    ASSERT_TRUE(p.waitPlayed(whole.size() / 2));
    p.f.svolume->setValue(0);
    EXPECT_EQ(p.f.DXAudioOut1->Volume(), 0);
    ASSERT_TRUE(spinUntil([&] { return p.idle(); }));

    const Bytes played = p.played();
    const std::size_t first = testsupport::FirstSound(played, 4, 0);
    const std::size_t end = testsupport::EndOfSound(played, 4, 0);
    ASSERT_GT(end, first + 44100 * 4);
    const double quiet = rms(played, first + 4410 * 4, first + 22050 * 4);
    const double loud = rms(played, end - 22050 * 4, end - 4410 * 4);
    // -25 dB is a gain of about 0.056.
    EXPECT_GT(quiet, 0);
    EXPECT_NEAR(quiet / loud, 0.056, 0.02);

    p.f.close();
    TTrimStore store(TForm1::RegistryKey());
    EXPECT_EQ(store.ReadInteger(QStringLiteral("Set"), QStringLiteral("volume"), -1), 0);
}
