#include "Address.h"

#include <QList>
#include <algorithm>
#include <arpa/inet.h>
#include <array>

namespace relay {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";

bool isAlpha(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isHexDigit(char c)
{
    return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool isUnreserved(char c)
{
    return isAlpha(c) || isDigit(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

bool isSubDelim(char c)
{
    return QByteArrayView("!$&'()*+,;=").contains(c);
}

// RFC 3986's pchar, less the percent sign, which is checked with what follows it.
bool isPathChar(char c)
{
    return isUnreserved(c) || isSubDelim(c) || c == ':' || c == '@';
}

bool isHttpScheme(QByteArrayView scheme)
{
    return scheme.compare("http", Qt::CaseInsensitive) == 0 ||
           scheme.compare("https", Qt::CaseInsensitive) == 0;
}

// The scheme of an absolute reference (ALPHA *( ALPHA / DIGIT / "+" / "-" / "." ) ":"); empty
// for a relative one.
std::optional<QByteArrayView> schemeOf(QByteArrayView reference)
{
    if (reference.isEmpty() || !isAlpha(reference[0]))
        return std::nullopt;
    for (qsizetype i = 1; i < reference.size(); ++i) {
        const char c = reference[i];
        if (c == ':')
            return reference.first(i);
        if (!isAlpha(c) && !isDigit(c) && c != '+' && c != '-' && c != '.')
            return std::nullopt;
    }
    return std::nullopt;
}

// Keeps the bytes `keep` accepts and whole %XX escapes; percent-encodes every other byte.
template <typename Keep> QByteArray encode(QByteArrayView text, Keep keep)
{
    QByteArray out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (keep(c) || (c == '%' && i + 2 < text.size() && isHexDigit(text[i + 1]) &&
                        isHexDigit(text[i + 2]))) {
            out += c;
            continue;
        }
        const auto byte = static_cast<unsigned char>(c);
        out += '%';
        out += kHex[byte >> 4];
        out += kHex[byte & 0xF];
    }
    return out;
}

// RFC 3986, 5.2.4, for a path that starts with '/'.
QByteArray removeDotSegments(const QByteArray& path)
{
    const QList<QByteArray> segments = path.mid(1).split('/');
    QList<QByteArray> kept;
    for (qsizetype i = 0; i < segments.size(); ++i) {
        const QByteArray& segment = segments[i];
        const bool last = i + 1 == segments.size();
        if (segment == "." || segment == "..") {
            if (segment == ".." && !kept.isEmpty())
                kept.removeLast();
            if (last)
                kept.append(QByteArray());
            continue;
        }
        kept.append(segment);
    }
    return '/' + kept.join('/');
}

std::optional<quint16> parsePort(QByteArrayView digits)
{
    if (digits.isEmpty() || digits.size() > 5)
        return std::nullopt;
    int port = 0;
    for (const char c : digits) {
        if (!isDigit(c))
            return std::nullopt;
        port = port * 10 + (c - '0');
    }
    if (port < 1 || port > 65535)
        return std::nullopt;
    return quint16(port);
}

// userinfo@host:port, checked and in canonical form.
std::optional<QByteArray> canonicalAuthority(QByteArrayView authority)
{
    QByteArray out;
    const qsizetype at = authority.lastIndexOf('@');
    if (at >= 0) {
        const QByteArrayView userInfo = authority.first(at);
        if (userInfo.contains('@'))
            return std::nullopt;
        for (qsizetype i = 0; i < userInfo.size(); ++i) {
            const char c = userInfo[i];
            const bool escape = c == '%' && i + 2 < userInfo.size() &&
                                isHexDigit(userInfo[i + 1]) && isHexDigit(userInfo[i + 2]);
            if (!escape && !isUnreserved(c) && !isSubDelim(c) && c != ':')
                return std::nullopt;
        }
        out = userInfo.toByteArray() + '@';
        authority = authority.sliced(at + 1);
    }

    QByteArrayView port;
    if (authority.startsWith('[')) {
        const qsizetype close = authority.indexOf(']');
        if (close < 0)
            return std::nullopt;
        // inet_pton takes no zone and no dotted-quad-only form: "[192.168.10.11]" is no host.
        const QByteArray literal = authority.sliced(1, close - 1).toByteArray();
        std::array<unsigned char, 16> address{};
        if (inet_pton(AF_INET6, literal.constData(), address.data()) != 1)
            return std::nullopt;
        out += '[' + literal.toLower() + ']';
        const QByteArrayView rest = authority.sliced(close + 1);
        if (!rest.isEmpty()) {
            if (!rest.startsWith(':'))
                return std::nullopt;
            port = rest.sliced(1);
            if (port.isEmpty())
                return std::nullopt;
        }
    } else {
        const qsizetype colon = authority.indexOf(':');
        const QByteArrayView host = colon < 0 ? authority : authority.first(colon);
        if (host.isEmpty() || host.startsWith('.') || host.startsWith('-'))
            return std::nullopt;
        for (const char c : host)
            if (!isAlpha(c) && !isDigit(c) && c != '.' && c != '-' && c != '_')
                return std::nullopt;
        out += host.toByteArray().toLower();
        if (colon >= 0) {
            port = authority.sliced(colon + 1);
            if (port.isEmpty())
                return std::nullopt;
        }
    }
    if (!port.isEmpty()) {
        const std::optional<quint16> number = parsePort(port);
        if (!number)
            return std::nullopt;
        out += ':' + QByteArray::number(*number);
    }
    return out;
}

struct Parts
{
    QByteArray scheme;
    QByteArray authority;
    QByteArray path;
    std::optional<QByteArray> query;
};

// Splits a canonical URL, which has a scheme, an authority and a path.
Parts split(QByteArrayView url)
{
    Parts parts;
    const qsizetype colon = url.indexOf(':');
    parts.scheme = url.first(colon).toByteArray();
    QByteArrayView rest = url.sliced(colon + 3);
    const qsizetype slash = rest.indexOf('/');
    parts.authority = rest.first(slash).toByteArray();
    rest = rest.sliced(slash);
    const qsizetype question = rest.indexOf('?');
    parts.path = (question < 0 ? rest : rest.first(question)).toByteArray();
    if (question >= 0)
        parts.query = rest.sliced(question + 1).toByteArray();
    return parts;
}

} // namespace

std::optional<QByteArray> CanonicalUpstream(QByteArrayView url)
{
    if (const qsizetype fragment = url.indexOf('#'); fragment >= 0)
        url = url.first(fragment);
    const std::optional<QByteArrayView> scheme = schemeOf(url);
    if (!scheme || !isHttpScheme(*scheme))
        return std::nullopt;
    QByteArrayView rest = url.sliced(scheme->size() + 1);
    if (!rest.startsWith("//"))
        return std::nullopt;
    rest = rest.sliced(2);
    qsizetype end = 0;
    while (end < rest.size() && rest[end] != '/' && rest[end] != '?')
        ++end;
    const std::optional<QByteArray> authority = canonicalAuthority(rest.first(end));
    if (!authority)
        return std::nullopt;
    rest = rest.sliced(end);
    const qsizetype question = rest.indexOf('?');
    const QByteArrayView path = question < 0 ? rest : rest.first(question);

    QByteArray out = scheme->toByteArray().toLower() + "://" + *authority;
    out += removeDotSegments('/' + encode(path.startsWith('/') ? path.sliced(1) : path,
                                          [](char c) { return isPathChar(c) || c == '/'; }));
    if (question >= 0)
        out += '?' + encode(rest.sliced(question + 1),
                            [](char c) { return isPathChar(c) || c == '/' || c == '?'; });
    return out;
}

std::optional<QByteArray> Resolve(QByteArrayView base, QByteArrayView reference)
{
    if (const qsizetype fragment = reference.indexOf('#'); fragment >= 0)
        reference = reference.first(fragment);
    if (schemeOf(reference))
        return CanonicalUpstream(reference);
    const Parts parts = split(base);
    if (reference.startsWith("//"))
        return CanonicalUpstream(parts.scheme + ':' + reference.toByteArray());

    const qsizetype question = reference.indexOf('?');
    const QByteArrayView path = question < 0 ? reference : reference.first(question);
    QByteArray resolved = parts.scheme + "://" + parts.authority;
    if (path.isEmpty())
        resolved += parts.path;
    else if (path.startsWith('/'))
        resolved += path.toByteArray();
    else
        resolved += parts.path.first(parts.path.lastIndexOf('/') + 1) + path.toByteArray();
    if (question >= 0)
        resolved += reference.sliced(question).toByteArray();
    else if (path.isEmpty() && parts.query)
        resolved += '?' + *parts.query;
    return CanonicalUpstream(resolved);
}

bool IsRelayable(const QString& url)
{
    return CanonicalUpstream(url.toUtf8()).has_value();
}

namespace {

constexpr std::array<std::pair<Kind, QByteArrayView>, 3> kKindNames = {
    {{Kind::Channel, "channel"}, {Kind::Playlist, "list"}, {Kind::Media, "media"}}};

} // namespace

namespace {

// The last segment of the upstream path, in characters nothing reads as syntax: for people
// reading logs, and for a player that looks at a name's extension.
QByteArray nameHint(const QByteArray& canonicalUpstream)
{
    const Parts parts = split(canonicalUpstream);
    QByteArray name;
    for (const char c : QByteArrayView(parts.path).sliced(parts.path.lastIndexOf('/') + 1))
        if (isAlpha(c) || isDigit(c) || c == '.' || c == '-' || c == '_')
            name += c;
    name = name.right(64);
    return name.isEmpty() ? QByteArray("-") : name;
}

} // namespace

QByteArray LocalUrlFor(QByteArrayView routeBase, Kind kind, QByteArrayView canonicalUpstream)
{
    // The upstream URL travels as base64url: no byte of it can be taken for a scheme, a
    // separator, a quote or an attribute by whatever reads the playlist.
    const QByteArray upstream = canonicalUpstream.toByteArray();
    QByteArray local = routeBase.toByteArray();
    for (const auto& [known, name] : kKindNames)
        if (known == kind)
            local += name.toByteArray() + '/';
    local += upstream.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
    local += '/' + nameHint(upstream);
    return local;
}

QByteArray RefusedUrl(QByteArrayView routeBase)
{
    return routeBase.toByteArray() + "refused";
}

std::optional<LocalTarget> ParseLocalTarget(QByteArrayView target)
{
    // A client that takes the relay for a proxy sends the whole URL.
    if (target.startsWith("http://")) {
        const qsizetype path = target.indexOf('/', 7);
        if (path < 0)
            return std::nullopt;
        target = target.sliced(path);
    }
    if (!target.startsWith('/'))
        return std::nullopt;
    // KEY/KIND/TOKEN/NAME: the name is only a hint, and is not read.
    const QList<QByteArray> segments = target.sliced(1).toByteArray().split('/');
    if (segments.size() != 4 || segments[0].isEmpty())
        return std::nullopt;
    const auto named =
        std::find_if(kKindNames.cbegin(), kKindNames.cend(),
                     [&segments](const auto& entry) { return entry.second == segments[1]; });
    if (named == kKindNames.cend())
        return std::nullopt;
    for (const char c : segments[2])
        if (!isAlpha(c) && !isDigit(c) && c != '-' && c != '_')
            return std::nullopt;
    const QByteArray::FromBase64Result decoded = QByteArray::fromBase64Encoding(
        segments[2], QByteArray::Base64UrlEncoding | QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return std::nullopt;
    // Only what the relay itself wrote decodes to a canonical URL.
    const std::optional<QByteArray> upstream = CanonicalUpstream(*decoded);
    if (!upstream || *upstream != *decoded)
        return std::nullopt;
    return LocalTarget{segments[0], named->first, *upstream};
}

} // namespace relay
