#include "Playlist.h"

#include "Address.h"

#include <algorithm>
#include <utility>

namespace relay {
namespace {

constexpr QByteArrayView kUtf8Bom = "\xEF\xBB\xBF";
constexpr QByteArrayView kPlaylistStart = "#EXTM3U";

} // namespace

bool IsPlaylistContentType(QByteArrayView contentType)
{
    if (const qsizetype semicolon = contentType.indexOf(';'); semicolon >= 0)
        contentType = contentType.first(semicolon);
    contentType = contentType.trimmed();
    for (const QByteArrayView type : {"application/vnd.apple.mpegurl", "application/x-mpegurl",
                                      "audio/mpegurl", "audio/x-mpegurl"})
        if (contentType.compare(type, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

std::optional<bool> SniffPlaylist(QByteArrayView prefix, bool complete)
{
    // The mark is skipped only once it is whole; a lone first byte of it still needs more.
    if (prefix.startsWith(kUtf8Bom))
        prefix = prefix.sliced(kUtf8Bom.size());
    else if (!complete && prefix.size() < kUtf8Bom.size() && kUtf8Bom.startsWith(prefix))
        return std::nullopt;
    if (prefix.size() >= kPlaylistStart.size())
        return prefix.startsWith(kPlaylistStart);
    if (!complete && kPlaylistStart.startsWith(prefix))
        return std::nullopt;
    return false;
}

PlaylistRewriter::PlaylistRewriter(QUrl base, QByteArray routeBase, qsizetype maxBytes)
    : m_base(std::move(base)), m_routeBase(std::move(routeBase)), m_maxBytes(maxBytes)
{}

void PlaylistRewriter::Feed(QByteArrayView data, QByteArray& out)
{
    while (!m_full && !data.isEmpty()) {
        const qsizetype lineFeed = data.indexOf('\n');
        if (lineFeed < 0) {
            m_partial += data;
            // A line longer than the bound could never be passed on whole.
            if (m_partial.size() > m_maxBytes) {
                m_full = true;
                m_partial.clear();
            }
            return;
        }
        m_partial += data.first(lineFeed + 1);
        data = data.sliced(lineFeed + 1);
        QByteArrayView line = m_partial;
        line.chop(1);
        const bool crlf = line.endsWith('\r');
        if (crlf)
            line.chop(1);
        passLine(line, crlf ? "\r\n" : "\n", out);
        m_partial.clear();
    }
}

void PlaylistRewriter::Finish(QByteArray& out)
{
    if (!m_full && !m_partial.isEmpty())
        passLine(m_partial, {}, out);
    m_partial.clear();
}

void PlaylistRewriter::passLine(QByteArrayView line, QByteArrayView lineBreak, QByteArray& out)
{
    // A byte order mark before "#EXTM3U" is kept, and not taken for part of the first line.
    QByteArray rewritten;
    if (std::exchange(m_firstLine, false) && line.startsWith(kUtf8Bom))
        rewritten = kUtf8Bom.toByteArray() + RewriteLine(line.sliced(kUtf8Bom.size()));
    else
        rewritten = RewriteLine(line);
    rewritten += lineBreak;
    if (m_written + rewritten.size() > m_maxBytes) {
        m_full = true;
        return;
    }
    m_written += rewritten.size();
    out += rewritten;
}

QByteArray PlaylistRewriter::RewriteLine(QByteArrayView line) const
{
    const QByteArrayView text = line.trimmed();
    if (text.isEmpty())
        return line.toByteArray();
    if (text.startsWith('#')) {
        // EXTINF carries a free-text title, not attributes.
        if (text.startsWith("#EXT-X-") && text.contains("URI="))
            return rewriteAttributes(line);
        return line.toByteArray();
    }
    return rewriteUri(text);
}

QByteArray PlaylistRewriter::rewriteUri(QByteArrayView uri) const
{
    const QUrl resolved = m_base.resolved(QUrl(QString::fromUtf8(uri), QUrl::TolerantMode));
    QByteArray local = LocalUrlFor(m_routeBase, resolved);
    // Other schemes (data:, skd: key systems) are no business of the relay.
    return local.isEmpty() ? uri.toByteArray() : local;
}

// Attribute lists are NAME=VALUE pairs separated by commas; a quoted value may hold commas.
QByteArray PlaylistRewriter::rewriteAttributes(QByteArrayView line) const
{
    const qsizetype colon = line.indexOf(':');
    if (colon < 0)
        return line.toByteArray();
    QByteArray out = line.first(colon + 1).toByteArray();
    qsizetype at = colon + 1;
    while (at < line.size()) {
        const qsizetype equals = line.indexOf('=', at);
        if (equals < 0)
            break;
        const QByteArrayView name = line.sliced(at, equals - at).trimmed();
        out += line.sliced(at, equals + 1 - at);
        at = equals + 1;
        if (at < line.size() && line[at] == '"') {
            qsizetype close = line.indexOf('"', at + 1);
            if (close < 0)
                close = line.size();
            const QByteArrayView value = line.sliced(at + 1, close - at - 1);
            out += '"';
            out += name == "URI" ? rewriteUri(value.trimmed()) : value.toByteArray();
            if (close < line.size())
                out += '"';
            at = std::min(close + 1, line.size());
        }
        qsizetype comma = line.indexOf(',', at);
        if (comma < 0)
            comma = line.size();
        else
            ++comma;
        out += line.sliced(at, comma - at);
        at = comma;
    }
    if (at < line.size())
        out += line.sliced(at);
    return out;
}

} // namespace relay
