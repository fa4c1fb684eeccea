// Playlists from unknown servers: whatever text a station's address delivers, the resolver
// gives the station's own address, an http or https address, or a refusal, never a local file
// or another scheme to open.
#include "findurl.h"

#include <QUrl>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *Data, size_t Size)
{
    // Fetched bodies reach the resolver as 8-bit characters, one per byte.
    const QString text = QString::fromLatin1(reinterpret_cast<const char *>(Data), static_cast<qsizetype>(Size));
    static const QString address = QStringLiteral("http://127.0.0.1:8000/listen.pls");
    const TPlaylistResult r = PlaylistStreamUrl(text, address);
    if (!r.Refusal.isEmpty())
        return 0;
    if (r.Url == TrimAddress(address))
        return 0;
    // The stream input picks its protocol by the text before the first colon, so that text must
    // be http or https, and so must the scheme a URL parser sees.
    const QString scheme = QUrl(r.Url).scheme().toLower();
    const bool web = r.Url.startsWith(QLatin1String("http:"), Qt::CaseInsensitive) ||
                     r.Url.startsWith(QLatin1String("https:"), Qt::CaseInsensitive);
    if (!web || (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
        std::abort(); // an address that is not the web reached the stream input
    return 0;
}
