// The playlist resolver: turns a station's address into the address of its audio stream.
//
// A station's address may name the stream itself or a small playlist (PLS, M3U, XSPF, ASX).
// FetchUrlText reads what the address delivers, up to just over PlaylistTextLimit characters;
// PlaylistStreamUrl picks the stream address out of that text. Only http and https entries are
// ever taken: an entry naming a local file or another scheme is refused, never opened.
#pragma once

#include <QString>

#include <cstdint>
#include <functional>

// A text of at least this many characters is a live stream, not a playlist.
constexpr int PlaylistTextLimit = 16000;
// Bytes read from the connection per block.
constexpr int PlaylistBlockSize = 1024;

struct TPlaylistResult {
    QString Url;     // the address to play (the trimmed address when nothing better was found)
    QString Refusal; // non-empty: the playlist's entry must not be opened; a status text saying why
};

// Trims spaces and control characters at both ends.
QString TrimAddress(const QString &Address);
// An address as the window shows it: parsed and written out fully encoded, so that blanks,
// quotes and angle brackets of a playlist entry show as %20, %22, %3C; a text that does not
// parse as an address is shown as it stands.
QString DisplayAddress(const QString &Address);

// The stream address in Text, the body fetched from Address (8-bit text):
// - an HLS playlist (#EXTM3U with #EXT-X- tags) is itself the stream: Address;
// - PLS (File1=...), M3U/M3U8 and XSPF: the first http or https entry, relative entries taken
//   against Address;
// - ASX (any text containing "asx"): the address quoted after the last "<ref ";
// - any other text: the last "http://" or "https://" address, up to the end of its line;
// - otherwise Address, trimmed.
// A byte-order mark and CR LF line ends are accepted. A playlist whose entries are local files
// or other schemes gives a Refusal.
TPlaylistResult PlaylistStreamUrl(const QString &Text, const QString &Address);

// True when an answer's Content-Type announces audio itself (audio/..., application/ogg) rather
// than a playlist (M3U/M3U8, PLS, ASX/WAX, XSPF). Such an answer is a stream: its body need not
// be read, which saves the wait for 16 000 bytes of a slow station before it is connected.
bool AnnouncesAudioStream(const QString &ContentType);

// Reads Address over HTTP(S) in blocks of PlaylistBlockSize bytes, each appended to Text as
// 8-bit characters, until the body ends or Text has grown beyond PlaylistTextLimit characters.
// Returns true when Text is shorter than PlaylistTextLimit (a playlist or a page), false for a
// live stream. An address that cannot be opened (refused, unanswered within TimeoutMs, another
// scheme than http or https) gives an empty Text and true. AgentName goes in the User-Agent
// header. An answer whose Content-Type announces an audio stream ends the read at its headers:
// Text stays empty and the result is false, as for a live stream read past the limit.
// https is verified against the same trust store as the stream itself
// (MediaTrustedCaFile). A certificate that is not trusted, or an https address
// redirected to plain http, fills Refusal (when given) with the reason in plain words
// ("connecting to ADDRESS: certificate not trusted for HOST (...)"): the address must then not
// be opened by anyone else either. Refusal is cleared otherwise.
// GUI thread: Pump is called while waiting, so the window keeps processing its events.
bool FetchUrlText(const QString &Address, QString &Text, const QString &AgentName, std::uint32_t TimeoutMs,
                  const std::function<void()> &Pump, QString *Refusal = nullptr);
