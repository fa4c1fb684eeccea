// A stand-in for one server of the community station directory on 127.0.0.1, answering as the
// service's documentation describes: GET /json/stations/search with name, tag, countrycode,
// language, codec, bitrateMin, order, reverse, hidebroken, offset and limit, answered by a
// JSON array of station objects; GET /json/url/<stationuuid> counts a click and answers with
// the station's address. It records every request, and can misbehave on demand.
#pragma once

#include "ScriptedServer.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <QUrl>
#include <QUrlQuery>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

class DirectoryTestServer {
public:
    enum class Mode {
        Normal,
        MalformedJson,  // a 200 answer whose body breaks off inside the array
        Endless,        // a station array that never ends
        Slow,           // a valid answer trickled one byte every 100 ms
        Silent,         // accepts and never answers
        RedirectToFile, // 302 to a file: address
        ServerError,    // 500
    };

    struct Request {
        QString Path;
        QUrlQuery Query;
        QString UserAgent;
    };

    explicit DirectoryTestServer(std::vector<QJsonObject> stations = {}, Mode mode = Mode::Normal)
        : stations_(std::move(stations)), mode_(mode),
          server_([this](int socket, testsupport::ScriptedServer &s) { serve(socket, s); })
    {
    }

    QString base() const { return QStringLiteral("http://127.0.0.1:%1").arg(server_.port()); }
    void setMode(Mode mode) { mode_ = mode; }
    void setStations(std::vector<QJsonObject> stations)
    {
        std::lock_guard<std::mutex> lock(cs_);
        stations_ = std::move(stations);
    }
    std::vector<Request> requests() const
    {
        std::lock_guard<std::mutex> lock(cs_);
        return requests_;
    }
    std::vector<Request> requestsTo(const QString &pathStart) const
    {
        std::vector<Request> out;
        for (const Request &r : requests())
            if (r.Path.startsWith(pathStart))
                out.push_back(r);
        return out;
    }

    // A station object as the directory sends it.
    static QJsonObject station(const QString &uuid, const QString &name, const QString &url, int votes = 0,
                               int bitrate = 128, const QString &codec = QStringLiteral("MP3"),
                               const QString &country = QStringLiteral("DE"), const QString &tags = QStringLiteral("pop"),
                               bool ok = true)
    {
        return QJsonObject{{QStringLiteral("changeuuid"), uuid + QStringLiteral("-c")},
                           {QStringLiteral("stationuuid"), uuid},
                           {QStringLiteral("name"), name},
                           {QStringLiteral("url"), url},
                           {QStringLiteral("url_resolved"), url},
                           {QStringLiteral("homepage"), QStringLiteral("https://radio.example/")},
                           {QStringLiteral("favicon"), QString()},
                           {QStringLiteral("tags"), tags},
                           {QStringLiteral("country"), QStringLiteral("Somewhere")},
                           {QStringLiteral("countrycode"), country},
                           {QStringLiteral("state"), QString()},
                           {QStringLiteral("language"), QStringLiteral("german")},
                           {QStringLiteral("votes"), votes},
                           {QStringLiteral("codec"), codec},
                           {QStringLiteral("bitrate"), bitrate},
                           {QStringLiteral("hls"), 0},
                           {QStringLiteral("lastcheckok"), ok ? 1 : 0},
                           {QStringLiteral("clickcount"), votes * 3},
                           {QStringLiteral("clicktrend"), 0}};
    }

    // A port on which nothing listens (a server that is down).
    static QString deadBase()
    {
        const int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
        ::getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
        ::close(s);
        return QStringLiteral("http://127.0.0.1:%1").arg(ntohs(a.sin_port));
    }

private:
    static bool send(int socket, const QByteArray &bytes)
    {
        return testsupport::ScriptedServer::sendAll(socket, bytes.constData(), static_cast<size_t>(bytes.size()));
    }
    static QByteArray answer(const char *status, const QByteArray &body, const QByteArray &extra = {})
    {
        return QByteArray("HTTP/1.1 ") + status + "\r\nContent-Type: application/json\r\nContent-Length: " +
               QByteArray::number(body.size()) + "\r\nConnection: close\r\n" + extra + "\r\n" + body;
    }

    void serve(int socket, testsupport::ScriptedServer &s)
    {
        const QString header = QString::fromStdString(testsupport::ScriptedServer::readRequest(socket));
        const QStringList lines = header.split(QStringLiteral("\r\n"));
        const QStringList first = lines.value(0).split(u' ');
        if (first.size() < 2)
            return;
        const QUrl target(QStringLiteral("http://x") + first[1]);
        Request r{target.path(), QUrlQuery(target), QString()};
        for (const QString &l : lines)
            if (l.startsWith(QLatin1String("User-Agent:"), Qt::CaseInsensitive))
                r.UserAgent = l.mid(11).trimmed();
        {
            std::lock_guard<std::mutex> lock(cs_);
            requests_.push_back(r);
        }
        switch (mode_.load()) {
        case Mode::Normal:
            break;
        case Mode::MalformedJson:
            send(socket, answer("200 OK", "[{\"name\":\"Half\",\"url\":\"http://a.example/x\"},{\"name\":"));
            return;
        case Mode::ServerError:
            send(socket, answer("500 Internal Server Error", "{}"));
            return;
        case Mode::RedirectToFile:
            send(socket, answer("302 Found", QByteArray(), "Location: file:///etc/passwd\r\n"));
            return;
        case Mode::Silent:
            for (int i = 0; i < 600 && !s.stopping(); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            return;
        case Mode::Endless: {
            send(socket, "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n\r\n[");
            QByteArray chunk;
            while (chunk.size() < 65536)
                chunk += "{\"stationuuid\":\"e\",\"name\":\"Endless\",\"url\":\"http://endless.example/s\"},";
            // Bounded all the same: 256 MiB or the client going away, whichever comes first.
            for (int i = 0; i < 4096 && !s.stopping(); ++i)
                if (!send(socket, chunk))
                    return;
            return;
        }
        case Mode::Slow: {
            const QByteArray whole = answer("200 OK", body(r));
            for (char c : whole) {
                if (s.stopping() || !send(socket, QByteArray(1, c)))
                    return;
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            return;
        }
        }
        if (r.Path.startsWith(QLatin1String("/json/url/"))) {
            const QString uuid = r.Path.mid(10);
            send(socket, answer("200 OK", QJsonDocument(QJsonObject{{QStringLiteral("ok"), QStringLiteral("true")},
                                                                    {QStringLiteral("message"), QStringLiteral("retrieved station url")},
                                                                    {QStringLiteral("stationuuid"), uuid}})
                                              .toJson(QJsonDocument::Compact)));
            return;
        }
        if (r.Path != QLatin1String("/json/stations/search")) {
            send(socket, answer("404 Not Found", "[]"));
            return;
        }
        send(socket, answer("200 OK", body(r)));
    }

    // The search's answer: the documented filters, order and page over the stations held.
    QByteArray body(const Request &r)
    {
        std::vector<QJsonObject> all;
        {
            std::lock_guard<std::mutex> lock(cs_);
            all = stations_;
        }
        const QUrlQuery &q = r.Query;
        auto item = [&q](const char *key) { return q.queryItemValue(QLatin1String(key), QUrl::FullyDecoded); };
        std::vector<QJsonObject> hits;
        for (const QJsonObject &o : all) {
            auto has = [&o](const char *field, const QString &want) {
                return want.isEmpty() || o.value(QLatin1String(field)).toString().contains(want, Qt::CaseInsensitive);
            };
            if (!has("name", item("name")) || !has("tags", item("tag")) || !has("language", item("language")))
                continue;
            if (!item("countrycode").isEmpty() &&
                o.value(QLatin1String("countrycode")).toString().compare(item("countrycode"), Qt::CaseInsensitive) != 0)
                continue;
            if (!item("codec").isEmpty() &&
                o.value(QLatin1String("codec")).toString().compare(item("codec"), Qt::CaseInsensitive) != 0)
                continue;
            if (o.value(QLatin1String("bitrate")).toInt() < item("bitrateMin").toInt())
                continue;
            if (item("hidebroken") == QLatin1String("true") && o.value(QLatin1String("lastcheckok")).toInt() == 0)
                continue;
            hits.push_back(o);
        }
        const QString order = item("order");
        const bool reverse = item("reverse") == QLatin1String("true");
        std::stable_sort(hits.begin(), hits.end(), [&](const QJsonObject &a, const QJsonObject &b) {
            if (order == QLatin1String("name"))
                return a.value(QLatin1String("name")).toString().compare(b.value(QLatin1String("name")).toString(),
                                                                         Qt::CaseInsensitive) < 0;
            const char *f = order == QLatin1String("clickcount") ? "clickcount" : "votes";
            return a.value(QLatin1String(f)).toInt() < b.value(QLatin1String(f)).toInt();
        });
        if (reverse)
            std::reverse(hits.begin(), hits.end());
        const int offset = item("offset").toInt();
        const int limit = item("limit").isEmpty() ? 100000 : item("limit").toInt();
        QJsonArray out;
        for (int i = offset; i < static_cast<int>(hits.size()) && out.size() < limit; ++i)
            out.append(hits[static_cast<size_t>(i)]);
        return QJsonDocument(out).toJson(QJsonDocument::Compact);
    }

    mutable std::mutex cs_;
    std::vector<QJsonObject> stations_;
    std::atomic<Mode> mode_;
    std::vector<Request> requests_;
    testsupport::ScriptedServer server_;
};
