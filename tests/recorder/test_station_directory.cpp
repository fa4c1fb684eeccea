// The station directory client: its query and answer rules, and requests to loopback servers
// that answer, fail, stall, flood or redirect.
#include "RecorderTestSupport.h"

#include "DirectoryTestServer.h"
#include "StationDirectory.h"

#include <QElapsedTimer>
#include <QSignalSpy>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <thread>

QString fonoluxVersion();

namespace {

// ---- rules ----

TEST(DirectoryRules, TheSearchQueryCarriesWhatWasAskedAndOneStationBeyondThePage)
{
    DirectoryQuery q;
    q.Name = QStringLiteral(" Jazz & Blues ");
    q.CountryCode = QStringLiteral("de");
    q.Codec = QStringLiteral("AAC+");
    q.BitrateMin = 128;
    q.Page = 2;
    q.PageSize = 25;
    const QUrlQuery query = directorySearchQuery(q);
    auto item = [&](const char *k) { return query.queryItemValue(QLatin1String(k), QUrl::FullyDecoded); };
    EXPECT_EQ(item("name"), QStringLiteral("Jazz & Blues"));
    EXPECT_EQ(item("countrycode"), QStringLiteral("DE"));
    EXPECT_EQ(item("codec"), QStringLiteral("AAC+"));
    EXPECT_EQ(item("bitrateMin"), QStringLiteral("128"));
    EXPECT_EQ(item("order"), QStringLiteral("votes"));
    EXPECT_EQ(item("reverse"), QStringLiteral("true"));
    EXPECT_EQ(item("hidebroken"), QStringLiteral("true"));
    EXPECT_EQ(item("offset"), QStringLiteral("50"));
    EXPECT_EQ(item("limit"), QStringLiteral("26"));
    // "&" and "+" survive as data, not as separators or blanks.
    QUrl u(QStringLiteral("http://h.example/json/stations/search"));
    u.setQuery(query);
    EXPECT_TRUE(u.toString(QUrl::FullyEncoded).contains(QStringLiteral("name=Jazz%20%26%20Blues")))
        << u.toString(QUrl::FullyEncoded).toStdString();
    EXPECT_TRUE(u.toString(QUrl::FullyEncoded).contains(QStringLiteral("codec=AAC%2B")));
    for (const char *absent : {"tag", "language"})
        EXPECT_FALSE(query.hasQueryItem(QLatin1String(absent))) << absent;

    q.Order = TDirectoryOrder::Name;
    q.IncludeBroken = true;
    const QUrlQuery byName = directorySearchQuery(q);
    EXPECT_EQ(byName.queryItemValue(QStringLiteral("order")), QStringLiteral("name"));
    EXPECT_EQ(byName.queryItemValue(QStringLiteral("reverse")), QStringLiteral("false"));
    EXPECT_EQ(byName.queryItemValue(QStringLiteral("hidebroken")), QStringLiteral("false"));
    q.Order = TDirectoryOrder::Clicks;
    EXPECT_EQ(directorySearchQuery(q).queryItemValue(QStringLiteral("order")), QStringLiteral("clickcount"));

    EXPECT_TRUE(directoryQueryProblem(q).isEmpty());
    for (const char *bad : {"Germany", "D", "1A", "d\xc3\xa9"}) {
        q.CountryCode = QString::fromUtf8(bad);
        EXPECT_FALSE(directoryQueryProblem(q).isEmpty()) << bad;
    }
}

TEST(DirectoryRules, AnAnswerBecomesCleanStationRecordsAndUnusableAddressesAreLeftOut)
{
    const QByteArray json = R"json([
      {"stationuuid":"u1","name":"  One\u0007 \u202eFM\n","url":"http://one.example/a","url_resolved":"",
       "tags":"jazz,blues","countrycode":"FR","language":"french","codec":"MP3","bitrate":"192",
       "lastcheckok":0,"votes":7,"clickcount":9,"hls":1},
      {"stationuuid":"u2","name":"Two","url":"http://x.example/playlist.pls","url_resolved":"https://two.example/live"},
      {"stationuuid":"u3","name":"File","url":"file:///etc/passwd"},
      {"stationuuid":"u4","name":"Script","url":"javascript:alert(1)"},
      {"stationuuid":"u5","name":"Control","url":"http://ctl.example/a\u0001b"},
      "not an object",
      {"stationuuid":"u6","name":"Long","url":"http://long.example/LONG"},
      {"stationuuid":"u7","name":"Beyond the limit","url":"http://late.example/"}
    ])json";
    QByteArray withLong = json;
    withLong.replace("LONG", QByteArray(3000, 'a'));
    std::vector<DirectoryStation> s;
    int total = 0, skipped = 0;
    QString error;
    ASSERT_TRUE(parseDirectoryStations(withLong, s, 7, &total, &skipped, &error)) << error.toStdString();
    EXPECT_EQ(total, 8);
    EXPECT_EQ(skipped, 5); // file:, javascript:, a control character, not an object, too long
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0].Name, QStringLiteral("One FM"));
    EXPECT_EQ(s[0].Url, QStringLiteral("http://one.example/a")); // url_resolved empty: url
    EXPECT_EQ(s[0].Bitrate, 192);                                  // a number sent as text
    EXPECT_FALSE(s[0].LastCheckOk);
    EXPECT_TRUE(s[0].Hls);
    EXPECT_EQ(s[0].Votes, 7);
    EXPECT_EQ(s[0].Tags, QStringLiteral("jazz,blues"));
    EXPECT_EQ(s[0].CountryCode, QStringLiteral("FR"));
    EXPECT_EQ(s[1].Url, QStringLiteral("https://two.example/live"));
    EXPECT_TRUE(s[1].LastCheckOk); // absent: not known to be broken

    for (const QByteArray &bad : {QByteArray("[{\"name\":\"cut"), QByteArray("{\"name\":\"object\"}"),
                                  QByteArray("<html>busy</html>"), QByteArray()}) {
        EXPECT_FALSE(parseDirectoryStations(bad, s, -1, &total, &skipped, &error)) << bad.constData();
        EXPECT_EQ(error, QStringLiteral("The station directory sent an answer that is not a station list."));
        EXPECT_TRUE(s.empty());
    }
}

TEST(DirectoryRules, CleaningTextsRemovesControlsAndBoundsTheLength)
{
    EXPECT_EQ(cleanStationText(QStringLiteral("\t A\r\nB \u2028 C\u0000D\u200f"), 100), QStringLiteral("A B C D\u200f"));
    EXPECT_EQ(cleanStationText(QStringLiteral("\u2066Left\u2069 \u202aRight\u202c"), 100), QStringLiteral("Left Right"));
    const QString huge(100000, u'x');
    const QString cut = cleanStationText(huge, StationNameLimit);
    EXPECT_EQ(cut.size(), StationNameLimit);
    EXPECT_TRUE(cut.endsWith(QStringLiteral("...")));
    // Never half a character: a pair of surrogates at the cut goes whole.
    QString emoji;
    for (int i = 0; i < 100; ++i)
        emoji += QString::fromUcs4(U"\U0001F3B5");
    const QString e = cleanStationText(emoji, 10);
    EXPECT_LE(e.size(), 10);
    EXPECT_FALSE(e.left(e.size() - 3).back().isHighSurrogate());
    EXPECT_EQ(cleanStationText(QString(QChar(0xd800)) + QStringLiteral("x"), 10), QStringLiteral("\ufffdx"));

    EXPECT_TRUE(usableStationUrl(QStringLiteral("https://a.example:8443/live?x=1")));
    for (const char *bad : {"", "ftp://a.example/x", "http:///nohost", "http://a.example/a b", "mms://a.example/",
                            "/etc/passwd", "HTTP://a.example/\x7f"})
        EXPECT_FALSE(usableStationUrl(QString::fromLatin1(bad))) << bad;
}

TEST(DirectoryRules, ServerNamesAreEachTriedOnceAsWebAddressesInShuffledOrder)
{
    std::mt19937 rng(7);
    const QStringList names = {QStringLiteral("one.directory.example."), QStringLiteral("ONE.directory.example"),
                               QStringLiteral("two.directory.example"), QStringLiteral("three.directory.example"),
                               QStringLiteral("10.1.2.3"), QStringLiteral("localhost"), QStringLiteral("bad/name.info"),
                               QString()};
    const QStringList urls = directoryServerUrls(names, rng);
    QStringList sorted = urls;
    sorted.sort();
    EXPECT_EQ(sorted, (QStringList{QStringLiteral("https://one.directory.example"),
                                   QStringLiteral("https://three.directory.example"),
                                   QStringLiteral("https://two.directory.example")}));
    // Shuffled: over a few draws more than one server comes first.
    QSet<QString> firsts;
    for (int i = 0; i < 20; ++i)
        firsts.insert(directoryServerUrls(names, rng).constFirst());
    EXPECT_GT(firsts.size(), 1);

    EXPECT_EQ(reverseLookupName(QHostAddress(QStringLiteral("91.132.145.114"))), QStringLiteral("114.145.132.91.in-addr.arpa"));
    EXPECT_TRUE(reverseLookupName(QHostAddress(QStringLiteral("::1"))).isEmpty());
}

// ---- the client on loopback servers ----

class DirectoryClientTest : public ::testing::Test {
protected:
    void SetUp() override { testApp(); }
    void TearDown() override
    {
        StationDirectory::setServersForTests({});
        StationDirectory::setRequestTimeLimitForTests(0);
    }

    // Runs a search and waits for its end; the failure message, or empty on success.
    struct Outcome {
        bool Finished = false, Failed = false;
        std::vector<DirectoryStation> Stations;
        bool HasMore = false;
        QString Message;
        qint64 Ms = 0;
    };
    Outcome run(StationDirectory &d, const DirectoryQuery &q, int timeoutMs = 10000)
    {
        Outcome o;
        auto a = QObject::connect(&d, &StationDirectory::searchFinished, [&](const auto &s, bool more, int) {
            o.Finished = true;
            o.Stations = s;
            o.HasMore = more;
        });
        auto b = QObject::connect(&d, &StationDirectory::searchFailed, [&](const QString &m) {
            o.Failed = true;
            o.Message = m;
        });
        QElapsedTimer t;
        t.start();
        d.search(q);
        waitUntil([&] { return o.Finished || o.Failed; }, timeoutMs);
        o.Ms = t.elapsed();
        QObject::disconnect(a);
        QObject::disconnect(b);
        return o;
    }
};

// A DNS server on 127.0.0.1 port 53 (the only port the platform's lookup can be pointed at)
// answering A, PTR and SRV questions from its table, NXDOMAIN to others. Needs the right to
// bind that port; ok() tells.
class LoopbackDns {
public:
    struct Answer {
        std::uint16_t Type;  // 1 A, 12 PTR, 33 SRV
        QByteArray Data;     // rdata, already encoded
    };
    explicit LoopbackDns(std::multimap<std::pair<QString, std::uint16_t>, Answer> table) : table_(std::move(table))
    {
        socket_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(53);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (socket_ < 0 || ::bind(socket_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
            return;
        ok_ = true;
        thread_ = std::thread([this] { run(); });
    }
    ~LoopbackDns()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        if (socket_ >= 0)
            ::close(socket_);
    }
    bool ok() const { return ok_; }
    int questions() const { return questions_.load(); }

    static QByteArray name(const QString &dotted)
    {
        QByteArray out;
        for (const QString &label : dotted.split(u'.', Qt::SkipEmptyParts)) {
            out += char(label.size());
            out += label.toLatin1();
        }
        return out + '\0';
    }
    static QByteArray u16(std::uint16_t v) { return QByteArray(1, char(v >> 8)) + char(v & 0xff); }
    static Answer a(const char *ip)
    {
        in_addr addr{};
        inet_pton(AF_INET, ip, &addr);
        return {1, QByteArray(reinterpret_cast<const char *>(&addr), 4)};
    }
    static Answer ptr(const QString &target) { return {12, name(target)}; }
    static Answer srv(const QString &target) { return {33, u16(1) + u16(1) + u16(443) + name(target)}; }

private:
    void run()
    {
        while (!stop_) {
            pollfd p{socket_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            char buf[512];
            sockaddr_in from{};
            socklen_t len = sizeof from;
            const ssize_t n = recvfrom(socket_, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &len);
            if (n < 17)
                continue;
            ++questions_;
            // The question: labels from byte 12, then its type and class.
            QString qname;
            qsizetype i = 12;
            while (i < n && buf[i] != 0) {
                const int l = static_cast<unsigned char>(buf[i]);
                if (!qname.isEmpty())
                    qname += u'.';
                qname += QString::fromLatin1(buf + i + 1, l);
                i += l + 1;
            }
            const qsizetype qend = i + 5;
            if (qend > n)
                continue;
            const std::uint16_t type = static_cast<std::uint16_t>((static_cast<unsigned char>(buf[i + 1]) << 8) |
                                                                  static_cast<unsigned char>(buf[i + 2]));
            QByteArray answers;
            int count = 0;
            const auto range = table_.equal_range({qname.toLower(), type});
            for (auto it = range.first; it != range.second; ++it, ++count)
                answers += u16(0xc00c) + u16(type) + u16(1) + u16(0) + u16(60) + u16(std::uint16_t(it->second.Data.size())) +
                           it->second.Data;
            QByteArray reply(buf, 2);
            reply += u16(count > 0 ? 0x8180 : 0x8183) + u16(1) + u16(std::uint16_t(count)) + u16(0) + u16(0);
            reply += QByteArray(buf + 12, qend - 12) + answers;
            sendto(socket_, reply.constData(), static_cast<size_t>(reply.size()), 0, reinterpret_cast<sockaddr *>(&from), len);
        }
    }

    std::multimap<std::pair<QString, std::uint16_t>, Answer> table_;
    int socket_ = -1;
    bool ok_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<int> questions_{0};
    std::thread thread_;
};

TEST(DirectoryDiscovery, ServersAreFoundThroughTheSrvRecordAndTheReverseNamesOfTheAllName)
{
    testApp();
    using D = LoopbackDns;
    LoopbackDns dns({{{QStringLiteral("_api._tcp.radio-browser.info"), 33}, D::srv(QStringLiteral("one.directory.example"))},
                     {{QStringLiteral("_api._tcp.radio-browser.info"), 33}, D::srv(QStringLiteral("two.directory.example"))},
                     {{QStringLiteral("all.api.radio-browser.info"), 1}, D::a("127.0.0.2")},
                     {{QStringLiteral("all.api.radio-browser.info"), 1}, D::a("127.0.0.3")},
                     {{QStringLiteral("2.0.0.127.in-addr.arpa"), 12}, D::ptr(QStringLiteral("one.directory.example"))},
                     {{QStringLiteral("3.0.0.127.in-addr.arpa"), 12}, D::ptr(QStringLiteral("three.directory.example"))}});
    if (!dns.ok())
        GTEST_SKIP() << "port 53 of 127.0.0.1 cannot be bound here (not root, or taken)";
    StationDirectory::setDnsServerForTests(QHostAddress::LocalHost);
    StationDirectory d;
    QSignalSpy finding(&d, &StationDirectory::findingServers);
    QStringList found;
    bool done = false;
    QObject::connect(&d, &StationDirectory::serversFound, [&](const QStringList &s) {
        found = s;
        done = true;
    });
    d.findServers();
    EXPECT_TRUE(waitUntil([&] { return done; }, 10000));
    StationDirectory::setDnsServerForTests({});
    EXPECT_EQ(finding.count(), 1);
    EXPECT_EQ(dns.questions(), 4); // SRV, A, and one PTR for each address
    found.sort();
    EXPECT_EQ(found, (QStringList{QStringLiteral("https://one.directory.example"),
                                  QStringLiteral("https://three.directory.example"),
                                  QStringLiteral("https://two.directory.example")}));
    // Known now: asked again, nothing is looked up.
    done = false;
    d.findServers();
    EXPECT_TRUE(done);
    EXPECT_EQ(dns.questions(), 4);
}

std::vector<QJsonObject> someStations(int n)
{
    std::vector<QJsonObject> out;
    for (int i = 0; i < n; ++i)
        out.push_back(DirectoryTestServer::station(QStringLiteral("uuid-%1").arg(i), QStringLiteral("Station %1").arg(i),
                                                   QStringLiteral("http://s%1.example/live").arg(i), i));
    return out;
}

TEST_F(DirectoryClientTest, SearchParametersReachTheServerAsDocumentedWithTheProgramsUserAgent)
{
    DirectoryTestServer server(someStations(30));
    StationDirectory::setServersForTests({server.base()});
    StationDirectory d;
    DirectoryQuery q;
    q.Tag = QStringLiteral("pop");
    q.Language = QStringLiteral("german");
    q.CountryCode = QStringLiteral("de");
    q.BitrateMin = 96;
    const Outcome o = run(d, q);
    ASSERT_TRUE(o.Finished) << o.Message.toStdString();
    EXPECT_EQ(o.Stations.size(), 25u);
    EXPECT_TRUE(o.HasMore);
    EXPECT_EQ(o.Stations.front().Name, QStringLiteral("Station 29")); // most votes first

    const auto searches = server.requestsTo(QStringLiteral("/json/stations/search"));
    ASSERT_EQ(searches.size(), 1u);
    const DirectoryTestServer::Request &r = searches.front();
    EXPECT_EQ(r.UserAgent, QStringLiteral("Fonolux/") + fonoluxVersion());
    EXPECT_EQ(r.Query.queryItemValue(QStringLiteral("tag")), QStringLiteral("pop"));
    EXPECT_EQ(r.Query.queryItemValue(QStringLiteral("language")), QStringLiteral("german"));
    EXPECT_EQ(r.Query.queryItemValue(QStringLiteral("countrycode")), QStringLiteral("DE"));
    EXPECT_EQ(r.Query.queryItemValue(QStringLiteral("bitrateMin")), QStringLiteral("96"));
    EXPECT_EQ(r.Query.queryItemValue(QStringLiteral("hidebroken")), QStringLiteral("true"));

    // The last page: five left, no more after them.
    q.Page = 1;
    const Outcome last = run(d, q);
    ASSERT_TRUE(last.Finished);
    EXPECT_EQ(last.Stations.size(), 5u);
    EXPECT_FALSE(last.HasMore);

    // A play is counted on the server that answered.
    d.countClick(QStringLiteral("uuid-3"));
    EXPECT_TRUE(waitUntil([&] { return !server.requestsTo(QStringLiteral("/json/url/")).empty(); }, 5000));
    EXPECT_EQ(server.requestsTo(QStringLiteral("/json/url/")).front().Path, QStringLiteral("/json/url/uuid-3"));
}

TEST_F(DirectoryClientTest, ADeadOrSilentServerIsPassedOverForTheNext)
{
    DirectoryTestServer silent({}, DirectoryTestServer::Mode::Silent);
    DirectoryTestServer good(someStations(3));
    StationDirectory::setServersForTests({DirectoryTestServer::deadBase(), silent.base(), good.base()});
    StationDirectory::setRequestTimeLimitForTests(700);
    StationDirectory d;
    const Outcome o = run(d, {});
    ASSERT_TRUE(o.Finished) << o.Message.toStdString();
    EXPECT_EQ(o.Stations.size(), 3u);
    EXPECT_LT(o.Ms, 5000);
    EXPECT_EQ(silent.requests().size(), 1u);
    // The server that answered is asked first next time.
    EXPECT_EQ(d.currentServer(), good.base());
    ASSERT_TRUE(run(d, {}).Finished);
    EXPECT_EQ(silent.requests().size(), 1u);
    EXPECT_EQ(good.requests().size(), 2u);
}

TEST_F(DirectoryClientTest, BadAnswersEndInAClearMessageWithinTheirBounds)
{
    StationDirectory::setRequestTimeLimitForTests(1500);
    struct Case {
        DirectoryTestServer::Mode Mode;
        const char *Says;
    };
    for (const Case &c : {Case{DirectoryTestServer::Mode::MalformedJson, "not a station list"},
                          Case{DirectoryTestServer::Mode::Endless, "larger than 4 MB"},
                          Case{DirectoryTestServer::Mode::Slow, "did not answer within 2 seconds"},
                          Case{DirectoryTestServer::Mode::RedirectToFile, "file:///etc/passwd"},
                          Case{DirectoryTestServer::Mode::ServerError, "error 500"}}) {
        SCOPED_TRACE(c.Says);
        DirectoryTestServer server(someStations(3), c.Mode);
        StationDirectory::setServersForTests({server.base()});
        StationDirectory d;
        const Outcome o = run(d, {}, 15000);
        EXPECT_FALSE(o.Finished);
        ASSERT_TRUE(o.Failed);
        EXPECT_TRUE(o.Message.contains(QLatin1String(c.Says))) << o.Message.toStdString();
        EXPECT_LT(o.Ms, 6000);
        // One server, tried once: a bad answer is not asked for again and again.
        EXPECT_EQ(server.requests().size(), 1u);
    }
}

TEST_F(DirectoryClientTest, WithNoServerAnsweringTheMessageSaysSo)
{
    StationDirectory::setServersForTests({DirectoryTestServer::deadBase(), DirectoryTestServer::deadBase()});
    StationDirectory d;
    const Outcome o = run(d, {});
    ASSERT_TRUE(o.Failed);
    EXPECT_TRUE(o.Message.startsWith(QStringLiteral("No station directory server answered"))) << o.Message.toStdString();
    EXPECT_TRUE(o.Message.contains(QStringLiteral("Check the internet connection")));
}

TEST_F(DirectoryClientTest, ACancelledOrReplacedSearchIsNeverReported)
{
    DirectoryTestServer slow(someStations(2), DirectoryTestServer::Mode::Slow);
    StationDirectory::setServersForTests({slow.base()});
    StationDirectory d;
    QSignalSpy finished(&d, &StationDirectory::searchFinished);
    QSignalSpy failed(&d, &StationDirectory::searchFailed);
    d.search({});
    ASSERT_TRUE(waitUntil([&] { return !slow.requests().empty(); }, 5000));
    EXPECT_TRUE(d.searching());
    d.cancelSearch();
    EXPECT_FALSE(d.searching());
    QTest::qWait(600);
    EXPECT_EQ(finished.count() + failed.count(), 0);

    // A new search replaces a running one: only the new one ends.
    slow.setMode(DirectoryTestServer::Mode::Normal);
    DirectoryTestServer slower(someStations(1), DirectoryTestServer::Mode::Slow);
    StationDirectory::setServersForTests({slower.base()});
    d.search({});
    ASSERT_TRUE(waitUntil([&] { return !slower.requests().empty(); }, 5000));
    StationDirectory::setServersForTests({slow.base()});
    d.search({});
    ASSERT_TRUE(waitUntil([&] { return finished.count() + failed.count() > 0; }, 5000));
    QTest::qWait(300);
    ASSERT_EQ(finished.count(), 1);
    EXPECT_EQ(failed.count(), 0);
    EXPECT_EQ(finished.at(0).at(0).value<std::vector<DirectoryStation>>().size(), 2u);
}

} // namespace
