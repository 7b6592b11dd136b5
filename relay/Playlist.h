#pragma once

#include <QByteArray>
#include <QUrl>
#include <optional>

// HLS playlists on their way to libvlc: every URI they name is made to point back through the
// relay, so that libvlc never reaches a server by itself.
namespace relay {

// application/vnd.apple.mpegurl, application/x-mpegurl, audio/mpegurl, audio/x-mpegurl, with or
// without parameters, in any case.
bool IsPlaylistContentType(QByteArrayView contentType);

// Whether a body starting with `prefix` is a playlist ("#EXTM3U", after an optional UTF-8 byte
// order mark); empty while `prefix` is too short to tell and the body goes on (`complete` false).
std::optional<bool> SniffPlaylist(QByteArrayView prefix, bool complete);

// Rewrites a playlist line by line as it arrives: URI lines and the URI="..." attributes of
// EXT-X tags become relay URLs of one route, resolved against the playlist's own upstream URL.
// What it passes on stays under a byte bound and is cut at a line end.
class PlaylistRewriter
{
public:
    // `base`: the playlist's effective upstream URL (after redirects); `routeBase`: the route's
    // "http://127.0.0.1:PORT/KEY/".
    PlaylistRewriter(QUrl base, QByteArray routeBase, qsizetype maxBytes);

    // Appends the rewritten complete lines of `data` to `out`.
    void Feed(QByteArrayView data, QByteArray& out);
    // The playlist has ended: appends its last line, if it had no line break.
    void Finish(QByteArray& out);

    // The bound is reached: what follows is dropped, so it need not be read.
    bool Full() const { return m_full; }

    // One line, without its line break.
    QByteArray RewriteLine(QByteArrayView line) const;

private:
    void passLine(QByteArrayView line, QByteArrayView lineBreak, QByteArray& out);
    QByteArray rewriteUri(QByteArrayView uri) const;
    QByteArray rewriteAttributes(QByteArrayView line) const;

    QUrl m_base;
    QByteArray m_routeBase;
    qsizetype m_maxBytes;
    qsizetype m_written = 0;
    QByteArray m_partial;
    bool m_firstLine = true;
    bool m_full = false;
};

} // namespace relay
