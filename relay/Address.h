#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// Upstream locations, and how they are written into relay URLs and read back out of requests.
//
//   http://127.0.0.1:PORT/<route key>/<kind>/<upstream URL in base64url>/<name>
//
// Every location the relay hands libvlc is one of these, absolute: the relay resolves relative
// references itself, so libvlc's own, laxer URL parser never decides where a request goes. The
// name (the upstream file name, in letters, digits, '.', '-' and '_') is for people reading
// logs; only the encoded URL is read back.
namespace relay {

// What the relay does with the response to a relay URL; fixed by where the relay wrote the URL,
// never by the upstream response.
enum class Kind
{
    Channel,  // the route's own address: an HLS playlist (rewritten) or an MPEG-TS stream
    Playlist, // a URI libvlc reads as a playlist: always rewritten, whatever the body
    Media,    // a segment, a key or an initialisation section: passed on as bytes
};

// `url` as the one form the relay passes to libcurl: an absolute http or https URL whose host is
// a name (letters, digits, '.', '-', '_'), a dotted number or a bracketed IPv6 address, with at
// most one decimal port (1 to 65535); scheme and host in lower case, the path never empty and
// without dot segments, every byte outside RFC 3986's path and query characters
// percent-encoded, the fragment dropped. Empty for anything else: another scheme, an odd host
// or port, a '%', '\', space or control byte in the authority.
std::optional<QByteArray> CanonicalUpstream(QByteArrayView url);

// `reference` (a playlist's URI, trimmed) resolved against `base` (a canonical upstream URL) by
// RFC 3986's rules, in canonical form; empty when the result is not one the relay can route.
// A network-path reference ("//host/x") names another host.
std::optional<QByteArray> Resolve(QByteArrayView base, QByteArrayView reference);

// Whether the relay can route `url` (a channel address).
bool IsRelayable(const QString& url);

// The relay URL of a canonical upstream URL under `routeBase` ("http://127.0.0.1:PORT/KEY/").
QByteArray LocalUrlFor(QByteArrayView routeBase, Kind kind, QByteArrayView canonicalUpstream);

// A relay URL of the route that answers 404: what a URI the relay cannot route becomes.
QByteArray RefusedUrl(QByteArrayView routeBase);

struct LocalTarget
{
    QByteArray routeKey;
    Kind kind = Kind::Media;
    QByteArray upstreamUrl; // canonical
};

// Reads a request target ("/KEY/KIND/TOKEN/NAME", or the same in absolute form) back into the
// route's key, the kind and the canonical upstream URL. Empty when the target is not laid out
// that way, or its token does not decode to a canonical upstream URL (only the relay's own
// URLs do).
std::optional<LocalTarget> ParseLocalTarget(QByteArrayView target);

} // namespace relay
