// The community station directory: finding its API servers, searching it for stations and
// counting a play, plus the plain rules behind that (the search's query, reading its JSON
// answer into station records, cleaning the texts a server sends).
//
// The directory is a public web service run on several servers. Its servers are found through
// DNS at run time, never named in the program: the SRV records of DirectorySrvName and the
// reverse names of the addresses of DirectoryAllName, mixed in random order. A request that
// fails (no answer, an error, a time-out, a refused redirect, an answer that is too big or no
// station list) is tried on the next server. Every request sends "User-Agent: Fonolux/<version>".
//
// StationDirectory lives on the window thread and never blocks it: QNetworkAccessManager and
// QDnsLookup run asynchronously and report through the event loop.
#pragma once

#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QUrlQuery>

#include <cstdint>
#include <functional>
#include <map>
#include <random>
#include <vector>

class QDnsLookup;
class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

// ---- plain rules ----

// The DNS names through which the directory's servers are found.
inline constexpr const char *DirectorySrvName = "_api._tcp.radio-browser.info";
inline constexpr const char *DirectoryAllName = "all.api.radio-browser.info";

// Longest station name kept (longer ones are cut and end in "..."), longest address accepted.
constexpr int StationNameLimit = 120;
constexpr int StationAddressLimit = 2048;
// Longest tag list shown.
constexpr int StationTagsLimit = 200;

// One station of the directory, its texts cleaned (see cleanStationText).
struct DirectoryStation {
    QString Uuid;        // stationuuid; empty when the server sent none (the play is then not counted)
    QString Name;
    QString Url;         // url_resolved, or url when that is empty; always an http(s) address
    QString Homepage;
    QString Tags;        // comma list as sent
    QString CountryCode;
    QString Language;
    QString Codec;
    int Bitrate = 0;     // kbit/s, 0 when unknown
    bool Hls = false;
    bool LastCheckOk = true;
    int ClickCount = 0;
    int Votes = 0;
};

enum class TDirectoryOrder { Votes, Clicks, Name };

// What a person asked for. Empty texts and a zero bit rate ask for nothing.
struct DirectoryQuery {
    QString Name, Tag, CountryCode, Language, Codec;
    int BitrateMin = 0;
    TDirectoryOrder Order = TDirectoryOrder::Votes;
    bool IncludeBroken = false;
    int Page = 0;        // from 0
    int PageSize = 25;
};

// The parameters of /json/stations/search for q: name, tag, countrycode, language, codec,
// bitrateMin (only those given), order (votes, clickcount or name) with reverse=true for votes
// and clicks (most first), hidebroken=true unless broken stations are wanted, offset and limit.
// The limit asks for one station more than a page, so that the answer tells whether a next
// page exists.
QUrlQuery directorySearchQuery(const DirectoryQuery &q);
// Empty when q can be sent; otherwise what is wrong with it, in words for the user (a country
// code that is not two letters).
QString directoryQueryProblem(const DirectoryQuery &q);

// The stations of a search answer, in the order sent; only the first limit entries are read
// (all when limit is negative), *total gets the number of entries in the answer. Entries that
// are not objects, or whose address is no usable web address (see usableStationUrl), are left
// out and counted in *skipped. False, with *error set for the user, when json is no JSON array.
bool parseDirectoryStations(const QByteArray &json, std::vector<DirectoryStation> &stations, int limit,
                            int *total, int *skipped, QString *error);

// The text with every control character, line or paragraph separator and direction override
// replaced by a blank, runs of blanks made one, blanks at both ends removed, and cut to at most
// maxLength characters (ending in "..." when cut, never inside a surrogate pair).
QString cleanStationText(const QString &text, int maxLength);
// True for an http or https address with a host, no blanks or control characters and at most
// StationAddressLimit characters.
bool usableStationUrl(const QString &url);

// The base addresses to try, "https://<name>", from the names DNS gave (SRV targets and
// reverse names): names compared without case and without a final dot, numeric addresses and
// names without a dot left out, each once, in an order shuffled by rng.
QStringList directoryServerUrls(const QStringList &names, std::mt19937 &rng);
// The PTR query name of an IPv4 address ("4.3.2.1.in-addr.arpa" for 1.2.3.4); empty for others.
QString reverseLookupName(const QHostAddress &address);

// ---- the client ----

class StationDirectory : public QObject {
    Q_OBJECT
public:
    explicit StationDirectory(QObject *parent = nullptr);
    ~StationDirectory() override;

    // Test settings, process-wide. A non-empty server list replaces the DNS discovery (base
    // addresses such as "http://127.0.0.1:8080", tried in the order given); a DNS server other
    // than the system's is asked on port 53; the time limit bounds each request from its start
    // to its last byte (default 15 000 ms).
    static void setServersForTests(const QStringList &baseUrls);
    static void setDnsServerForTests(const QHostAddress &server);
    static void setRequestTimeLimitForTests(int ms);

    // Most bytes read from one answer; a longer one is cut off and counts as a failure.
    static constexpr qint64 AnswerSizeLimit = 4 * 1024 * 1024;

    // Starts a search, cancelling one that is running. Its end is reported by searchFinished
    // or searchFailed, never both, and not at all when it is cancelled.
    void search(const DirectoryQuery &q);
    // Drops the running search (if any): its answer is never reported.
    void cancelSearch();
    bool searching() const { return searchJob_ != 0; }
    // Tells the directory that the station was played (GET /json/url/<uuid> on the server that
    // answered last, else the first that answers). Nothing is reported; a failure is ignored.
    void countClick(const QString &uuid);

    // Finds the servers now unless they are known; serversFound reports them (empty when DNS
    // gave none).
    void findServers();
    // The servers in the order they are tried, once known (for tests and the status line).
    QStringList servers() const { return servers_; }
    // The base address of the server that answered last; empty before any answer.
    QString currentServer() const;

signals:
    // hasMore: the server holds at least one more station after this page. skipped: entries
    // left out for unusable addresses.
    void searchFinished(const std::vector<DirectoryStation> &stations, bool hasMore, int skipped);
    void searchFailed(const QString &message);
    // Server discovery began (it takes a moment the first time).
    void findingServers();
    void serversFound(const QStringList &servers);

private:
    // A request to be tried on one server after the other.
    struct Job {
        std::uint64_t Id = 0;
        QString Path;
        QUrlQuery Query;
        qint64 SizeLimit = AnswerSizeLimit;
        int Tried = 0;                 // servers tried so far
        bool SawBadAnswer = false;     // some server answered, but not usefully
        QString BadAnswer;             // what was wrong with it, for the user
        QString LastNoAnswer;          // why the last server did not answer
        QPointer<QNetworkReply> Reply; // the request under way
        // Takes the answer's body; an empty result accepts it, a text says what is wrong with
        // it (the next server is then tried).
        std::function<QString(const QByteArray &body)> Done;
        std::function<void(const QString &message)> Failed;
    };

    void start(Job job);
    void withServers(const std::function<void()> &then);
    void discover();
    void discoveryStep();
    void finishDiscovery();
    void tryNext(std::uint64_t id);
    void replyFinished(QNetworkReply *reply, std::uint64_t id, int server);
    void failJob(std::uint64_t id);

    QNetworkAccessManager *network_ = nullptr;
    QStringList servers_;
    int serverIndex_ = 0;              // where the next request starts
    std::map<std::uint64_t, Job> jobs_;
    std::uint64_t nextJobId_ = 1;
    std::uint64_t searchJob_ = 0;      // the running search's job, 0 when none

    // Discovery state.
    bool discovering_ = false;
    std::vector<std::function<void()>> waiting_;
    std::vector<QPointer<QDnsLookup>> lookups_;
    QStringList foundNames_;
    QTimer *discoveryDeadline_ = nullptr;
    std::mt19937 rng_;
};
