// The playlist resolver: fetching an address's text and picking the stream address from it.
#include "findurl.h"

#include "MediaTypes.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslError>
#include <QStringList>
#include <QUrl>

#include <memory>

namespace {

bool isBlankOrControl(QChar c)
{
    return c.unicode() <= 0x20 || c.unicode() == 0x7f || c.unicode() == 0xfeff;
}

bool isWebScheme(const QString &scheme)
{
    return scheme.compare(QLatin1String("http"), Qt::CaseInsensitive) == 0 ||
           scheme.compare(QLatin1String("https"), Qt::CaseInsensitive) == 0;
}

QString statusLocal()
{
    return QStringLiteral("Error: Playlist entry is a local file");
}
QString statusScheme()
{
    return QStringLiteral("Error: Playlist entry is not a web address");
}

// An entry of a playlist made an address to play, or a refusal.
TPlaylistResult takeEntry(QString entry, const QString &address)
{
    entry = TrimAddress(entry);
    // A drive letter, a backslash or a home folder mean a file on the listener's machine.
    static const QRegularExpression drive(QStringLiteral("^[A-Za-z]:[\\\\/]"));
    if (drive.match(entry).hasMatch() || entry.contains(QLatin1Char('\\')) || entry.startsWith(QLatin1Char('~')))
        return {QString(), statusLocal()};
    const QUrl url(entry);
    if (!url.scheme().isEmpty()) {
        if (url.scheme().compare(QLatin1String("file"), Qt::CaseInsensitive) == 0)
            return {QString(), statusLocal()};
        if (!isWebScheme(url.scheme()))
            return {QString(), statusScheme()};
        return {entry, QString()};
    }
    // Relative to the playlist's own address, which is a web address when it was fetched.
    const QUrl base(address);
    if (!isWebScheme(base.scheme()))
        return {QString(), statusLocal()};
    return {base.resolved(url).toString(), QString()};
}

// The first entry that can be played; else the first entry's refusal; else nothing.
TPlaylistResult firstPlayable(const QStringList &entries, const QString &address)
{
    TPlaylistResult firstRefusal;
    for (const QString &e : entries) {
        TPlaylistResult r = takeEntry(e, address);
        if (r.Refusal.isEmpty() && !r.Url.isEmpty())
            return r;
        if (firstRefusal.Refusal.isEmpty())
            firstRefusal = r;
    }
    return firstRefusal;
}

QString xmlText(QString s)
{
    s.replace(QLatin1String("&lt;"), QLatin1String("<"));
    s.replace(QLatin1String("&gt;"), QLatin1String(">"));
    s.replace(QLatin1String("&quot;"), QLatin1String("\""));
    s.replace(QLatin1String("&apos;"), QLatin1String("'"));
    s.replace(QLatin1String("&amp;"), QLatin1String("&"));
    return s;
}

} // namespace

QString TrimAddress(const QString &Address)
{
    qsizetype b = 0, e = Address.size();
    while (b < e && isBlankOrControl(Address[b]))
        ++b;
    while (e > b && isBlankOrControl(Address[e - 1]))
        --e;
    return Address.mid(b, e - b);
}

TPlaylistResult PlaylistStreamUrl(const QString &FetchedText, const QString &Address)
{
    const QString address = TrimAddress(Address);
    QString text = FetchedText;
    // A UTF-8 byte-order mark read as 8-bit text, or a decoded one.
    if (text.startsWith(QStringLiteral("\u00ef\u00bb\u00bf")))
        text.remove(0, 3);
    else if (text.startsWith(QChar(0xfeff)))
        text.remove(0, 1);
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    const QStringList lines = text.split(QLatin1Char('\n'));
    // Entries that are no address at all (a host of stray bytes) give neither an address nor
    // a refusal; the station's own address is then played, never an empty one.
    auto orAddress = [&address](TPlaylistResult r) {
        if (r.Url.isEmpty() && r.Refusal.isEmpty())
            r.Url = address;
        return r;
    };

    // HLS: the playlist is the stream; the network input reads it itself.
    if (text.contains(QLatin1String("#EXTM3U"), Qt::CaseInsensitive) &&
        text.contains(QLatin1String("#EXT-X-"), Qt::CaseInsensitive))
        return {address, QString()};

    // ASX, by the rule that any text mentioning "asx" is one: the address after the last
    // "<ref ", between the next double quote and the one after it.
    if (text.contains(QLatin1String("asx"), Qt::CaseInsensitive)) {
        const qsizetype ref = text.lastIndexOf(QLatin1String("<ref "), -1, Qt::CaseInsensitive);
        if (ref < 0)
            return {address, QString()};
        const qsizetype q1 = text.indexOf(QLatin1Char('"'), ref + 3);
        if (q1 < 0)
            return {address, QString()};
        qsizetype q2 = text.indexOf(QLatin1Char('"'), q1 + 1);
        if (q2 < 0)
            q2 = text.size();
        return orAddress(firstPlayable({xmlText(text.mid(q1 + 1, q2 - q1 - 1))}, address));
    }

    // XSPF: <location> elements of the tracks.
    if (text.contains(QLatin1String("<playlist"), Qt::CaseInsensitive) &&
        text.contains(QLatin1String("xspf"), Qt::CaseInsensitive)) {
        static const QRegularExpression loc(QStringLiteral("<location>\\s*(.*?)\\s*</location>"),
                                            QRegularExpression::CaseInsensitiveOption |
                                                QRegularExpression::DotMatchesEverythingOption);
        QStringList entries;
        for (auto it = loc.globalMatch(text); it.hasNext();)
            entries << xmlText(it.next().captured(1));
        if (!entries.isEmpty())
            return orAddress(firstPlayable(entries, address));
    }

    // PLS: "FileN=" lines, in the order they appear.
    {
        static const QRegularExpression file(QStringLiteral("^\\s*File\\d+\\s*=(.*)$"),
                                             QRegularExpression::CaseInsensitiveOption);
        QStringList entries;
        for (const QString &l : lines) {
            const auto m = file.match(l);
            if (m.hasMatch())
                entries << m.captured(1);
        }
        if (!entries.isEmpty())
            return orAddress(firstPlayable(entries, address));
    }

    // M3U / M3U8: every line that is not blank and not a comment is an entry. Without the
    // header, only a text whose entries all look like addresses (no blanks, no markup) is one.
    {
        const bool header = TrimAddress(lines.value(0)).startsWith(QLatin1String("#EXTM3U"), Qt::CaseInsensitive);
        QStringList entries;
        bool plausible = true;
        for (const QString &l : lines) {
            const QString t = TrimAddress(l);
            if (t.isEmpty() || t.startsWith(QLatin1Char('#')))
                continue;
            entries << t;
            for (QChar c : t)
                if (c.unicode() <= 0x20 || c.unicode() >= 0x7f || c == QLatin1Char('<') || c == QLatin1Char('>'))
                    plausible = false;
        }
        if (!entries.isEmpty() && (header || plausible)) {
            TPlaylistResult r = firstPlayable(entries, address);
            if (!r.Url.isEmpty() || !r.Refusal.isEmpty())
                return r;
        }
    }

    // Anything else: the last web address in the text, to the end of its line.
    static const QRegularExpression web(QStringLiteral("https?://"), QRegularExpression::CaseInsensitiveOption);
    qsizetype last = -1;
    for (auto it = web.globalMatch(text); it.hasNext();)
        last = it.next().capturedStart();
    if (last >= 0) {
        qsizetype end = text.indexOf(QLatin1Char('\n'), last);
        if (end < 0)
            end = text.size();
        return {TrimAddress(text.mid(last, end - last)), QString()};
    }
    return {address, QString()};
}

bool AnnouncesAudioStream(const QString &ContentType)
{
    const QString type = ContentType.section(QLatin1Char(';'), 0, 0).trimmed().toLower();
    if (type == QLatin1String("application/ogg"))
        return true;
    if (!type.startsWith(QLatin1String("audio/")))
        return false;
    for (const char *playlist : {"mpegurl", "scpls", "x-ms-wax", "x-ms-asx", "xspf"})
        if (type.contains(QLatin1String(playlist)))
            return false;
    return true;
}

bool FetchUrlText(const QString &Address, QString &Text, const QString &AgentName, std::uint32_t TimeoutMs,
                  const std::function<void()> &Pump, QString *Refusal)
{
    Text.clear();
    if (Refusal)
        Refusal->clear();
    const QUrl url(TrimAddress(Address));
    if (!url.isValid() || !isWebScheme(url.scheme()) || url.host().isEmpty())
        return true;

    QNetworkAccessManager manager;
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::UserAgentHeader, AgentName);
    request.setTransferTimeout(static_cast<int>(TimeoutMs));
    // Never from https to plain http (Qt's default too, said here because it matters).
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    {
        // The stream's trust store, when it is not the system's: both fetches trust the same.
        static const QString systemStore = QStringLiteral("/etc/ssl/certs/ca-certificates.crt");
        const QString ca = QString::fromStdString(MediaTrustedCaFile());
        if (!ca.isEmpty() && ca != systemStore) {
            QSslConfiguration ssl = request.sslConfiguration();
            ssl.setCaCertificates(QSslCertificate::fromPath(ca));
            request.setSslConfiguration(ssl);
        }
    }
    QString sslProblem; // outlives the reply that reports into it
    std::unique_ptr<QNetworkReply> reply(manager.get(request));
    QObject::connect(reply.get(), &QNetworkReply::sslErrors, [&sslProblem](const QList<QSslError> &errors) {
        if (sslProblem.isEmpty() && !errors.isEmpty())
            sslProblem = errors.first().errorString();
    });
    // A live stream must not pile up in the reply's buffer while we read it in blocks.
    reply->setReadBufferSize(4 * PlaylistBlockSize);

    QElapsedTimer clock;
    clock.start();
    bool opened = false;
    char block[PlaylistBlockSize];
    bool headersSeen = false;
    for (;;) {
        if (!headersSeen && reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid()) {
            headersSeen = true;
            const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            if (status >= 200 && status < 300 &&
                AnnouncesAudioStream(QString::fromLatin1(reply->rawHeader("Content-Type")))) {
                reply->abort();
                Text.clear();
                return false;
            }
        }
        while (reply->bytesAvailable() > 0 && Text.size() <= PlaylistTextLimit) {
            const qint64 n = reply->read(block, PlaylistBlockSize);
            if (n <= 0)
                break;
            opened = true;
            Text += QString::fromLatin1(block, n);
        }
        if (Text.size() > PlaylistTextLimit || reply->isFinished())
            break;
        if (clock.elapsed() > static_cast<qint64>(TimeoutMs))
            break;
        Pump();
    }
    const bool failed = reply->error() != QNetworkReply::NoError && reply->error() != QNetworkReply::OperationCanceledError;
    const int httpStatus = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (Refusal && (reply->error() == QNetworkReply::SslHandshakeFailedError || !sslProblem.isEmpty())) {
        *Refusal = QStringLiteral("connecting to ") + DisplayAddress(url.toString()) +
                   QStringLiteral(": certificate not trusted for ") + url.host() + QStringLiteral(" (") +
                   (sslProblem.isEmpty() ? reply->errorString() : sslProblem) + QStringLiteral(")");
    } else if (Refusal && reply->error() == QNetworkReply::InsecureRedirectError) {
        *Refusal = QStringLiteral("connecting to ") + DisplayAddress(url.toString()) +
                   QStringLiteral(": refused: the https address was redirected to an unprotected address");
    }
    reply->abort();
    if (!opened && (failed || !reply->isFinished() || httpStatus >= 400)) {
        Text.clear();
        return true;
    }
    // An error page is not a playlist; the address is used as it is.
    if (httpStatus >= 400)
        Text.clear();
    return Text.size() < PlaylistTextLimit;
}

QString DisplayAddress(const QString &Address)
{
    const QUrl url(Address, QUrl::TolerantMode);
    return url.isValid() && !url.scheme().isEmpty() ? url.toString(QUrl::FullyEncoded) : Address;
}
