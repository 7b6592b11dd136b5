#include "Address.h"

namespace relay {
namespace {

bool isHttpScheme(QByteArrayView scheme)
{
    return scheme.compare("http", Qt::CaseInsensitive) == 0 ||
           scheme.compare("https", Qt::CaseInsensitive) == 0;
}

// Square brackets (an IPv6 host) may not appear in a path.
QByteArray escapeAuthority(const QByteArray& authority)
{
    QByteArray escaped = authority;
    escaped.replace('[', "%5B").replace(']', "%5D");
    return escaped;
}

QByteArray encodeUnsafe(QByteArrayView text)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    QByteArray encoded;
    encoded.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7F) {
            encoded += '%';
            encoded += kHex[byte >> 4];
            encoded += kHex[byte & 0xF];
        } else {
            encoded += c;
        }
    }
    return encoded;
}

} // namespace

bool IsRelayable(const QUrl& url)
{
    return url.isValid() && isHttpScheme(url.scheme().toLatin1()) && !url.host().isEmpty();
}

QByteArray LocalUrlFor(QByteArrayView routeBase, const QUrl& upstream)
{
    if (!IsRelayable(upstream))
        return {};
    QByteArray local = routeBase.toByteArray();
    local += upstream.scheme().toLower().toLatin1();
    local += '/';
    local += escapeAuthority(upstream.authority(QUrl::FullyEncoded).toLatin1());
    const QByteArray path = upstream.path(QUrl::FullyEncoded).toLatin1();
    local += path.startsWith('/') ? path : '/' + path;
    if (upstream.hasQuery())
        local += '?' + upstream.query(QUrl::FullyEncoded).toLatin1();
    return local;
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
    if (const qsizetype fragment = target.indexOf('#'); fragment >= 0)
        target = target.first(fragment);
    if (!target.startsWith('/'))
        return std::nullopt;

    // The key, the scheme and the authority are whole segments; the rest is the upstream path.
    qsizetype at = 1;
    const auto segment = [&target, &at] {
        const qsizetype begin = at;
        while (at < target.size() && target[at] != '/' && target[at] != '?')
            ++at;
        return target.sliced(begin, at - begin);
    };
    const auto slash = [&target, &at] {
        return at < target.size() && target[at++] == '/';
    };
    const QByteArrayView key = segment();
    if (key.isEmpty() || !slash())
        return std::nullopt;
    const QByteArrayView scheme = segment();
    if (!slash())
        return std::nullopt;
    const QByteArrayView authority = segment();
    if (authority.isEmpty())
        return std::nullopt;
    if (!isHttpScheme(scheme))
        return std::nullopt;
    const QByteArray host = QByteArray::fromPercentEncoding(authority.toByteArray());
    for (const char c : host)
        if (c == '/' || c == '?' || c == '#' || c == '\\' || static_cast<unsigned char>(c) <= 0x20)
            return std::nullopt;

    const QByteArrayView rest = target.sliced(at);
    QByteArray url = scheme.toByteArray().toLower() + "://" + host;
    if (!rest.startsWith('/'))
        url += '/';
    url += encodeUnsafe(rest);
    return LocalTarget{key.toByteArray(), url};
}

} // namespace relay
