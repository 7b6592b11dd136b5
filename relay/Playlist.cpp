#include "Playlist.h"

#include <array>
#include <utility>

namespace relay {
namespace {

constexpr QByteArrayView kUtf8Bom = "\xEF\xBB\xBF";
constexpr QByteArrayView kPlaylistStart = "#EXTM3U";

// How a tag's value is read and written again.
enum class Value
{
    None,       // the name alone; any value is dropped
    Integer,    // decimal digits
    Duration,   // EXTINF: a decimal number of seconds, then a title that is dropped
    Enumerated, // upper-case letters, digits and '-'
    ByteRange,  // n[@o]
    DateTime,   // ISO 8601: digits, letters, ':', '.', '+', '-'
    Attributes, // an attribute list
};

struct TagRule
{
    QByteArrayView name;
    Value value = Value::None;
    Kind uriKind = Kind::Media; // what the list's URI attributes name
};

// The tags libvlc 3's HLS parser acts on, and two it ignores harmlessly. libvlc takes a tag's
// name as everything between '#' and the first ':', so a name is matched exactly.
constexpr std::array<TagRule, 20> kTags = {{
    {"EXTM3U", Value::None},
    {"EXTINF", Value::Duration},
    {"EXT-X-VERSION", Value::Integer},
    {"EXT-X-TARGETDURATION", Value::Integer},
    {"EXT-X-MEDIA-SEQUENCE", Value::Integer},
    {"EXT-X-DISCONTINUITY-SEQUENCE", Value::Integer},
    {"EXT-X-PLAYLIST-TYPE", Value::Enumerated},
    {"EXT-X-BYTERANGE", Value::ByteRange},
    {"EXT-X-PROGRAM-DATE-TIME", Value::DateTime},
    {"EXT-X-DISCONTINUITY", Value::None},
    {"EXT-X-ENDLIST", Value::None},
    {"EXT-X-I-FRAMES-ONLY", Value::None},
    {"EXT-X-INDEPENDENT-SEGMENTS", Value::None},
    {"EXT-X-KEY", Value::Attributes, Kind::Media},
    {"EXT-X-SESSION-KEY", Value::Attributes, Kind::Media},
    {"EXT-X-MAP", Value::Attributes, Kind::Media},
    {"EXT-X-START", Value::Attributes, Kind::Media},
    {"EXT-X-MEDIA", Value::Attributes, Kind::Playlist},
    {"EXT-X-STREAM-INF", Value::Attributes, Kind::Playlist},
    {"EXT-X-I-FRAME-STREAM-INF", Value::Attributes, Kind::Playlist},
}};

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isUpperNameChar(char c)
{
    return (c >= 'A' && c <= 'Z') || isDigit(c) || c == '-';
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

template <typename Accept> bool consistsOf(QByteArrayView text, qsizetype most, Accept accept)
{
    if (text.isEmpty() || text.size() > most)
        return false;
    for (const char c : text)
        if (!accept(c))
            return false;
    return true;
}

bool isDecimal(QByteArrayView text)
{
    return consistsOf(text, 18, isDigit);
}

bool isDuration(QByteArrayView text)
{
    const qsizetype dot = text.indexOf('.');
    if (dot < 0)
        return isDecimal(text);
    const QByteArrayView fraction = text.sliced(dot + 1);
    return isDecimal(text.first(dot)) && (fraction.isEmpty() || isDecimal(fraction));
}

bool isByteRange(QByteArrayView text)
{
    const qsizetype at = text.indexOf('@');
    return at < 0 ? isDecimal(text) : isDecimal(text.first(at)) && isDecimal(text.sliced(at + 1));
}

// "URI", in any case, then '=' with blanks around it or not: what a lax reader takes for an
// attribute naming a location.
bool holdsUriAssignment(QByteArrayView text)
{
    for (qsizetype i = 0; i + 3 <= text.size(); ++i) {
        if (text.sliced(i, 3).compare("URI", Qt::CaseInsensitive) != 0)
            continue;
        qsizetype next = i + 3;
        while (next < text.size() && isBlank(text[next]))
            ++next;
        if (next < text.size() && text[next] == '=')
            return true;
    }
    return false;
}

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

PlaylistRewriter::PlaylistRewriter(const QByteArray& base, QByteArray routeBase, qsizetype maxBytes)
    : m_base(CanonicalUpstream(base)), m_routeBase(std::move(routeBase)), m_maxBytes(maxBytes)
{}

void PlaylistRewriter::Feed(QByteArrayView data, QByteArray& out)
{
    while (!m_full && !data.isEmpty()) {
        qsizetype end = 0;
        while (end < data.size() && data[end] != '\n' && data[end] != '\r')
            ++end;
        if (end == data.size()) {
            m_partial += data;
            // A line longer than the bound could never be passed on whole.
            if (m_partial.size() > m_maxBytes) {
                m_full = true;
                m_partial.clear();
            }
            return;
        }
        m_partial += data.first(end);
        data = data.sliced(end + 1);
        passLine(m_partial, out);
        m_partial.clear();
    }
}

void PlaylistRewriter::Finish(QByteArray& out)
{
    if (!m_full && !m_partial.isEmpty())
        passLine(m_partial, out);
    m_partial.clear();
}

void PlaylistRewriter::passLine(QByteArrayView line, QByteArray& out)
{
    if (std::exchange(m_firstLine, false) && line.startsWith(kUtf8Bom))
        line = line.sliced(kUtf8Bom.size());
    QByteArray written = RewriteLine(line);
    if (m_full || written.isEmpty())
        return;
    written += '\n';
    if (m_written + written.size() > m_maxBytes) {
        m_full = true;
        return;
    }
    m_written += written.size();
    out += written;
}

QByteArray PlaylistRewriter::RewriteLine(QByteArrayView line)
{
    for (const char c : line) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\t') || byte == 0x7F)
            return {};
    }
    const QByteArrayView text = line.trimmed();
    if (text.isEmpty())
        return {};
    if (text.startsWith('#'))
        return text.startsWith("#EXT") ? rewriteTag(text).value_or(QByteArray()) : QByteArray();
    return relayUrl(text, m_variants ? Kind::Playlist : Kind::Media);
}

QByteArray PlaylistRewriter::relayUrl(QByteArrayView uri, Kind kind) const
{
    const std::optional<QByteArray> upstream = m_base ? Resolve(*m_base, uri) : std::nullopt;
    return upstream ? LocalUrlFor(m_routeBase, kind, *upstream) : RefusedUrl(m_routeBase);
}

std::optional<QByteArray> PlaylistRewriter::rewriteTag(QByteArrayView line)
{
    const qsizetype colon = line.indexOf(':');
    const QByteArrayView name = colon < 0 ? line.sliced(1) : line.sliced(1, colon - 1);
    const QByteArrayView value = colon < 0 ? QByteArrayView() : line.sliced(colon + 1).trimmed();
    const TagRule* rule = nullptr;
    for (const TagRule& known : kTags)
        if (known.name == name)
            rule = &known;
    if (rule == nullptr)
        return std::nullopt;

    const QByteArray tag = '#' + name.toByteArray();
    switch (rule->value) {
    case Value::None:
        return tag;
    case Value::Integer:
        if (!isDecimal(value))
            return std::nullopt;
        return tag + ':' + value.toByteArray();
    case Value::Duration: {
        const qsizetype comma = value.indexOf(',');
        const QByteArrayView seconds = (comma < 0 ? value : value.first(comma)).trimmed();
        if (!isDuration(seconds))
            return std::nullopt;
        return tag + ':' + seconds.toByteArray() + ',';
    }
    case Value::Enumerated:
        if (!consistsOf(value, 32, isUpperNameChar))
            return std::nullopt;
        return tag + ':' + value.toByteArray();
    case Value::ByteRange:
        if (!isByteRange(value))
            return std::nullopt;
        return tag + ':' + value.toByteArray();
    case Value::DateTime:
        if (!consistsOf(value, 64, [](char c) {
                return isUpperNameChar(c) || (c >= 'a' && c <= 'z') || c == ':' || c == '.' ||
                       c == '+';
            }))
            return std::nullopt;
        return tag + ':' + value.toByteArray();
    case Value::Attributes: {
        const std::optional<QByteArray> attributes = rewriteAttributes(value, rule->uriKind);
        if (!attributes)
            return std::nullopt;
        if (name == "EXT-X-STREAM-INF")
            m_variants = true;
        return tag + ':' + *attributes;
    }
    }
    return std::nullopt;
}

// NAME=VALUE pairs separated by commas; a quoted value may hold commas. Blanks around names,
// '=' and commas are tolerated (libvlc would stop reading at the first), and not written.
std::optional<QByteArray> PlaylistRewriter::rewriteAttributes(QByteArrayView list, Kind uriKind)
{
    QByteArray out;
    qsizetype at = 0;
    const auto skipBlanks = [&list, &at] {
        while (at < list.size() && isBlank(list[at]))
            ++at;
    };
    for (;;) {
        skipBlanks();
        if (at == list.size())
            break;
        const qsizetype nameStart = at;
        while (at < list.size() && isUpperNameChar(list[at]))
            ++at;
        const QByteArrayView name = list.sliced(nameStart, at - nameStart);
        skipBlanks();
        if (name.isEmpty() || at == list.size() || list[at] != '=')
            return std::nullopt;
        ++at;
        skipBlanks();
        QByteArrayView value;
        const bool quoted = at < list.size() && list[at] == '"';
        if (quoted) {
            const qsizetype close = list.indexOf('"', at + 1);
            if (close < 0)
                return std::nullopt;
            value = list.sliced(at + 1, close - at - 1);
            at = close + 1;
        } else {
            const qsizetype valueStart = at;
            while (at < list.size() && list[at] != ',' && list[at] != '"')
                ++at;
            if (at < list.size() && list[at] == '"')
                return std::nullopt;
            value = list.sliced(valueStart, at - valueStart).trimmed();
        }
        skipBlanks();
        if (at < list.size()) {
            if (list[at] != ',')
                return std::nullopt;
            ++at;
        }

        QByteArray written;
        if (name.contains("URI")) {
            written = name.toByteArray() + "=\"" + relayUrl(value.trimmed(), uriKind) + '"';
        } else if (quoted) {
            // libvlc reads a backslash in quotes as an escape: the value would not be this one.
            if (value.contains('\\'))
                return std::nullopt;
            if (value.contains("://") || holdsUriAssignment(value))
                continue;
            written = name.toByteArray() + "=\"" + value.toByteArray() + '"';
        } else {
            if (!consistsOf(value, 256, [](char c) {
                    return isUpperNameChar(c) || (c >= 'a' && c <= 'z') || c == '.' || c == '_' ||
                           c == '+';
                }))
                return std::nullopt;
            written = name.toByteArray() + '=' + value.toByteArray();
        }
        if (!out.isEmpty())
            out += ',';
        out += written;
        // Each URI attribute is written as a relay URL as long as the playlist's own address: a
        // line of short ones would grow many times over. What could not be passed on is not
        // built.
        if (out.size() >= m_maxBytes - m_written) {
            m_full = true;
            return std::nullopt;
        }
    }
    if (out.isEmpty())
        return std::nullopt;
    return out;
}

} // namespace relay
