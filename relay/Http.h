#pragma once

#include <QByteArray>
#include <optional>

// The little of HTTP/1.1 the relay speaks toward libvlc.
namespace relay {

// A request head may not be larger than this; libvlc's are a few hundred bytes.
constexpr qsizetype kMaxRequestHeadBytes = qsizetype(16) * 1024;

struct Request
{
    QByteArray method;
    QByteArray target;
    QByteArray range;     // the Range header's value, if any
    QByteArray userAgent; // the User-Agent header's value, if any
    // libvlc asks for fresh playlists ("no-cache"); a cache between the relay and the server
    // must hear it too.
    QByteArray cacheControl;
};

// Where the head in `data` ends (just past its blank line), or -1 while it has not ended.
qsizetype RequestHeadEnd(QByteArrayView data);

// The request line and the headers the relay passes on; empty when `head` is not an HTTP/1.x
// request head, or a header line holds a control byte other than tab or is folded.
std::optional<Request> ParseRequestHead(QByteArrayView head);

struct ResponseHead
{
    int status = 200;
    QByteArray contentType;
    QByteArray contentRange;
    std::optional<qint64> contentLength; // empty: the body ends with the connection
};

// An HTTP/1.1 response head that closes the connection after the body.
QByteArray FormatResponseHead(const ResponseHead& head);

// A complete, empty response with `status`, for refusals and upstream failures.
QByteArray EmptyResponse(int status);

// "bytes FIRST-LAST/TOTAL" (or "bytes FIRST-LAST/*"): FIRST, or empty when it is not that.
std::optional<qint64> ContentRangeStart(QByteArrayView contentRange);
// The same range written by the relay, or empty when it is not one.
std::optional<QByteArray> CanonicalContentRange(QByteArrayView contentRange);

} // namespace relay
