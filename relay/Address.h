#pragma once

#include <QByteArray>
#include <QUrl>
#include <optional>

// How an upstream location is written into a relay URL and read back out of a request.
//
//   http://127.0.0.1:PORT/<route key>/<scheme>/<host[:port]>/<path>?<query>
//
// The upstream path stays a path, so a URI that libvlc resolves itself (relative to a relay URL)
// still lands on the same route and the same upstream folder.
namespace relay {

// True for an absolute http:// or https:// URL with a host.
bool IsRelayable(const QUrl& url);

// The relay URL of `upstream` under `routeBase` ("http://127.0.0.1:PORT/KEY/"), fully
// percent-encoded; empty when `upstream` is not relayable. The fragment is dropped.
QByteArray LocalUrlFor(QByteArrayView routeBase, const QUrl& upstream);

struct LocalTarget
{
    QByteArray routeKey;
    QByteArray upstreamUrl; // absolute, ready for libcurl
};

// Reads a request target ("/KEY/SCHEME/AUTHORITY/PATH?QUERY", or the same in absolute form)
// back into the route's key and the upstream URL. Bytes that may not appear raw in a URL
// (controls, space, non-ASCII) are percent-encoded; a fragment is dropped. Empty when the target
// is not laid out that way or names a scheme other than http or https.
std::optional<LocalTarget> ParseLocalTarget(QByteArrayView target);

} // namespace relay
