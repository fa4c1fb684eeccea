// The network stream input over https: against a TLS file server on 127.0.0.1 (the openssl
// command with a throw-away self-signed certificate) that is trusted or not, and against
// servers that do not speak TLS on an https address.
#include "AuMedia.h"
#include "MediaNetReader.h"
#include "PipelineTestKit.h"
#include "Processes.h"
#include "ScriptedServer.h"
#include "StreamTestKit.h"
#include "TlsFileServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <poll.h>
#include <sys/socket.h>
#include <thread>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testsupport::MakeMp3;
using testsupport::OpenError;
using testsupport::Pull;
using testsupport::ScriptedServer;
using testsupport::TempDir;
using testsupport::TlsFileServer;
using testsupport::ToneHz;

namespace {

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Serves a four-second 440 Hz MP3 as https://127.0.0.1:PORT/tone.mp3. The certificate is
// self-signed; the input verifies every certificate, so the test names the server's own
// certificate as the one authority it trusts (and puts the trust store back afterwards).
class Https : public ::testing::Test {
protected:
    static constexpr double ToneSeconds = 4.0;

    void SetUp() override
    {
        ASSERT_FALSE(MakeMp3(files, ToneSeconds, "tone.mp3").empty());
        server = std::make_unique<TlsFileServer>(files.path());
        ASSERT_TRUE(server->ok()) << server->problem();
        TMediaNetReader::SetTrustedCaFile(server->certificate().string());
    }
    void TearDown() override { TMediaNetReader::SetTrustedCaFile(systemStore); }

    // Trusts the certificates of all Servers at once.
    void Trust(std::initializer_list<const TlsFileServer *> Servers)
    {
        std::ofstream out(files / "trusted.pem");
        for (const TlsFileServer *s : Servers) {
            std::ifstream in(s->certificate());
            out << in.rdbuf();
        }
        out.close();
        TMediaNetReader::SetTrustedCaFile((files / "trusted.pem").string());
    }

    const std::string systemStore = TMediaNetReader::TrustedCaFile();

    TempDir files;
    std::unique_ptr<TlsFileServer> server;
    testkit::TWindowThread window;
    // Keeps the shared event thread alive, so posted events are delivered.
    testkit::TCollectOut keeper;
};

} // namespace

TEST_F(Https, AnMp3FileOpensReportsItsFormatAndDeliversTheWholeToneWithoutWaitingForATimeOut)
{
    TWMStreamedIn in;
    in.SetFileName(server->url("tone.mp3"));
    in.SetMaxWaitMilliseconds(5000);
    std::atomic<int> opened{0}, started{0};
    in.SetOnStreamOpened([&](TComponent *) { ++opened; });
    in.SetOnStartedPlaying([&](TComponent *) { ++started; });

    ASSERT_TRUE(in.HasAudio()) << in.ErrorDetail();
    EXPECT_EQ(in.ErrorMsg(), "");
    EXPECT_EQ(in.SampleRate(), 44100u);
    EXPECT_EQ(in.Channels(), 2u);
    EXPECT_EQ(in.BitsPerSample(), 16u);
    EXPECT_EQ(in.Bitrate(), 128000u);

    in.Init();
    const auto t0 = Clock::now();
    const auto pcm = Pull(in, 1u << 30);
    // The server ends the file by closing the connection: that is the end of the data, not a
    // silence to wait out.
    EXPECT_LT(Seconds(Clock::now() - t0), 2.0);
    EXPECT_FALSE(in.TimedOut());
    EXPECT_NEAR(pcm.size() / 2.0 / 44100.0, ToneSeconds, 0.1);
    EXPECT_NEAR(ToneHz(pcm, 2, 44100), 440.0, 5.0);
    EXPECT_TRUE(window.PumpUntil([&] { return opened == 1 && started == 1; }, 3s));
    in.Flush();
    EXPECT_EQ(in.ReaderStatus(), WMT_CLOSED);
}

TEST_F(Https, AnHttpStationThatRedirectsToHttpsPlays)
{
    const std::string target = server->url("tone.mp3");
    ScriptedServer redirect([target](int s, ScriptedServer &) {
        ScriptedServer::readRequest(s);
        ScriptedServer::sendAll(s, "HTTP/1.0 302 Found\r\nLocation: " + target + "\r\n\r\n");
    });
    TWMStreamedIn in;
    in.SetFileName(redirect.url("/station.mp3"));
    in.SetMaxWaitMilliseconds(5000);
    ASSERT_TRUE(in.HasAudio()) << in.ErrorDetail();
    EXPECT_EQ(in.SampleRate(), 44100u);
    in.Init();
    const auto pcm = Pull(in, 1u << 30);
    EXPECT_NEAR(pcm.size() / 2.0 / 44100.0, ToneSeconds, 0.1);
    EXPECT_NEAR(ToneHz(pcm, 2, 44100), 440.0, 5.0);
    in.Flush();
}

TEST_F(Https, AMissingFileCannotConnect)
{
    TWMStreamedIn in;
    in.SetFileName(server->url("nothing-here.mp3"));
    in.SetMaxWaitMilliseconds(3000);
    const auto t0 = Clock::now();
    EXPECT_EQ(OpenError(in), "Can't Connect");
    EXPECT_LT(Seconds(Clock::now() - t0), 1.5);
    EXPECT_EQ(in.ErrorMsg(), "Bad URL");
    EXPECT_FALSE(in.Valid());
}

// An HLS playlist over https whose segments are https addresses too. The playlist reader keeps
// the playlist's connection open while it fetches segments, and the test server answers one
// connection at a time, so the segments come from a second server.
TEST_F(Https, AnHlsPlaylistWithHttpsSegmentsPlays)
{
    TempDir segments;
    ASSERT_EQ(testsupport::runProgram({"ffmpeg", "-nostdin", "-y", "-loglevel", "error", "-f", "lavfi", "-i",
                                       "sine=f=440:r=44100:d=6", "-ac", "2", "-c:a", "aac", "-b:a", "96k", "-f",
                                       "hls", "-hls_time", "2", "-hls_list_size", "0", "-hls_base_url", "BASE/",
                                       (segments / "list.m3u8").string()}),
              0);
    TlsFileServer segmentServer(segments.path());
    ASSERT_TRUE(segmentServer.ok()) << segmentServer.problem();
    Trust({server.get(), &segmentServer});
    // The playlist names its segments by the second server's absolute addresses.
    {
        std::ifstream in(segments / "list.m3u8");
        std::ofstream out(files / "list.m3u8");
        const std::string base = segmentServer.url("");
        int entries = 0;
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("BASE/", 0) == 0) {
                line = base + line.substr(5);
                ++entries;
            }
            out << line << '\n';
        }
        ASSERT_GE(entries, 3);
    }
    TWMStreamedIn in;
    in.SetFileName(server->url("list.m3u8"));
    // Opening a playlist takes several requests and TLS handshakes; generous for a loaded
    // machine.
    in.SetMaxWaitMilliseconds(10000);
    ASSERT_TRUE(in.HasAudio()) << in.ErrorDetail();
    EXPECT_EQ(in.SampleRate(), 44100u);
    EXPECT_EQ(in.Channels(), 2u);
    in.Init();
    const auto pcm = Pull(in, 1u << 30);
    EXPECT_NEAR(pcm.size() / 2.0 / 44100.0, 6.0, 0.2);
    EXPECT_NEAR(ToneHz(pcm, 2, 44100), 440.0, 5.0);
    in.Flush();
}

TEST_F(Https, AnUntrustedCertificateOrOneForAnotherHostIsRefusedWithTheHost)
{
    const auto refused = [](const std::string &Url, const std::string &Host) {
        SCOPED_TRACE(Url);
        TWMStreamedIn in;
        in.SetFileName(Url);
        in.SetMaxWaitMilliseconds(5000);
        EXPECT_EQ(OpenError(in), "Can't Connect");
        EXPECT_NE(in.ErrorDetail().find("certificate not trusted for " + Host), std::string::npos) << in.ErrorDetail();
        EXPECT_FALSE(in.Valid());
    };
    // The system's store does not know the throw-away certificate.
    TMediaNetReader::SetTrustedCaFile(systemStore);
    refused(server->url("tone.mp3"), "127.0.0.1");
    // Trusted, but made out for 127.0.0.1, not for the name the address uses.
    TMediaNetReader::SetTrustedCaFile(server->certificate().string());
    refused("https://localhost:" + std::to_string(server->port()) + "/tone.mp3", "localhost");
}

// The segments of an https playlist are requests of their own: they are verified too.
TEST_F(Https, HlsSegmentsFromAnUntrustedServerAreRefused)
{
    TempDir segments;
    ASSERT_EQ(testsupport::runProgram({"ffmpeg", "-nostdin", "-y", "-loglevel", "error", "-f", "lavfi", "-i",
                                       "sine=f=440:r=44100:d=4", "-ac", "2", "-c:a", "aac", "-b:a", "96k", "-f",
                                       "hls", "-hls_time", "2", "-hls_list_size", "0", "-hls_base_url", "BASE/",
                                       (segments / "list.m3u8").string()}),
              0);
    TlsFileServer segmentServer(segments.path());
    ASSERT_TRUE(segmentServer.ok()) << segmentServer.problem();
    {
        std::ifstream in(segments / "list.m3u8");
        std::ofstream out(files / "list.m3u8");
        for (std::string line; std::getline(in, line);)
            out << (line.rfind("BASE/", 0) == 0 ? segmentServer.url(line.substr(5)) : line) << '\n';
    }
    // Only the playlist's server is trusted.
    TWMStreamedIn in;
    in.SetFileName(server->url("list.m3u8"));
    in.SetMaxWaitMilliseconds(8000);
    EXPECT_EQ(OpenError(in), "Can't Connect");
    EXPECT_NE(in.ErrorDetail().find("certificate not trusted for 127.0.0.1"), std::string::npos) << in.ErrorDetail();
}

TEST_F(Https, ARedirectFromHttpsToPlainHttpIsRefused)
{
    const auto mp3 = std::make_shared<const std::vector<std::uint8_t>>(testsupport::ReadFileBytes(files / "tone.mp3"));
    ScriptedServer plain([mp3](int s, ScriptedServer &) {
        ScriptedServer::readRequest(s);
        ScriptedServer::sendAll(s, "HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\n\r\n");
        ScriptedServer::sendAll(s, mp3->data(), mp3->size());
    });
    // An https server (Python's, with the trusted certificate) that sends every request on to
    // the plain one.
    const std::string script = "import http.server, ssl, sys\n"
                               "class H(http.server.BaseHTTPRequestHandler):\n"
                               "    def do_GET(self):\n"
                               "        self.send_response(302)\n"
                               "        self.send_header('Location', sys.argv[4])\n"
                               "        self.send_header('Content-Length', '0')\n"
                               "        self.end_headers()\n"
                               "    def log_message(self, *a): pass\n"
                               "s = http.server.HTTPServer(('127.0.0.1', int(sys.argv[1])), H)\n"
                               "c = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)\n"
                               "c.load_cert_chain(sys.argv[2], sys.argv[3])\n"
                               "s.socket = c.wrap_socket(s.socket, server_side=True)\n"
                               "s.serve_forever()\n";
    const int port = testsupport::freePort();
    const auto dir = server->certificate().parent_path();
    testsupport::ChildProcess redirector({"python3", "-c", script, std::to_string(port), server->certificate().string(),
                                          (dir / "key.pem").string(), plain.url("/tone.mp3")});
    ASSERT_TRUE(testsupport::waitForPort(port, 5s));

    TWMStreamedIn in;
    in.SetFileName("https://127.0.0.1:" + std::to_string(port) + "/station.mp3");
    in.SetMaxWaitMilliseconds(5000);
    EXPECT_EQ(OpenError(in), "Can't Connect");
    EXPECT_NE(in.ErrorDetail().find("redirected to an unprotected address"), std::string::npos) << in.ErrorDetail();
}

// ---------------------------------------------------------------------------------------------
// https addresses whose server does not speak TLS.

namespace {

class HttpsWithoutTls : public ::testing::Test {
protected:
    testkit::TWindowThread window;
    testkit::TCollectOut keeper;
};

// Waits up to a second for the client's first bytes (its TLS hello) and drops them.
void SwallowHello(int Socket)
{
    pollfd p{Socket, POLLIN, 0};
    if (poll(&p, 1, 1000) > 0) {
        char buf[4096];
        (void)recv(Socket, buf, sizeof buf, 0);
    }
}

// Opens Url with a wait of WaitMs: it must fail with the input's usual error, within the wait
// (and a little more for a loaded machine), and still tell the window that the attempt ended.
void ExpectCannotConnect(testkit::TWindowThread &Window, const std::string &What, const std::string &Url,
                         std::uint32_t WaitMs, bool TimesOut)
{
    SCOPED_TRACE(What);
    TWMStreamedIn in;
    in.SetFileName(Url);
    in.SetMaxWaitMilliseconds(WaitMs);
    std::atomic<int> opened{0};
    in.SetOnStreamOpened([&](TComponent *) { ++opened; });
    const auto t0 = Clock::now();
    EXPECT_EQ(OpenError(in), "Can't Connect");
    EXPECT_LT(Seconds(Clock::now() - t0), WaitMs / 1000.0 + 0.7);
    EXPECT_EQ(in.ErrorMsg(), "Bad URL");
    if (TimesOut) {
        EXPECT_TRUE(in.TimedOut());
        // Our own wait or FFmpeg's socket time-out may end the attempt first; both say so.
        const std::string detail = in.ErrorDetail();
        EXPECT_TRUE(detail.find("no answer within") != std::string::npos ||
                    detail.find("timed out") != std::string::npos)
            << detail;
    } else {
        EXPECT_NE(in.ErrorDetail(), "");
    }
    EXPECT_TRUE(Window.PumpUntil([&] { return opened == 1; }, 2s)) << opened.load();
}

} // namespace

TEST_F(HttpsWithoutTls, APlainHttpServerAGarbageServerAndAClosedConnectionFailAtOnce)
{
    ScriptedServer plainHttp([](int s, ScriptedServer &) {
        SwallowHello(s);
        ScriptedServer::sendAll(s, "HTTP/1.1 400 Bad Request\r\nContent-Type: text/html\r\nContent-Length: 11\r\n"
                                   "Connection: close\r\n\r\nBad Request");
    });
    // A streaming server that answers before reading: a header and MP3 audio.
    TempDir dir;
    const auto mp3 = std::make_shared<const std::vector<std::uint8_t>>(MakeMp3(dir, 2));
    ASSERT_FALSE(mp3->empty());
    ScriptedServer plainStream([mp3](int s, ScriptedServer &) {
        ScriptedServer::sendAll(s, "ICY 200 OK\r\nContent-Type: audio/mpeg\r\nicy-name: Plain\r\n\r\n");
        ScriptedServer::sendAll(s, mp3->data(), mp3->size());
    });
    ScriptedServer garbage([](int s, ScriptedServer &srv) {
        std::vector<std::uint8_t> junk(4096);
        std::uint32_t x = 4711;
        while (!srv.stopping()) {
            for (auto &b : junk) {
                x = x * 1103515245u + 12345u;
                b = static_cast<std::uint8_t>(x >> 24);
            }
            if (!ScriptedServer::sendAll(s, junk.data(), junk.size()))
                break;
            std::this_thread::sleep_for(2ms);
        }
    });
    ScriptedServer hangsUp([](int s, ScriptedServer &) { SwallowHello(s); });

    const std::uint32_t wait = 3000;
    for (auto [what, srv] : {std::pair{"plain HTTP", &plainHttp}, {"plain stream", &plainStream},
                             {"garbage", &garbage}, {"hangs up", &hangsUp}}) {
        const std::string url = "https://127.0.0.1:" + std::to_string(srv->port()) + "/stream";
        const auto t0 = Clock::now();
        ExpectCannotConnect(window, what, url, wait, false);
        // None of these waits for anything: the handshake fails as soon as the answer is read.
        EXPECT_LT(Seconds(Clock::now() - t0), 1.5) << what;
        EXPECT_GE(srv->connections(), 1) << what;
    }
}

TEST_F(HttpsWithoutTls, AServerThatNeverAnswersTheHandshakeTimesOutWithinTheWait)
{
    ScriptedServer silent([](int, ScriptedServer &srv) {
        while (!srv.stopping())
            std::this_thread::sleep_for(10ms);
    });
    const std::uint32_t wait = 1500;
    const auto t0 = Clock::now();
    ExpectCannotConnect(window, "silent", "https://127.0.0.1:" + std::to_string(silent.port()) + "/stream", wait,
                        true);
    EXPECT_GE(Seconds(Clock::now() - t0), wait / 1000.0 * 0.9);
}
