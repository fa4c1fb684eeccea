// Recording as broadcast from a real loopback station: the saved file's audio frames are the
// very bytes the server sent (a listener's capture of the same mount holds them as one run),
// for MP3 and AAC, through a plain recording and through the join of two ring segments; Ogg
// Vorbis and Opus get pages of their own around the station's packets; a station whose
// packets cannot be kept (Ogg FLAC) is recorded through the MP3 chain instead.
#include "ReceiveTestSupport.h"

#include "Mp3Frames.h"
#include "Processes.h"

#include <QDate>
#include <QDir>
#include <QFileInfo>

#include <algorithm>

namespace {

using Bytes = std::vector<std::uint8_t>;

bool contains(const Bytes &Hay, const Bytes &Needle)
{
    return !Needle.empty() && std::search(Hay.begin(), Hay.end(), Needle.begin(), Needle.end()) != Hay.end();
}

Bytes afterId3v2(const Bytes &File)
{
    if (File.size() < 10 || File[0] != 'I' || File[1] != 'D' || File[2] != '3')
        return File;
    const std::size_t size = (File[6] << 21) | (File[7] << 14) | (File[8] << 7) | File[9];
    return Bytes(File.begin() + static_cast<long>(10 + size), File.end());
}

// The station's frames in a saved file: after the tag, the Info frame and, for MP3, a silent
// frame the cutter may put first to carry a bit reservoir from before the recording (that one
// is checked apart: it must be the only frame not found in the capture).
Bytes stationFrames(const Bytes &File, bool Mp3, const Bytes &Capture)
{
    const Bytes audio = afterId3v2(File);
    if (!Mp3)
        return audio;
    const Mp3FrameIndex index = IndexMp3(audio.data(), audio.size());
    if (index.Frames.size() < 2)
        return {};
    Bytes frames(audio.begin() + static_cast<long>(index.Frames[0].Offset), audio.end());
    if (contains(Capture, frames))
        return frames;
    return Bytes(audio.begin() + static_cast<long>(index.Frames[1].Offset), audio.end());
}

QStringList ringFiles(TForm1 &f)
{
    return QDir(f.path()).entryList({QStringLiteral("temp*.ring.*")}, QDir::Files);
}

// A plain recording of about Ms milliseconds, stopped (and so saved); the ring's files are gone.
void recordPlainAndSave(TForm1 &f, int Ms)
{
    f.RecordButtonClick();
    ASSERT_EQ(f.RecState, rsRecordingPlain);
    QTest::qWait(Ms);
    f.RecordButtonClick();
    EXPECT_TRUE(ringFiles(f).isEmpty());
}

} // namespace

TEST(RecordBroadcast, Mp3AndAacRecordingsHoldTheServersOwnFramesWithTheStationsTags)
{
    REQUIRE_PEERS("curl", "ffprobe");
    for (const char *codec : {"mp3", "aac"}) {
        SCOPED_TRACE(codec);
        const bool mp3 = std::string(codec) == "mp3";
        testsupport::SourceOptions o = noiseSource();
        o.codec = codec;
        Station station(o, mp3 ? "/kept.mp3" : "/kept.aac");
        REQUIRE_STATION(station);
        ReceiveEnv e;
        TForm1 &f = *e.form;
        const QString target = e.env.home() + QStringLiteral("/kept.") + QString::fromLatin1(codec);
        f.saveDialogHook = [&] { return target; };
        Capture capture(station, e.env.home() + QStringLiteral("/capture"));
        startIn(e, station, false, rsPlaying, rmAsBroadcast);
        EXPECT_EQ(f.WMStreamedIn1->BroadcastFormat(), mp3 ? TBroadcastFormat::Mp3 : TBroadcastFormat::Aac);
        f.RecordButtonClick();
        ASSERT_EQ(f.RecState, rsRecordingPlain);
        EXPECT_EQ(f.broadcastFormat(), mp3 ? TBroadcastFormat::Mp3 : TBroadcastFormat::Aac);
        // Nothing is encoded while recording as broadcast.
        EXPECT_EQ(f.WMATap1->Status(), tosIdle);
        QTest::qWait(2500);
        f.RecordButtonClick();
        const Bytes sent = capture.stop();

        EXPECT_EQ(f.RecState, rsPlaying);
        EXPECT_TRUE(ringFiles(f).isEmpty()) << ringFiles(f).join(QLatin1Char(' ')).toStdString();
        const Bytes saved = testsupport::readFile(target.toStdString());
        ASSERT_GT(saved.size(), 10000u) << e.env.messages.join(QLatin1Char('\n')).toStdString();
        const Bytes frames = stationFrames(saved, mp3, sent);
        EXPECT_TRUE(contains(sent, frames)) << "the saved frames are not one run of what the server sent";
        // About 2.5 s of a 128 kbit/s station.
        EXPECT_NEAR(static_cast<double>(frames.size()), 2.5 * 16000, 0.8 * 16000);

        const auto info = testsupport::probe(target.toStdString());
        ASSERT_FALSE(info.empty());
        EXPECT_EQ(info.at("stream.codec_name"), codec);
        EXPECT_EQ(info.at("stream.sample_rate"), "44100");
        EXPECT_EQ(info.count("tag.album") ? info.at("tag.album") : "", o.name);
        EXPECT_EQ(info.count("tag.comment") ? info.at("tag.comment") : "", station.url().toStdString());
        EXPECT_EQ(info.count("tag.date") ? info.at("tag.date") : "",
                  QDate::currentDate().toString(Qt::ISODate).toStdString());
        if (mp3) {
            // The Info frame gives the exact length: the decoders agree on every sample.
            EXPECT_EQ(testsupport::mpg123DecodedFrames(target.toStdString(), 1),
                      testsupport::ffmpegDecodedFrames(target.toStdString(), 1));
        }
    }
}

TEST(RecordBroadcast, AnAacStationCanBeSavedInAnMpeg4FileWithTheStationsTags)
{
    REQUIRE_PEERS("ffprobe");
    testsupport::SourceOptions o = noiseSource();
    o.codec = "aac";
    Station station(o, "/kept.aac");
    REQUIRE_STATION(station);
    ReceiveEnv e;
    TForm1 &f = *e.form;
    f.cbAacFile->setCurrentIndex(afM4a);
    const QString target = e.env.home() + QStringLiteral("/kept.m4a");
    f.saveDialogHook = [&] { return target; };
    startIn(e, station, false, rsPlaying, rmAsBroadcast);
    ASSERT_NO_FATAL_FAILURE(recordPlainAndSave(f, 2500));
    const auto info = testsupport::probe(target.toStdString());
    ASSERT_FALSE(info.empty()) << e.env.messages.join(QLatin1Char('\n')).toStdString();
    EXPECT_NE(info.at("format.format_name").find("mp4"), std::string::npos) << info.at("format.format_name");
    EXPECT_EQ(info.at("stream.codec_name"), "aac");
    EXPECT_NEAR(std::stod(info.at("format.duration")), 2.5, 0.8);
    EXPECT_EQ(info.count("tag.album") ? info.at("tag.album") : "", o.name);
    EXPECT_EQ(info.count("tag.comment") ? info.at("tag.comment") : "", station.url().toStdString());
}

TEST(RecordBroadcast, ARecordingBegunInStateThreeJoinsTheOlderSegmentWithoutAGapAndSavesAutomatically)
{
    REQUIRE_PEERS("curl");
    testsupport::SourceOptions o = noiseSource();
    Station station(o, "/ring.mp3");
    REQUIRE_STATION(station);
    ReceiveEnv e;
    TForm1 &f = *e.form;
    f.PrerecMs = 2000;
    Capture capture(station, e.env.home() + QStringLiteral("/capture"));
    startIn(e, station, true, rsPrerecTap1, rmAsBroadcast);
    EXPECT_EQ(f.WMATap1->Status(), tosIdle);
    EXPECT_EQ(f.WMATap2->Status(), tosIdle);
    f.AutoSave = true;
    f.RecordButtonClick();
    ASSERT_EQ(f.RecStartState, 3);
    QTest::qWait(1500);
    f.RecordButtonClick();
    const Bytes sent = capture.stop();

    const QString target = f.path() + QStringLiteral("AutoSaved/autosave0.mp3");
    EXPECT_EQ(f.lastSaveName(), target);
    EXPECT_EQ(e.env.opened.size(), 1);
    const Bytes saved = testsupport::readFile(target.toStdString());
    ASSERT_GT(saved.size(), 10000u) << e.env.messages.join(QLatin1Char('\n')).toStdString();
    // Both segments, one after the other, byte for byte as sent: a gap or a repeat at the join
    // would break the run.
    const Bytes frames = stationFrames(saved, true, sent);
    EXPECT_TRUE(contains(sent, frames));
    EXPECT_GT(frames.size(), 3.3 * 16000);
    // The ring goes on after the save.
    EXPECT_EQ(f.RecState, rsPrerecStart);
    EXPECT_TRUE(f.packetRing().Running());
}

TEST(RecordBroadcast, OggVorbisAndOpusRecordingsAreWholeOggFilesWithTheStationsTags)
{
    REQUIRE_PEERS("ffprobe", "ffmpeg");
    for (const char *codec : {"ogg", "opus"}) {
        SCOPED_TRACE(codec);
        const bool opus = std::string(codec) == "opus";
        testsupport::SourceOptions o;
        o.codec = codec;
        o.bitrateKbps = 96;
        Station station(o, opus ? "/kept.opus" : "/kept.ogg");
        REQUIRE_STATION(station);
        ReceiveEnv e;
        TForm1 &f = *e.form;
        const QString target = e.env.home() + QStringLiteral("/kept.") + QString::fromLatin1(codec);
        f.saveDialogHook = [&] { return target; };
        startIn(e, station, false, rsPlaying, rmAsBroadcast);
        ASSERT_EQ(f.WMStreamedIn1->BroadcastFormat(), opus ? TBroadcastFormat::Opus : TBroadcastFormat::Vorbis);
        ASSERT_NO_FATAL_FAILURE(recordPlainAndSave(f, 2500));

        const auto info = testsupport::probe(target.toStdString());
        ASSERT_FALSE(info.empty()) << e.env.messages.join(QLatin1Char('\n')).toStdString();
        EXPECT_EQ(info.at("stream.codec_name"), opus ? "opus" : "vorbis");
        EXPECT_NEAR(std::stod(info.at("format.duration")), 2.5, 0.9);
        EXPECT_EQ(info.count("tag.album") ? info.at("tag.album") : "", o.name);
        EXPECT_EQ(info.count("tag.comment") ? info.at("tag.comment") : "", station.url().toStdString());
        // A valid page sequence: the decoder reports nothing wrong, and the tone is there.
        int rc = -1;
        const std::string errors = testsupport::runCommand(
            "ffmpeg -nostdin -v error -i " + testsupport::shellQuote(target.toStdString()) + " -f null - 2>&1", &rc);
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(errors, "");
        std::vector<std::int16_t> pcm = decodeMono32k(target);
        ASSERT_GT(pcm.size(), 32000u);
        EXPECT_NEAR(testsupport::ToneHz(pcm, 1, 32000), 440.0, 5.0);
    }
}

TEST(RecordBroadcast, AStationWhosePacketsCannotBeKeptIsRecordedThroughTheMp3Chain)
{
    testsupport::SourceOptions o;
    o.codec = "flac";
    Station station(o, "/lossless.ogg");
    REQUIRE_STATION(station);
    ReceiveEnv e;
    TForm1 &f = *e.form;
    const QString target = e.env.home() + QStringLiteral("/fallback.mp3");
    f.saveDialogHook = [&] { return target; };
    startIn(e, station, false, rsPlaying, rmAsBroadcast);
    EXPECT_EQ(f.WMStreamedIn1->BroadcastFormat(), TBroadcastFormat::None);
    f.RecordButtonClick();
    ASSERT_EQ(f.RecState, rsRecordingPlain);
    EXPECT_EQ(f.broadcastFormat(), TBroadcastFormat::None);
    EXPECT_TRUE(f.statusPanelText().contains(QStringLiteral("recorded as MP3"))) << f.statusPanelText().toStdString();
    QTest::qWait(1500);
    f.RecordButtonClick();
    const auto info = testsupport::probe(target.toStdString());
    ASSERT_FALSE(info.empty());
    EXPECT_EQ(info.at("stream.codec_name"), "mp3");
}
