// The community station directory: its query and answer rules, server discovery and requests.
#include "StationDirectory.h"

#include <QDnsLookup>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSet>
#include <QTimer>

#include <algorithm>
#include <memory>

QString fonoluxVersion();

namespace {

QStringList &serverOverride()
{
    static QStringList servers;
    return servers;
}

QHostAddress &dnsOverride()
{
    static QHostAddress server;
    return server;
}

int &requestTimeLimit()
{
    static int ms = 15000;
    return ms;
}

// How long finding the servers may take before the names found so far are used.
constexpr int DiscoveryTimeLimitMs = 8000;

bool isCleanedAway(char32_t c)
{
    if (c < 0x20 || (c >= 0x7f && c < 0xa0))
        return true;                       // C0, DEL, C1 controls (tabs and line ends too)
    if (c == 0x2028 || c == 0x2029)
        return true;                       // line and paragraph separators
    if ((c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069))
        return true;                       // direction embeddings, overrides and isolates
    return c == 0xfeff || c == 0xfffe || c == 0xffff;
}

// A JSON field read as an integer whether it came as a number, a boolean or a numeric text.
int intField(const QJsonObject &o, const char *key)
{
    const QJsonValue v = o.value(QLatin1String(key));
    if (v.isDouble())
        return static_cast<int>(std::clamp(v.toDouble(), -2.0e9, 2.0e9));
    if (v.isBool())
        return v.toBool() ? 1 : 0;
    if (v.isString())
        return v.toString().trimmed().toInt();
    return 0;
}

QString textField(const QJsonObject &o, const char *key, int limit)
{
    const QJsonValue v = o.value(QLatin1String(key));
    if (v.isString())
        return cleanStationText(v.toString(), limit);
    if (v.isDouble())
        return QString::number(v.toDouble());
    return {};
}

QString hostOf(const QString &base)
{
    return QUrl(base).host();
}

} // namespace

// ---- plain rules ----

QUrlQuery directorySearchQuery(const DirectoryQuery &q)
{
    QUrlQuery query;
    auto text = [&query](const char *key, const QString &value) {
        const QString v = value.trimmed();
        if (!v.isEmpty())
            query.addQueryItem(QLatin1String(key), QString::fromLatin1(QUrl::toPercentEncoding(v)));
    };
    text("name", q.Name);
    text("tag", q.Tag);
    text("countrycode", q.CountryCode.trimmed().toUpper());
    text("language", q.Language);
    text("codec", q.Codec);
    if (q.BitrateMin > 0)
        query.addQueryItem(QStringLiteral("bitrateMin"), QString::number(q.BitrateMin));
    switch (q.Order) {
    case TDirectoryOrder::Votes:
        query.addQueryItem(QStringLiteral("order"), QStringLiteral("votes"));
        query.addQueryItem(QStringLiteral("reverse"), QStringLiteral("true"));
        break;
    case TDirectoryOrder::Clicks:
        query.addQueryItem(QStringLiteral("order"), QStringLiteral("clickcount"));
        query.addQueryItem(QStringLiteral("reverse"), QStringLiteral("true"));
        break;
    case TDirectoryOrder::Name:
        query.addQueryItem(QStringLiteral("order"), QStringLiteral("name"));
        query.addQueryItem(QStringLiteral("reverse"), QStringLiteral("false"));
        break;
    }
    query.addQueryItem(QStringLiteral("hidebroken"), q.IncludeBroken ? QStringLiteral("false") : QStringLiteral("true"));
    const int size = std::max(1, q.PageSize);
    query.addQueryItem(QStringLiteral("offset"), QString::number(static_cast<qint64>(std::max(0, q.Page)) * size));
    query.addQueryItem(QStringLiteral("limit"), QString::number(size + 1));
    return query;
}

QString directoryQueryProblem(const DirectoryQuery &q)
{
    const QString code = q.CountryCode.trimmed();
    if (!code.isEmpty()) {
        const bool letters = code.size() == 2 && std::all_of(code.begin(), code.end(), [](QChar c) {
                                 return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
                             });
        if (!letters)
            return QStringLiteral("A country is given by its two-letter code, such as DE, FR or US.");
    }
    return {};
}

QString cleanStationText(const QString &text, int maxLength)
{
    QString out;
    out.reserve(std::min<qsizetype>(text.size(), qsizetype(maxLength) + 8));
    bool blank = true; // drops blanks at the start and collapses runs
    for (qsizetype i = 0; i < text.size(); ++i) {
        char32_t c = text[i].unicode();
        if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            c = QChar::surrogateToUcs4(text[i], text[i + 1]);
        } else if (text[i].isSurrogate()) {
            c = 0xfffd; // a lone half of a pair is no character
        }
        if (isCleanedAway(c) || QChar::isSpace(c)) {
            if (!blank)
                out += u' ';
            blank = true;
        } else {
            out += QString::fromUcs4(&c, 1);
            blank = false;
        }
        if (c > 0xffff)
            ++i;
        if (out.size() > maxLength + 4)
            break; // the rest would be cut anyway; stops work on endless texts early
    }
    while (out.endsWith(u' '))
        out.chop(1);
    if (out.size() > maxLength) {
        qsizetype cut = std::max(0, maxLength - 3);
        if (cut > 0 && out[cut - 1].isHighSurrogate())
            --cut;
        out = out.left(cut).trimmed() + QStringLiteral("...");
    }
    return out;
}

bool usableStationUrl(const QString &url)
{
    if (url.isEmpty() || url.size() > StationAddressLimit)
        return false;
    for (QChar c : url)
        if (c.unicode() <= 0x20 || c.unicode() == 0x7f || isCleanedAway(c.unicode()))
            return false;
    const QUrl u(url, QUrl::StrictMode);
    if (!u.isValid() || u.host().isEmpty())
        return false;
    const QString scheme = u.scheme().toLower();
    return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

bool parseDirectoryStations(const QByteArray &json, std::vector<DirectoryStation> &stations, int limit,
                            int *total, int *skipped, QString *error)
{
    stations.clear();
    int left = 0;
    QJsonParseError parse{};
    const QJsonDocument doc = QJsonDocument::fromJson(json, &parse);
    if (parse.error != QJsonParseError::NoError || !doc.isArray()) {
        if (error)
            *error = QStringLiteral("The station directory sent an answer that is not a station list.");
        if (total)
            *total = 0;
        if (skipped)
            *skipped = 0;
        return false;
    }
    const QJsonArray array = doc.array();
    if (total)
        *total = static_cast<int>(array.size());
    const qsizetype count = limit < 0 ? array.size() : std::min<qsizetype>(array.size(), limit);
    for (qsizetype i = 0; i < count; ++i) {
        if (!array[i].isObject()) {
            ++left;
            continue;
        }
        const QJsonObject o = array[i].toObject();
        DirectoryStation s;
        // Addresses are taken as sent (only blanks at the ends go); one that needs more
        // cleaning than that is not trusted.
        QString url = o.value(QLatin1String("url_resolved")).toString().trimmed();
        if (url.isEmpty())
            url = o.value(QLatin1String("url")).toString().trimmed();
        if (!usableStationUrl(url)) {
            ++left;
            continue;
        }
        s.Url = url;
        s.Uuid = textField(o, "stationuuid", 64);
        s.Name = textField(o, "name", StationNameLimit);
        s.Homepage = textField(o, "homepage", StationAddressLimit);
        s.Tags = textField(o, "tags", StationTagsLimit);
        s.CountryCode = textField(o, "countrycode", 8);
        s.Language = textField(o, "language", 80);
        s.Codec = textField(o, "codec", 20);
        s.Bitrate = std::max(0, intField(o, "bitrate"));
        s.Hls = intField(o, "hls") != 0;
        s.LastCheckOk = !o.contains(QLatin1String("lastcheckok")) || intField(o, "lastcheckok") != 0;
        s.ClickCount = intField(o, "clickcount");
        s.Votes = intField(o, "votes");
        stations.push_back(std::move(s));
    }
    if (skipped)
        *skipped = left;
    return true;
}

QStringList directoryServerUrls(const QStringList &names, std::mt19937 &rng)
{
    QStringList out;
    QSet<QString> seen;
    for (QString n : names) {
        n = n.trimmed().toLower();
        while (n.endsWith(u'.'))
            n.chop(1);
        if (n.isEmpty() || !n.contains(u'.') || !QHostAddress(n).isNull())
            continue;
        // Only a plain host name may become an address.
        const bool plain = std::all_of(n.begin(), n.end(), [](QChar c) {
            return (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') || c == u'-' || c == u'.';
        });
        if (!plain || seen.contains(n))
            continue;
        seen.insert(n);
        out << QStringLiteral("https://") + n;
    }
    std::shuffle(out.begin(), out.end(), rng);
    return out;
}

QString reverseLookupName(const QHostAddress &address)
{
    bool ok = false;
    const quint32 v4 = address.toIPv4Address(&ok);
    if (!ok)
        return {};
    return QStringLiteral("%1.%2.%3.%4.in-addr.arpa")
        .arg(v4 & 0xff)
        .arg((v4 >> 8) & 0xff)
        .arg((v4 >> 16) & 0xff)
        .arg((v4 >> 24) & 0xff);
}

// ---- the client ----

StationDirectory::StationDirectory(QObject *parent)
    : QObject(parent), network_(new QNetworkAccessManager(this)), rng_(std::random_device{}())
{
}

StationDirectory::~StationDirectory()
{
    // Replies are children of the manager; their handlers must not run on a half-gone object.
    for (auto &entry : jobs_)
        if (entry.second.Reply)
            entry.second.Reply->disconnect(this);
}

void StationDirectory::setServersForTests(const QStringList &baseUrls)
{
    serverOverride() = baseUrls;
}

void StationDirectory::setDnsServerForTests(const QHostAddress &server)
{
    dnsOverride() = server;
}

void StationDirectory::setRequestTimeLimitForTests(int ms)
{
    requestTimeLimit() = ms > 0 ? ms : 15000;
}

QString StationDirectory::currentServer() const
{
    return servers_.isEmpty() ? QString() : servers_.value(serverIndex_ % servers_.size());
}

void StationDirectory::search(const DirectoryQuery &q)
{
    cancelSearch();
    Job j;
    j.Path = QStringLiteral("/json/stations/search");
    j.Query = directorySearchQuery(q);
    const int pageSize = std::max(1, q.PageSize);
    j.Done = [this, pageSize](const QByteArray &body) {
        std::vector<DirectoryStation> stations;
        int total = 0, skipped = 0;
        QString error;
        if (!parseDirectoryStations(body, stations, pageSize, &total, &skipped, &error))
            return error;
        searchJob_ = 0;
        emit searchFinished(stations, total > pageSize, skipped);
        return QString();
    };
    j.Failed = [this](const QString &message) {
        searchJob_ = 0;
        emit searchFailed(message);
    };
    j.Id = nextJobId_++;
    searchJob_ = j.Id;
    start(std::move(j));
}

void StationDirectory::cancelSearch()
{
    const std::uint64_t id = searchJob_;
    searchJob_ = 0;
    const auto it = jobs_.find(id);
    if (it == jobs_.end())
        return;
    QPointer<QNetworkReply> reply = it->second.Reply;
    jobs_.erase(it);
    if (reply) {
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
}

void StationDirectory::countClick(const QString &uuid)
{
    if (uuid.trimmed().isEmpty())
        return;
    Job j;
    j.Id = nextJobId_++;
    j.Path = QStringLiteral("/json/url/") + QString::fromLatin1(QUrl::toPercentEncoding(uuid.trimmed()));
    j.SizeLimit = 64 * 1024;
    j.Done = [](const QByteArray &) { return QString(); };
    j.Failed = [](const QString &) {};
    start(std::move(j));
}

void StationDirectory::findServers()
{
    withServers([this] { emit serversFound(servers_); });
}

void StationDirectory::start(Job job)
{
    const std::uint64_t id = job.Id;
    jobs_.emplace(id, std::move(job));
    withServers([this, id] { tryNext(id); });
}

void StationDirectory::withServers(const std::function<void()> &then)
{
    if (!serverOverride().isEmpty()) {
        if (servers_ != serverOverride()) {
            servers_ = serverOverride();
            serverIndex_ = 0;
        }
        then();
        return;
    }
    if (!servers_.isEmpty()) {
        then();
        return;
    }
    waiting_.push_back(then);
    if (!discovering_)
        discover();
}

void StationDirectory::discover()
{
    discovering_ = true;
    foundNames_.clear();
    lookups_.clear();
    emit findingServers();
    auto lookup = [this](QDnsLookup::Type type, const QString &name, auto onDone) {
        auto *l = new QDnsLookup(type, name, this);
        if (!dnsOverride().isNull())
            l->setNameserver(dnsOverride());
        connect(l, &QDnsLookup::finished, this, [this, l, onDone] {
            if (discovering_ && l->error() == QDnsLookup::NoError)
                onDone(l);
            l->deleteLater();
            discoveryStep();
        });
        lookups_.push_back(l);
        l->lookup();
    };
    auto onSrv = [this](QDnsLookup *l) {
        for (const QDnsServiceRecord &r : l->serviceRecords())
            foundNames_ << r.target();
    };
    // The addresses' reverse names are the servers' own names, which their certificates carry.
    auto onPtr = [this](QDnsLookup *l) {
        for (const QDnsDomainNameRecord &r : l->pointerRecords())
            foundNames_ << r.value();
    };
    auto onA = [this, lookup, onPtr](QDnsLookup *l) {
        for (const QDnsHostAddressRecord &r : l->hostAddressRecords()) {
            const QString ptr = reverseLookupName(r.value());
            if (!ptr.isEmpty())
                lookup(QDnsLookup::PTR, ptr, onPtr);
        }
    };
    lookup(QDnsLookup::SRV, QString::fromLatin1(DirectorySrvName), onSrv);
    lookup(QDnsLookup::A, QString::fromLatin1(DirectoryAllName), onA);

    if (!discoveryDeadline_) {
        discoveryDeadline_ = new QTimer(this);
        discoveryDeadline_->setSingleShot(true);
        connect(discoveryDeadline_, &QTimer::timeout, this, &StationDirectory::finishDiscovery);
    }
    discoveryDeadline_->start(DiscoveryTimeLimitMs);
}

void StationDirectory::discoveryStep()
{
    if (!discovering_)
        return;
    for (const QPointer<QDnsLookup> &l : lookups_)
        if (l && !l->isFinished())
            return;
    finishDiscovery();
}

void StationDirectory::finishDiscovery()
{
    if (!discovering_)
        return;
    discovering_ = false;
    discoveryDeadline_->stop();
    for (const QPointer<QDnsLookup> &l : lookups_)
        if (l && !l->isFinished()) {
            l->disconnect(this);
            l->abort();
            l->deleteLater();
        }
    lookups_.clear();
    servers_ = directoryServerUrls(foundNames_, rng_);
    serverIndex_ = 0;
    const auto waiting = std::move(waiting_);
    waiting_.clear();
    for (const auto &then : waiting)
        then();
}

void StationDirectory::tryNext(std::uint64_t id)
{
    const auto it = jobs_.find(id);
    if (it == jobs_.end())
        return; // cancelled meanwhile
    Job &j = it->second;
    const int n = static_cast<int>(servers_.size());
    if (n == 0 || j.Tried >= n) {
        failJob(id);
        return;
    }
    const int server = (serverIndex_ + j.Tried) % n;
    ++j.Tried;
    QUrl url(servers_[server]);
    url.setPath(url.path() + j.Path);
    url.setQuery(j.Query);

    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::UserAgentHeader, QStringLiteral("Fonolux/") + fonoluxVersion());
    request.setRawHeader("Accept", "application/json");
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::UserVerifiedRedirectPolicy);
    request.setMaximumRedirectsAllowed(5);
    request.setTransferTimeout(requestTimeLimit());
    QNetworkReply *reply = network_->get(request);
    j.Reply = reply;

    const qint64 limit = j.SizeLimit;
    auto body = std::make_shared<QByteArray>();
    const bool fromHttps = url.scheme() == QLatin1String("https");
    connect(reply, &QNetworkReply::readyRead, this, [reply, body, limit] {
        if (body->size() + reply->bytesAvailable() > limit) {
            reply->setProperty("fonoluxTooBig", true);
            reply->abort();
            return;
        }
        body->append(reply->readAll());
    });
    connect(reply, &QNetworkReply::redirected, this, [reply, fromHttps](const QUrl &to) {
        const QString scheme = to.scheme().toLower();
        if (!to.host().isEmpty() && (scheme == QLatin1String("https") || (scheme == QLatin1String("http") && !fromHttps))) {
            emit reply->redirectAllowed();
            return;
        }
        reply->setProperty("fonoluxRefusedRedirect", to.toString(QUrl::RemoveUserInfo));
        reply->abort();
    });
    // The transfer time-out restarts with every byte; a server that trickles an answer is
    // bounded by this deadline from the start.
    QTimer::singleShot(requestTimeLimit(), reply, [reply] {
        if (reply->isRunning()) {
            reply->setProperty("fonoluxTimedOut", true);
            reply->abort();
        }
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply, body, id, server] {
        if (reply->bytesAvailable() > 0 && body->size() + reply->bytesAvailable() <= AnswerSizeLimit &&
            !reply->property("fonoluxTooBig").toBool())
            body->append(reply->readAll());
        reply->setProperty("fonoluxBody", *body);
        replyFinished(reply, id, server);
    });
}

void StationDirectory::replyFinished(QNetworkReply *reply, std::uint64_t id, int server)
{
    reply->deleteLater();
    const auto it = jobs_.find(id);
    if (it == jobs_.end())
        return;
    Job &j = it->second;
    j.Reply = nullptr;
    const QString host = hostOf(servers_.value(server));
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();

    QString bad, noAnswer;
    if (reply->property("fonoluxTooBig").toBool()) {
        bad = QStringLiteral("The station directory server %1 sent an answer larger than %2 MB; it was not read.")
                  .arg(host)
                  .arg(j.SizeLimit / (1024.0 * 1024.0), 0, 'f', j.SizeLimit >= 1024 * 1024 ? 0 : 2);
    } else if (reply->property("fonoluxRefusedRedirect").isValid()) {
        bad = QStringLiteral("The station directory server %1 sent Fonolux on to \"%2\", an address it does not follow.")
                  .arg(host, cleanStationText(reply->property("fonoluxRefusedRedirect").toString(), 200));
    } else if (status >= 300 && status < 400) {
        // A redirect that the network layer itself would not follow (to another scheme).
        bad = QStringLiteral("The station directory server %1 sent Fonolux on to \"%2\", an address it does not follow.")
                  .arg(host, cleanStationText(QString::fromUtf8(reply->rawHeader("Location")), 200));
    } else if (reply->property("fonoluxTimedOut").toBool() || reply->error() == QNetworkReply::OperationCanceledError) {
        noAnswer = QStringLiteral("%1 did not answer within %2 seconds").arg(host).arg((requestTimeLimit() + 999) / 1000);
    } else if (reply->error() != QNetworkReply::NoError && status == 0) {
        noAnswer = host + QStringLiteral(": ") + reply->errorString();
    } else if (status != 200) {
        bad = QStringLiteral("The station directory server %1 answered with the error %2 %3.")
                  .arg(host)
                  .arg(status)
                  .arg(cleanStationText(reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString(), 80));
    } else {
        // Done may report a result and start new work; it decides about this answer only.
        bad = j.Done(reply->property("fonoluxBody").toByteArray());
        if (bad.isEmpty()) {
            serverIndex_ = server;
            jobs_.erase(id);
            return;
        }
    }
    if (!bad.isEmpty()) {
        j.SawBadAnswer = true;
        j.BadAnswer = bad;
    } else {
        j.LastNoAnswer = noAnswer;
    }
    tryNext(id);
}

void StationDirectory::failJob(std::uint64_t id)
{
    const auto it = jobs_.find(id);
    if (it == jobs_.end())
        return;
    Job j = std::move(it->second);
    jobs_.erase(it);
    QString message;
    if (servers_.isEmpty()) {
        message = QStringLiteral("No station directory server could be found. Check the internet connection "
                                 "and try again.");
    } else if (j.SawBadAnswer) {
        message = j.BadAnswer;
    } else {
        message = QStringLiteral("No station directory server answered (%1). Check the internet connection "
                                 "and try again.")
                      .arg(j.LastNoAnswer);
    }
    // Found servers that all failed are looked up afresh next time: the network may have
    // changed.
    if (!j.SawBadAnswer && serverOverride().isEmpty())
        servers_.clear();
    if (j.Failed)
        j.Failed(message);
}
