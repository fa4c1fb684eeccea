// Set-up for window tests that receive a real station: the pipeline's window-thread dispatcher,
// a loopback Icecast server with a tone source, SDL's disk driver capturing what is played, and
// helpers that drive the window and read its state.
#pragma once

#include "RecorderTestSupport.h"

#include "DiskAudio.h"
#include "IcecastServer.h"
#include "LevelMeter.h"
#include "MainComponents.h"
#include "Processes.h"
#include "QtWindowDispatcher.h"
#include "StreamTestKit.h"

#include <QCheckBox>
#include <QFileInfo>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>

#include "AudioPeers.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>

// The recorder's tick count, moved on by Offset milliseconds on request.
struct DrivenClock {
    DrivenClock()
    {
        TForm1::setTickSource([this] {
            using namespace std::chrono;
            return static_cast<std::uint32_t>(
                       duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count()) +
                   Offset.load();
        });
    }
    ~DrivenClock() { TForm1::setTickSource({}); }
    std::atomic<std::uint32_t> Offset{0};
};

// One window on a private data folder, with the dispatcher installed first and (optionally)
// SDL's disk driver writing what is played into the test's folder.
class ReceiveEnv {
public:
    explicit ReceiveEnv(bool captureSound = false)
    {
        testApp();
        dispatcher.emplace();
        if (captureSound)
            disk.emplace(std::filesystem::path(env.home().toStdString()) / "played.raw", -1);
        form = std::make_unique<TForm1>();
        form->cbPreRec->setChecked(false);
    }
    ~ReceiveEnv()
    {
        if (form && form->RecState != rsIdle && form->RecState != rsClosing)
            form->BitBtn1Click();
        form.reset();
        disk.reset();
        dispatcher.reset();
    }

    // Types an address into the station box (no station selected) under genre.
    void tune(const QString &address, const QString &genre = QStringLiteral("Tests"))
    {
        form->cbgnr->setCurrentIndex(-1);
        form->cbgnr->setEditText(genre);
        form->ComboBox1->setCurrentIndex(-1);
        form->ComboBox1->setEditText(address);
    }
    // Presses Receive and waits until playing began (true) or the window fell back to idle.
    bool receive(int timeoutMs = 20000)
    {
        form->BitBtn1Click();
        return waitUntil([this] { return form->RecState != rsIdle; }, timeoutMs);
    }
    // Tunes to address, receives it and waits for two level reports: true once it plays.
    bool play(const QString &address)
    {
        tune(address);
        return receive() && levelReports(2);
    }
    // Waits for n more level reports.
    bool levelReports(int n, int timeoutMs = 10000)
    {
        const auto start = form->LastGainTick;
        int seen = 0;
        auto last = start;
        return waitUntil(
            [&] {
                if (form->LastGainTick != last) {
                    last = form->LastGainTick;
                    ++seen;
                }
                return seen >= n;
            },
            timeoutMs);
    }

    FormEnv env;
    std::optional<TQtWindowDispatcherScope> dispatcher;
    std::optional<testsupport::DiskAudio> disk;
    std::unique_ptr<TForm1> form;
};

// A running Icecast server with one tone mount, or the reason it is missing.
struct Station {
    explicit Station(const testsupport::SourceOptions &options = {}, const std::string &mount = "/tone.mp3")
        : mount(mount)
    {
        if (!server.ok())
            return;
        started = server.startSource(mount, options);
    }
    bool ok() const { return server.ok() && started; }
    QString url() const { return QString::fromStdString(server.url(mount)); }

    testsupport::IcecastServer server;
    std::string mount;
    bool started = false;
};

// A station sending deterministic brown noise: any stretch of it is found again only at its own
// place, so joins of recordings can be checked by correlation.
inline testsupport::SourceOptions noiseSource()
{
    testsupport::SourceOptions o;
    o.lavfi = "anoisesrc=color=brown:seed=4242:r=44100:a=0.5";
    o.channels = 1;
    o.bitrateKbps = 128;
    return o;
}

// The file decoded by ffmpeg to mono 16-bit at 32000 Hz.
inline std::vector<std::int16_t> decodeMono32k(const QString &file)
{
    const std::string raw = testsupport::runCommand("ffmpeg -nostdin -v error -i " +
                                                    testsupport::shellQuote(file.toStdString()) +
                                                    " -af lowpass=f=1500 -f s16le -ac 1 -ar 32000 -");
    std::vector<std::int16_t> pcm(raw.size() / 2);
    std::memcpy(pcm.data(), raw.data(), pcm.size() * 2);
    return pcm;
}

// Where Needle best matches inside Hay (start index) and how well (normalised correlation).
struct Match {
    long long At = -1;
    double Score = 0;
};
inline Match findIn(const std::vector<std::int16_t> &Hay, const std::vector<std::int16_t> &Needle)
{
    Match best;
    if (Needle.empty() || Hay.size() < Needle.size())
        return best;
    double nn = 0;
    for (auto v : Needle)
        nn += double(v) * v;
    for (std::size_t k = 0; k + Needle.size() <= Hay.size(); ++k) {
        double dot = 0, hh = 0;
        for (std::size_t i = 0; i < Needle.size(); ++i) {
            dot += double(Hay[k + i]) * Needle[i];
            hh += double(Hay[k + i]) * Hay[k + i];
        }
        const double score = hh > 0 && nn > 0 ? dot / std::sqrt(hh * nn) : 0;
        if (score > best.Score)
            best = {static_cast<long long>(k), score};
    }
    return best;
}

// Averages of four samples: 32000 Hz material at 8000 Hz, enough for finding noise by
// correlation and four times quicker to search squared.
inline std::vector<std::int16_t> quarter(const std::vector<std::int16_t> &Pcm)
{
    std::vector<std::int16_t> out(Pcm.size() / 4);
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<std::int16_t>((Pcm[4 * i] + Pcm[4 * i + 1] + Pcm[4 * i + 2] + Pcm[4 * i + 3]) / 4);
    return out;
}

inline std::vector<std::int16_t> asPcm16(const std::vector<std::uint8_t> &Bytes)
{
    std::vector<std::int16_t> pcm(Bytes.size() / 2);
    std::memcpy(pcm.data(), Bytes.data(), pcm.size() * 2);
    return pcm;
}

// Where a recording lies in what was played (all at 8000 Hz): the played position of its
// first and of one past its last sample, found by correlating 100 ms near either end
// (skipping 50 ms, where encoders prime and pad). -1 when not found.
struct Placement {
    long long Start = -1, End = -1;
    double StartScore = 0, EndScore = 0;
};
inline Placement placeIn(const std::vector<std::int16_t> &Played, const std::vector<std::int16_t> &Rec)
{
    Placement p;
    constexpr std::size_t skip = 400, len = 800;
    if (Rec.size() < 2 * (skip + len))
        return p;
    const Match head = findIn(Played, {Rec.begin() + skip, Rec.begin() + skip + len});
    const Match tail = findIn(Played, {Rec.end() - static_cast<long>(skip + len), Rec.end() - static_cast<long>(skip)});
    p.StartScore = head.Score;
    p.EndScore = tail.Score;
    if (head.At >= 0)
        p.Start = head.At - static_cast<long long>(skip);
    if (tail.At >= 0)
        p.End = tail.At + static_cast<long long>(len + skip);
    if (qEnvironmentVariableIsSet("FONOLUX_DEBUG_JOIN"))
        std::fprintf(stderr, "placed: %lld (%.3f) .. %lld (%.3f) of %zu\n", p.Start, head.Score, p.End, tail.Score,
                     Played.size());
    return p;
}

// A listener's copy of the mount, from before Receive is pressed until it is stopped.
struct Capture {
    Capture(const Station &S, const QString &File, int MaxSeconds = 60)
        : file(File), curl({"curl", "-s", "--max-time", std::to_string(MaxSeconds), "-o", File.toStdString(),
                            S.url().toStdString()})
    {
        // The first bytes are there before the window connects.
        waitUntil([&] { return QFileInfo(file).size() > 0; }, 5000);
    }
    std::vector<std::uint8_t> stop()
    {
        QTest::qWait(1500); // the window's reader reads a little ahead of what it plays
        curl.stop();
        return testsupport::readFile(file.toStdString());
    }
    QString file;
    testsupport::ChildProcess curl;
};

// Receives the station with or without pre-recording in a recording mode, and waits for state.
inline void startIn(ReceiveEnv &e, const Station &station, bool prerec, TRecState state, TRecordMode mode = rmMp3)
{
    e.form->cbPreRec->setChecked(prerec);
    e.form->cbRecordMode->setCurrentIndex(mode);
    e.tune(station.url());
    ASSERT_TRUE(e.receive());
    ASSERT_TRUE(waitUntil([&] { return e.form->RecState == state; }, 8000)) << e.form->RecState;
}

// Fails the test (never skips it) when the loopback station is missing.
#define REQUIRE_STATION(station) ASSERT_TRUE((station).ok()) << "no loopback station: " << (station).server.problem()
#define SKIP_WITHOUT(station) REQUIRE_STATION(station) // the earlier name
