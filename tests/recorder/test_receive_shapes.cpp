// Receiving every shape of station a listener meets, through the window: Icecast MP3, ADTS AAC,
// Ogg Vorbis and Opus, a Shoutcast v1 server with titles, a redirect, PLS, M3U and XSPF lists,
// HLS; each heard with its own tone. Then the failures a user must be able to read, and https
// stations whose certificates are or are not trusted.
#include "ReceiveTestSupport.h"

#include "MediaNetReader.h"
#include "ScriptedServer.h"
#include "TlsFileServer.h"

#include <QToolButton>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <tuple>
#include <thread>

using testsupport::ScriptedServer;
using testsupport::TempDir;

namespace {

// Serves the files of Dir (names only) over plain http, with a content type by extension, and
// the fixed answers of Routes (path to whole response) before any file.
std::unique_ptr<ScriptedServer> fileServer(const std::filesystem::path &Dir,
                                           std::map<std::string, std::string> Routes = {})
{
    return std::make_unique<ScriptedServer>([Dir, Routes](int s, ScriptedServer &) {
        const std::string req = ScriptedServer::readRequest(s);
        const size_t a = req.find(' '), b = req.find(' ', a + 1);
        if (a == std::string::npos || b == std::string::npos)
            return;
        const std::string path = req.substr(a + 1, b - a - 1);
        if (auto it = Routes.find(path); it != Routes.end()) {
            ScriptedServer::sendAll(s, it->second);
            return;
        }
        std::string name = path.substr(1);
        if (name.find('/') != std::string::npos || name.find("..") != std::string::npos)
            name.clear();
        std::ifstream in(Dir / name, std::ios::binary);
        if (name.empty() || !in) {
            ScriptedServer::sendAll(s, "HTTP/1.0 404 Not Found\r\nContent-Type: text/html\r\n\r\n<p>gone</p>");
            return;
        }
        const std::string body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::string type = "application/octet-stream";
        for (auto [ext, t] : {std::pair{".m3u8", "application/vnd.apple.mpegurl"}, {".ts", "video/mp2t"},
                              {".pls", "audio/x-scpls"}, {".m3u", "audio/x-mpegurl"},
                              {".xspf", "application/xspf+xml"}, {".wav", "audio/wav"}, {".flv", "video/x-flv"}})
            if (name.ends_with(ext))
                type = t;
        ScriptedServer::sendAll(s, "HTTP/1.0 200 OK\r\nContent-Type: " + type + "\r\nContent-Length: " +
                                       std::to_string(body.size()) + "\r\n\r\n" + body);
    });
}

bool makeWithFfmpeg(const std::vector<std::string> &Args)
{
    std::vector<std::string> argv = {"ffmpeg", "-nostdin", "-y", "-loglevel", "error"};
    argv.insert(argv.end(), Args.begin(), Args.end());
    return testsupport::runProgram(argv) == 0;
}

// A Shoutcast v1 server: "ICY 200 OK", icy-metaint 8192 for a client that asks for titles,
// and an MP3 looped for as long as the client listens, with the title in the first block.
std::unique_ptr<ScriptedServer> shoutcastServer(std::shared_ptr<const std::string> Mp3, const std::string &Title,
                                                std::size_t Burst = 64000)
{
    return std::make_unique<ScriptedServer>([Mp3, Title, Burst](int s, ScriptedServer &srv) {
        const std::string req = ScriptedServer::readRequest(s);
        std::string lower = req;
        for (char &c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const bool meta = lower.find("icy-metadata: 1") != std::string::npos;
        constexpr size_t metaint = 8192;
        std::string head = "ICY 200 OK\r\nicy-notice1: <BR>This stream requires a player<BR>\r\n"
                           "icy-name: Shout Test\r\nicy-genre: Tones\r\ncontent-type: audio/mpeg\r\n"
                           "icy-pub: 0\r\nicy-br: 128\r\n";
        if (meta)
            head += "icy-metaint: " + std::to_string(metaint) + "\r\n";
        if (!ScriptedServer::sendAll(s, head + "\r\n"))
            return;
        size_t pos = 0;
        bool titled = false;
        const auto began = std::chrono::steady_clock::now();
        size_t sent = 0;
        while (!srv.stopping()) {
            std::string chunk;
            while (chunk.size() < metaint) {
                const size_t n = std::min(metaint - chunk.size(), Mp3->size() - pos);
                chunk.append(*Mp3, pos, n);
                pos = (pos + n) % Mp3->size();
            }
            if (meta) {
                std::string block;
                if (!titled) {
                    block = "StreamTitle='" + Title + "';";
                    block.resize((block.size() + 15) / 16 * 16, '\0');
                    titled = true;
                }
                chunk += static_cast<char>(block.size() / 16);
                chunk += block;
            }
            if (!ScriptedServer::sendAll(s, chunk))
                return;
            // A burst of about four seconds, then real time (16000 bytes a second).
            sent += metaint;
            const auto due = began + std::chrono::milliseconds(sent > Burst ? (sent - Burst) / 16 : 0);
            while (!srv.stopping() && std::chrono::steady_clock::now() < due)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
}

// Bytes the disk driver has written (the file starts again with each opening of the device).
std::uintmax_t playedSize(const ReceiveEnv &e)
{
    std::error_code ec;
    const auto n = std::filesystem::file_size(e.disk->File(), ec);
    return ec ? 0 : n;
}

// Stops what plays, tunes to Address and checks that its tone is what the output plays (at
// 32000 Hz with the station's channel count).
void expectPlaysTone(ReceiveEnv &e, const char *What, const QString &Address, double Tone, unsigned Channels = 2)
{
    SCOPED_TRACE(What);
    TForm1 &f = *e.form;
    if (f.RecState != rsIdle)
        f.BitBtn1Click();
    ASSERT_EQ(f.RecState, rsIdle);
    e.tune(Address);
    ASSERT_TRUE(e.receive()) << f.Label14->text().toStdString() << " | " << f.statusPanelText().toStdString();
    ASSERT_TRUE(e.levelReports(2)) << f.Label14->text().toStdString();
    const std::uintmax_t mark = playedSize(e);
    // Two and a half seconds of the station, 16-bit.
    const std::uintmax_t span = 32000u * 2u * Channels * 5u / 2u;
    ASSERT_TRUE(waitUntil([&] { return playedSize(e) >= (playedSize(e) < mark ? 0 : mark) + span; }, 15000));
    const std::vector<std::uint8_t> bytes = e.disk->Played();
    const std::size_t from = bytes.size() >= mark + span ? static_cast<std::size_t>(mark) : 0;
    std::vector<std::int16_t> pcm((bytes.size() - from) / 2);
    std::memcpy(pcm.data(), bytes.data() + from, pcm.size() * 2);
    EXPECT_NEAR(testsupport::ToneHz(pcm, Channels, 32000), Tone, 6.0);
    EXPECT_EQ(f.Label14->text(), QStringLiteral("Playing"));
}

// Presses Receive on Address and waits for the window to give up: the status bar's text.
QString failureOf(ReceiveEnv &e, const std::string &Address)
{
    TForm1 &f = *e.form;
    if (f.RecState != rsIdle)
        f.BitBtn1Click();
    e.tune(QString::fromStdString(Address));
    f.setStatusPanelText(QString());
    f.BitBtn1Click();
    waitUntil([&] { return f.RecState == rsIdle && f.BitBtn1->isEnabled(); }, 8000);
    EXPECT_EQ(f.RecState, rsIdle) << Address;
    EXPECT_TRUE(f.Label14->text().contains(QStringLiteral("connect"), Qt::CaseInsensitive))
        << Address << ": " << f.Label14->text().toStdString();
    return f.statusPanelText();
}

} // namespace

TEST(ReceiveShapes, EveryStationShapePlaysItsOwnToneOneAfterAnother)
{
    testsupport::IcecastServer icecast;
    ASSERT_TRUE(icecast.ok()) << icecast.problem();
    const std::tuple<const char *, const char *, int> mounts[] = {
        {"/mp3", "mp3", 440}, {"/aac", "aac", 550}, {"/ogg", "ogg", 660}, {"/opus", "opus", 770}, {"/aacplus", "aac", 990}};
    for (auto [mount, codec, tone] : mounts) {
        testsupport::SourceOptions o;
        o.codec = codec;
        o.toneHz = tone;
        o.bitrateKbps = 96;
        if (std::string(codec) == "opus")
            o.sampleRate = 48000;
        // As many AAC stations do: ADTS announced as MP3, at a low rate in mono.
        if (std::string(mount) == "/aacplus") {
            o.contentType = "audio/mpeg";
            o.sampleRate = 22050;
            o.channels = 1;
            o.bitrateKbps = 48;
        }
        ASSERT_TRUE(icecast.startSource(mount, o)) << mount;
    }
    const std::string mp3 = icecast.url("/mp3"), aac = icecast.url("/aac"), vorbis = icecast.url("/ogg"),
                      opus = icecast.url("/opus");

    TempDir files;
    ASSERT_TRUE(makeWithFfmpeg({"-f", "lavfi", "-i", "sine=f=880:r=44100:d=8", "-ac", "2", "-c:a", "libmp3lame",
                                "-b:a", "128k", (files / "shout.mp3").string()}));
    ASSERT_TRUE(makeWithFfmpeg({"-f", "lavfi", "-i", "sine=f=1100:r=44100:d=16", "-ac", "2", "-c:a", "aac", "-b:a",
                                "96k", "-f", "hls", "-hls_time", "2", "-hls_list_size", "0",
                                "-hls_segment_filename", (files / "seg%d.ts").string(),
                                (files / "live.m3u8").string()}));
    std::ofstream(files / "list.pls") << "[playlist]\r\nNumberOfEntries=1\r\nFile1=" << aac
                                      << "\r\nTitle1=AAC\r\nLength1=-1\r\nVersion=2\r\n";
    std::ofstream(files / "list.m3u") << "#EXTM3U\n#EXTINF:-1,Vorbis\n" << vorbis << "\n";
    std::ofstream(files / "list.xspf") << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                          "<playlist version=\"1\" xmlns=\"http://xspf.org/ns/0/\"><trackList>"
                                          "<track><location>"
                                       << opus << "</location></track></trackList></playlist>\n";
    const auto web = fileServer(files.path(),
                                {{"/moved", "HTTP/1.0 302 Found\r\nLocation: " + mp3 + "\r\nContent-Length: 0\r\n\r\n"}});
    const auto shoutMp3 = std::make_shared<const std::string>([&] {
        const auto bytes = testsupport::ReadFileBytes(files / "shout.mp3");
        return std::string(bytes.begin(), bytes.end());
    }());
    ASSERT_FALSE(shoutMp3->empty());
    const auto shout = shoutcastServer(shoutMp3, "Shout Title");
    // One without a burst: the first audio comes at the stream's own pace.
    const auto paced = shoutcastServer(shoutMp3, "Paced", 0);
    // A live HLS playlist, rewritten (whole, by renaming) as segments come and go.
    TempDir live;
    testsupport::ChildProcess liveHls({"ffmpeg", "-nostdin", "-loglevel", "error", "-re", "-f", "lavfi", "-i",
                                       "sine=f=1320:r=44100", "-ac", "2", "-c:a", "aac", "-b:a", "96k", "-f", "hls",
                                       "-hls_time", "1", "-hls_list_size", "4", "-hls_flags",
                                       "delete_segments+temp_file", "-hls_segment_filename",
                                       (live / "s%d.ts").string(), (live / "live.m3u8").string()});
    const auto liveWeb = fileServer(live.path());

    ReceiveEnv e(true);
    TForm1 &f = *e.form;
    // Each from the one before: the window stops one station and receives the next.
    expectPlaysTone(e, "Icecast MP3", QString::fromStdString(mp3), 440);
    expectPlaysTone(e, "Icecast ADTS AAC", QString::fromStdString(aac), 550);
    EXPECT_EQ(f.Label4->text(), QStringLiteral("44100 Hz"));
    EXPECT_EQ(f.Label8->text(), QStringLiteral("Stereo"));
    expectPlaysTone(e, "AAC announced as audio/mpeg", QString::fromStdString(icecast.url("/aacplus")), 990, 1);
    EXPECT_EQ(f.Label4->text(), QStringLiteral("22050 Hz"));
    EXPECT_EQ(f.Label8->text(), QStringLiteral("Mono"));
    expectPlaysTone(e, "Icecast Ogg Vorbis", QString::fromStdString(vorbis), 660);
    expectPlaysTone(e, "Icecast Ogg Opus", QString::fromStdString(opus), 770);
    expectPlaysTone(e, "Shoutcast v1", QString::fromStdString(shout->url("/;")), 880);
    EXPECT_TRUE(waitUntil([&] { return f.WMStreamedIn1->StreamTitle() == u"Shout Title"; }, 5000));
    expectPlaysTone(e, "a redirect", QString::fromStdString(web->url("/moved")), 440);
    expectPlaysTone(e, "PLS", QString::fromStdString(web->url("/list.pls")), 550);
    EXPECT_EQ(QString::fromStdString(f.WMStreamedIn1->FileName()), QString::fromStdString(aac));
    expectPlaysTone(e, "M3U", QString::fromStdString(web->url("/list.m3u")), 660);
    expectPlaysTone(e, "XSPF", QString::fromStdString(web->url("/list.xspf")), 770);
    expectPlaysTone(e, "HLS", QString::fromStdString(web->url("/live.m3u8")), 1100);
    ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(live / "live.m3u8"); }, 10000));
    expectPlaysTone(e, "live HLS", QString::fromStdString(liveWeb->url("/live.m3u8")), 1320);
    // And from HLS to a plain stream that sends no burst.
    expectPlaysTone(e, "Shoutcast v1 without a burst", QString::fromStdString(paced->url("/;")), 880);
    f.BitBtn1Click();
    EXPECT_EQ(f.RecState, rsIdle);
    EXPECT_TRUE(e.env.messages.isEmpty()) << e.env.messages.join(u'|').toStdString();
}

TEST(ReceiveShapes, EachKindOfFailureIsNamedInPlainWords)
{
    ReceiveEnv e;
    TForm1 &f = *e.form;
    f.strminwait->setText(QStringLiteral("1500"));
    f.applyComponentSettings();

    std::string closed;
    {
        ScriptedServer gone([](int, ScriptedServer &) {});
        closed = gone.url();
    }
    ScriptedServer silent([](int, ScriptedServer &server) {
        while (!server.stopping())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    });
    TempDir files;
    ASSERT_TRUE(makeWithFfmpeg({"-f", "lavfi", "-i", "sine=f=440:r=44100:d=3", (files / "tone.wav").string()}));
    ASSERT_TRUE(makeWithFfmpeg({"-f", "lavfi", "-i", "sine=f=440:r=44100:d=3", "-c:a", "libmp3lame", "-f", "flv",
                                (files / "tone.flv").string()}));
    // A station format, at a rate below any station's.
    ASSERT_TRUE(makeWithFfmpeg({"-f", "lavfi", "-i", "sine=f=440:r=4000:d=3", "-c:a", "flac",
                                (files / "low.flac").string()}));
    const auto web = fileServer(
        files.path(),
        {{"/page", "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n<html><body><h1>Welcome</h1>" +
                       std::string(3000, ' ') + "</body></html>"},
         {"/broken", "HTTP/1.0 500 Internal Server Error\r\nContent-Type: text/plain\r\n\r\nsorry"}});

    const std::pair<std::string, const char *> cases[] = {
        {closed, "connection refused"},
        {silent.url(), "timed out"},
        {"http://nonexistent.invalid/stream", "name not found"},
        {web->url("/page"), "not an audio stream"},
        {web->url("/broken"), "HTTP 500"},
        {web->url("/missing.mp3"), "HTTP 404"},
        {web->url("/tone.wav"), "not a format radio stations use"},
        {web->url("/tone.flv"), "not a format radio stations use"},
        {web->url("/low.flac"), "unsupported audio format: 4000 Hz"},
    };
    for (const auto &[address, words] : cases) {
        SCOPED_TRACE(address);
        const QString why = failureOf(e, address);
        EXPECT_TRUE(why.contains(QString::fromLatin1(words), Qt::CaseInsensitive)) << why.toStdString();
    }
    EXPECT_TRUE(e.env.messages.isEmpty()) << e.env.messages.join(u'|').toStdString();
}

TEST(ReceiveShapes, AnHttpsStationPlaysOnlyWhenItsCertificateIsTrusted)
{
    TempDir files;
    ASSERT_FALSE(testsupport::MakeMp3(files, 20, "tone.mp3").empty());
    std::ofstream(files / "list.pls") << "[playlist]\nFile1=http://127.0.0.1:9/never-opened.mp3\n";
    testsupport::TlsFileServer tls(files.path());
    ASSERT_TRUE(tls.ok()) << tls.problem();
    struct Trust {
        ~Trust() { TMediaNetReader::SetTrustedCaFile(before); }
        std::string before = TMediaNetReader::TrustedCaFile();
    } restore;

    ReceiveEnv e(true);
    TForm1 &f = *e.form;
    // Not trusted: the playlist fetch refuses it, says why, and the stream input is never
    // handed the address.
    for (const char *name : {"tone.mp3", "list.pls"}) {
        SCOPED_TRACE(name);
        f.WMStreamedIn1->SetFileName(std::string());
        const QString why = failureOf(e, tls.url(name));
        EXPECT_TRUE(why.contains(QStringLiteral("certificate not trusted for 127.0.0.1"))) << why.toStdString();
        EXPECT_EQ(f.WMStreamedIn1->FileName(), std::string());
        EXPECT_EQ(f.Label14->text(), QStringLiteral("Error: Can't Connect"));
    }

    // Trusted (its certificate given as the authority): it plays.
    TMediaNetReader::SetTrustedCaFile(tls.certificate().string());
    expectPlaysTone(e, "trusted https", QString::fromStdString(tls.url("tone.mp3")), 440);
    f.BitBtn1Click();
    EXPECT_EQ(f.RecState, rsIdle);
}
