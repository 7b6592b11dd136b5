#pragma once

#include "Address.h"

#include <QByteArray>
#include <optional>

// HLS playlists on their way to libvlc, written again from what the relay understood of them:
// every URI becomes a relay URL, every tag is one the relay parsed and writes back in one form,
// and nothing else passes. A reader of any laxness then finds in the text only what the relay
// meant.
namespace relay {

// The type the relay gives every playlist it passes on.
inline constexpr char kPlaylistContentType[] = "application/vnd.apple.mpegurl";

// application/vnd.apple.mpegurl, application/x-mpegurl, audio/mpegurl, audio/x-mpegurl, with or
// without parameters, in any case.
bool IsPlaylistContentType(QByteArrayView contentType);

// Whether a body starting with `prefix` is a playlist ("#EXTM3U", after an optional UTF-8 byte
// order mark); empty while `prefix` is too short to tell and the body goes on (`complete` false).
std::optional<bool> SniffPlaylist(QByteArrayView prefix, bool complete);

// Rewrites a playlist line by line as it arrives. Lines end at CR, LF or CRLF (libvlc splits on
// either) and are written with LF. A line holding a control byte other than tab is dropped
// (libvlc reads lines as C strings: a NUL would end one early), and so are blank lines, comments,
// tags libvlc 3 does not act on, and tags whose value does not parse. What passes:
//  - URI lines, as relay URLs (a playlist's after an EXT-X-STREAM-INF, a medium's before);
//  - the tags libvlc reads, each written as NAME, NAME:VALUE or NAME:ATTR=VALUE,ATTR="VALUE";
//    every attribute whose name holds "URI", quoted or not, as a quoted relay URL; an
//    attribute whose value holds "://" or "URI=" is left out; EXTINF's title is dropped.
// A URI the relay cannot route becomes RefusedUrl. The output is cut at a line end at maxBytes.
class PlaylistRewriter
{
public:
    // `base`: the playlist's upstream URL, after redirects (a relative URI against anything
    // else is refused); `routeBase`: the route's "http://127.0.0.1:PORT/KEY/".
    PlaylistRewriter(const QByteArray& base, QByteArray routeBase, qsizetype maxBytes);

    // Appends the rewritten complete lines of `data` to `out`.
    void Feed(QByteArrayView data, QByteArray& out);
    // The playlist has ended: appends its last line, if it had no line break.
    void Finish(QByteArray& out);

    // The bound is reached: what follows is dropped, so it need not be read.
    bool Full() const { return m_full; }

    // One line, without its line break: what is written for it (without LF), or empty when it is
    // dropped, or when it would not fit below the bound (then Full()). Lines are read in order:
    // an EXT-X-STREAM-INF makes later URI lines playlists.
    QByteArray RewriteLine(QByteArrayView line);

private:
    void passLine(QByteArrayView line, QByteArray& out);
    QByteArray relayUrl(QByteArrayView uri, Kind kind) const;
    std::optional<QByteArray> rewriteTag(QByteArrayView line);
    std::optional<QByteArray> rewriteAttributes(QByteArrayView list, Kind uriKind);

    std::optional<QByteArray> m_base;
    QByteArray m_routeBase;
    qsizetype m_maxBytes;
    qsizetype m_written = 0;
    QByteArray m_partial;
    bool m_firstLine = true;
    bool m_variants = false; // an EXT-X-STREAM-INF was written
    bool m_full = false;
};

} // namespace relay
