// One file per song and Record This Song from a real loopback station whose source plays
// songs of distinct tones separated by 1-s pauses and whose title is changed through the
// server's admin interface a few seconds after each pause: the files are split in the pauses,
// named and tagged after their titles, and join back to the stream as it was sent.
#include "ReceiveTestSupport.h"

#include "IniFile.h"

#include <QApplication>
#include <QDir>
#include <QToolButton>

#include <chrono>
#include <cstdlib>

namespace {

using Pcm = std::vector<std::int16_t>;
constexpr int Rate = 44100;

// Songs of SongS seconds then a 1-s pause; song k's tone is 400 + 100 * (k mod 6) Hz, with a
// little noise so that any stretch of it is found again only at its own place. StartS moves
// the source's start into the first song.
testsupport::SourceOptions songSource(int SongS, int StartS = 0)
{
    const std::string period = std::to_string(SongS + 1), song = std::to_string(SongS),
                      t = "(t+" + std::to_string(StartS) + ")";
    testsupport::SourceOptions o;
    o.lavfi = "aevalsrc=exprs='if(lt(mod(" + t + "," + period + ")," + song + "),0.4*sin(2*PI*(400+100*mod(floor(" +
              t + "/" + period + "),6))*t)+0.02*(random(0)-0.5),0)':s=44100";
    o.channels = 1;
    o.bitrateKbps = 128;
    return o;
}

int toneOf(int Song)
{
    return 400 + 100 * (Song % 6);
}

// The source's clock: seconds since just before it was started (its lavfi time, give or take
// the start-up).
struct SourceClock {
    std::chrono::steady_clock::time_point t0 = std::chrono::steady_clock::now();
    double now() const { return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(); }
    void waitUntil(double s) const
    {
        while (now() < s)
            QTest::qWait(20);
    }
};

Pcm decode(const QString &File)
{
    const std::string raw = testsupport::runCommand("ffmpeg -nostdin -v error -i " +
                                                    testsupport::shellQuote(File.toStdString()) + " -f s16le -ac 1 -ar 44100 -");
    Pcm pcm(raw.size() / 2);
    std::memcpy(pcm.data(), raw.data(), pcm.size() * 2);
    return pcm;
}

// Seconds of silence (10-ms steps below -40 dBFS) at the start or, From the end, at the end.
double silence(const Pcm &P, bool FromEnd)
{
    constexpr std::size_t step = Rate / 100;
    std::size_t quiet = 0;
    for (std::size_t b = 0; (b + 1) * step <= P.size(); ++b) {
        const std::size_t at = FromEnd ? P.size() - (b + 1) * step : b * step;
        int peak = 0;
        for (std::size_t i = at; i < at + step; ++i)
            peak = std::max(peak, std::abs(static_cast<int>(P[i])));
        if (peak > 330)
            break;
        ++quiet;
    }
    return static_cast<double>(quiet * step) / Rate;
}

double toneHz(const Pcm &P, double FromS, double ToS)
{
    const auto b = P.begin() + static_cast<long>(FromS * Rate), e = P.begin() + static_cast<long>(ToS * Rate);
    return testsupport::ToneHz(Pcm(b, e), 1, Rate);
}

std::string tagOf(const QString &File, const std::string &Key)
{
    const auto info = testsupport::probe(File.toStdString());
    const auto it = info.find("tag." + Key);
    return it == info.end() ? std::string() : it->second;
}

std::string songTitle(int Song)
{
    return "Tone Band - Song of " + std::to_string(toneOf(Song)) + " Hz";
}

} // namespace

TEST(RecordSongs, EachSongGetsAFileOfItsOwnSplitInThePauseTaggedAndJoiningBackToTheStream)
{
    REQUIRE_PEERS("curl", "ffmpeg", "ffprobe");
    const SourceClock clock;
    Station station(songSource(8), "/songs.mp3");
    REQUIRE_STATION(station);
    ReceiveEnv e;
    TForm1 &f = *e.form;
    const QString folder = e.env.home() + QStringLiteral("/My Songs");
    f.cbSongFiles->setChecked(true);
    f.edSongDir->setText(folder);
    ASSERT_TRUE(station.server.setTitle(station.mount, "Tone Band - Joined Late"));
    Capture capture(station, e.env.home() + QStringLiteral("/capture"), 90);
    startIn(e, station, false, rsPlaying, rmAsBroadcast);

    // Recording begins in the middle of a song (what arrives is up to a server's burst
    // behind the source). Each title comes 2 to 3 s after its pause.
    int first = static_cast<int>(clock.now() / 9);
    if (clock.now() > 9.0 * first + 5.5)
        ++first;
    clock.waitUntil(9.0 * first + 5.5);
    f.RecordButtonClick();
    ASSERT_EQ(f.RecState, rsRecordingPlain);
    const double late[] = {2.0, 3.0, 2.5};
    for (int j = 0; j < 3; ++j) {
        clock.waitUntil(9.0 * (first + j) + 8.5 + late[j]);
        ASSERT_TRUE(station.server.setTitle(station.mount, songTitle(first + j + 1)));
    }
    clock.waitUntil(9.0 * (first + 2) + 8.5 + late[2] + 9.0);
    f.RecordButtonClick();
    capture.stop();
    const Pcm sent = decode(capture.file);
    ASSERT_EQ(f.RecState, rsPlaying);
    EXPECT_TRUE(f.statusPanelText().startsWith(QStringLiteral("Saved 4 songs in "))) << f.statusPanelText().toStdString();

    // The station's offset is learned from the three splits and kept for the next recording.
    const IniFile ini(f.inifilename());
    const QStringList stations = ini.keys(QStringLiteral("SongOffsets"));
    ASSERT_EQ(stations.size(), 1);
    EXPECT_EQ(ini.readString(QStringLiteral("SongOffsets"), stations[0], QString()).count(QLatin1Char(',')), 2);

    // The song the recording began in, then three titled ones; the last is cut short.
    QStringList files;
    for (const std::string &title : {std::string("Tone Band - Joined Late"), songTitle(first + 1),
                                     songTitle(first + 2), songTitle(first + 3)})
        files << folder + QLatin1Char('/') + QString::fromStdString(title) + QStringLiteral(".mp3");
    const QStringList made = QDir(folder).entryList(QDir::Files);
    ASSERT_EQ(made.size(), 4) << made.join(QLatin1Char('|')).toStdString() << "\n"
                              << e.env.messages.join(QLatin1Char('\n')).toStdString();
    std::vector<Pcm> songs;
    for (const QString &file : files) {
        SCOPED_TRACE(file.toStdString());
        ASSERT_TRUE(QFileInfo::exists(file)) << made.join(QLatin1Char('|')).toStdString();
        songs.push_back(decode(file));
        ASSERT_GT(songs.back().size(), static_cast<std::size_t>(2 * Rate));
        EXPECT_EQ(tagOf(file, "artist"), "Tone Band");
        EXPECT_EQ(tagOf(file, "album"), testsupport::SourceOptions{}.name);
    }
    EXPECT_EQ(tagOf(files[0], "title"), "Joined Late");
    EXPECT_EQ(tagOf(files[0], "partial"), "yes");
    EXPECT_EQ(tagOf(files[3], "partial"), "yes");
    for (int j = 1; j <= 3; ++j) {
        SCOPED_TRACE(j);
        const Pcm &s = songs[static_cast<std::size_t>(j)];
        const double length = static_cast<double>(s.size()) / Rate;
        EXPECT_NEAR(toneHz(s, 1.0, std::min(7.0, length - 0.5)), toneOf(first + j), 4.0);
        EXPECT_EQ(tagOf(files[j], "title"), songTitle(first + j).substr(12));
        if (j < 3) {
            EXPECT_EQ(tagOf(files[j], "partial"), "");
            // A whole song: 8 s of tone and the pause around it shared with its neighbours.
            EXPECT_NEAR(length, 9.0, 0.1);
        }
        // Each boundary in the pause's middle, give or take 100 ms: the pause is split in
        // two halves, and nothing of it is lost or doubled.
        const double before = silence(songs[static_cast<std::size_t>(j - 1)], true), after = silence(s, false);
        EXPECT_NEAR(before, 0.5, 0.1);
        EXPECT_NEAR(after, 0.5, 0.1);
        EXPECT_NEAR(before + after, 1.0, 0.05);
    }

    // Joined back, the files decode to the stream as sent, sample for sample (past the first
    // three frames, which a decoder starting mid-stream without their bit reservoir and
    // filterbank history makes up in its own way).
    Pcm joined;
    for (const Pcm &s : songs)
        joined.insert(joined.end(), s.begin(), s.end());
    constexpr std::size_t probeAt = 2 * Rate, probeLen = 4096;
    ASSERT_GT(joined.size(), probeAt + probeLen);
    const auto found = std::search(sent.begin(), sent.end(), joined.begin() + probeAt, joined.begin() + probeAt + probeLen);
    ASSERT_NE(found, sent.end()) << "the first song is not found in what the server sent";
    const auto origin = (found - sent.begin()) - static_cast<long>(probeAt);
    ASSERT_GE(origin, 0);
    ASSERT_LE(static_cast<std::size_t>(origin) + joined.size(), sent.size());
    std::size_t differ = 0;
    std::string where;
    for (std::size_t i = 3 * 1152; i < joined.size(); ++i)
        if (std::abs(joined[i] - sent[static_cast<std::size_t>(origin) + i]) > 1 && ++differ <= 8)
            where += " " + std::to_string(i) + ":" + std::to_string(joined[i]) + "/" +
                     std::to_string(sent[static_cast<std::size_t>(origin) + i]);
    std::string lengths;
    for (const Pcm &s : songs)
        lengths += " " + std::to_string(s.size());
    EXPECT_EQ(differ, 0u) << "of " << joined.size() << "; first at" << where << "; songs" << lengths;
}

TEST(RecordSongs, RecordThisSongTwentySecondsInKeepsTheSongFromItsStartWithTheNextAsAChapter)
{
    REQUIRE_PEERS("ffmpeg", "ffprobe");
    // Songs of 24 s; the source starts 14 s into the first, so the pause before the second is
    // at 10 to 11 s of its clock (well after the pre-recording began) and the one before the
    // third at 35 to 36 s.
    const SourceClock clock;
    Station station(songSource(24, 14), "/long.mp3");
    REQUIRE_STATION(station);
    ReceiveEnv e;
    TForm1 &f = *e.form;
    f.PrerecMs = 120000; // one segment holds the whole test
    const QString target = e.env.home() + QStringLiteral("/this song.mp3");
    f.saveDialogHook = [&] { return target; };
    ASSERT_TRUE(station.server.setTitle(station.mount, "Tone Band - First"));
    startIn(e, station, true, rsPrerecStart, rmAsBroadcast);
    clock.waitUntil(10.5 + 2.0);
    ASSERT_TRUE(station.server.setTitle(station.mount, "Tone Band - Second"));

    // Twenty seconds into the second song (a fresh source's burst is what it sent so far, so
    // what arrives is about what the source plays).
    clock.waitUntil(11.0 + 20.0);
    QToolButton *button = f.findChild<QToolButton *>(QStringLiteral("btnRecordSong"));
    ASSERT_TRUE(button);
    EXPECT_EQ(button->accessibleName(), QStringLiteral("Record This Song"));
    ASSERT_TRUE(button->isEnabled());
    // Its key, as the window system delivers it; a shortcut's click comes a moment later.
    f.show();
    QApplication::setActiveWindow(&f);
    f.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
    QTest::keyClick(f.windowHandle(), Qt::Key_T, Qt::ControlModifier);
    QTest::qWait(200);
    ASSERT_EQ(f.RecState, rsRecording) << f.statusPanelText().toStdString();
    EXPECT_FALSE(button->isEnabled());
    clock.waitUntil(35.5 + 2.0);
    ASSERT_TRUE(station.server.setTitle(station.mount, "Tone Band - Third"));
    clock.waitUntil(35.5 + 2.0 + 6.0);
    f.RecordButtonClick();
    ASSERT_EQ(f.RecState, rsPrerecStart) << e.env.messages.join(QLatin1Char('\n')).toStdString();

    const Pcm saved = decode(target);
    ASSERT_GT(saved.size(), static_cast<std::size_t>(20 * Rate)) << e.env.messages.join(QLatin1Char('\n')).toStdString();
    // The song from its first second: half the pause, then its tone.
    EXPECT_NEAR(silence(saved, false), 0.5, 0.1);
    EXPECT_NEAR(toneHz(saved, 0.6, 1.6), toneOf(1), 4.0);
    EXPECT_EQ(tagOf(target, "title"), "Second");

    // The two songs as chapters at their refined times.
    const auto chapters = testsupport::probeChapters(target.toStdString());
    ASSERT_EQ(chapters.size(), 2u);
    EXPECT_EQ(chapters[0].StartMs, 0);
    EXPECT_EQ(chapters[0].Title, "Tone Band - Second");
    EXPECT_EQ(chapters[1].Title, "Tone Band - Third");
    EXPECT_EQ(chapters[1].StartMs, chapters[0].EndMs);
    EXPECT_NEAR(chapters[1].StartMs, 25000, 100);
}
